#pragma once
// CFileBuffers: the recording scratch pool. Each of 64 slots is a memory-mapped
// file (folder/prefix + slot number + ".dat") that the audio recorder fills with
// float frames on the audio thread: appending is a store into mapped memory, so
// it neither allocates nor issues a system call.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qr {

class CFileBuffers {
 public:
  static constexpr int kSlots = 64;

  // Maps every existing file of the series in order, up to the first missing number.
  CFileBuffers(std::string folder, std::string prefix);
  ~CFileBuffers();
  CFileBuffers(const CFileBuffers&) = delete;
  CFileBuffers& operator=(const CFileBuffers&) = delete;

  // Unmaps all slots, creates (or truncates) files 0 .. n-1 of `length` x 8 bytes
  // and maps the series again. A missing folder is reported as
  // "CFileBuffer Bad folder: " + folder and nothing is created.
  bool Prepare(int n, int64_t length);
  // (audio) Resets the slot's counts and sets its channel count (1 or 2); true
  // when the slot is mapped.
  bool StartSlot(int slot, int channels) noexcept;
  // (audio) Stores one frame (the first value, or the first two for stereo)
  // while it fits into the file; further frames are dropped.
  void AppendFrame(int slot, const float* values) noexcept;

  bool Mapped(int slot) const noexcept;
  int32_t Frames(int slot) const noexcept;
  int32_t Channels(int slot) const noexcept;
  const float* Data(int slot) const noexcept;
  std::string SlotPath(int slot) const;

 private:
  struct Slot {
    void* map = nullptr;
    size_t bytes = 0;      // mapped size
    size_t writePos = 0;   // bytes written
    int32_t frames = 0;
    int32_t channels = 1;
  };
  bool MapSlot(int slot);
  void UnmapAll() noexcept;

  std::string folder_, prefix_;
  std::array<Slot, kSlots> slots_{};
};

}  // namespace qr
