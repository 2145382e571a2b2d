#include "audio/FileBuffers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/Files.h"
#include "platform/Messages.h"

namespace qr {

CFileBuffers::CFileBuffers(std::string folder, std::string prefix)
    : folder_(std::move(folder)), prefix_(std::move(prefix)) {
  for (int i = 0; i < kSlots && MapSlot(i); ++i) {
  }
}

CFileBuffers::~CFileBuffers() { UnmapAll(); }

std::string CFileBuffers::SlotPath(int slot) const {
  return JoinPath(folder_, prefix_ + std::to_string(slot) + ".dat");
}

bool CFileBuffers::MapSlot(int slot) {
  Slot& s = slots_[static_cast<size_t>(slot)];
  const int fd = ::open(SlotPath(slot).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  void* m = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && st.st_size > 0)
    m = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);  // the mapping keeps the file
  if (m == MAP_FAILED) return false;
  s = Slot{};
  s.map = m;
  s.bytes = static_cast<size_t>(st.st_size);
  return true;
}

void CFileBuffers::UnmapAll() noexcept {
  for (Slot& s : slots_) {
    if (s.map) ::munmap(s.map, s.bytes);
    s = Slot{};
  }
}

bool CFileBuffers::Prepare(int n, int64_t length) {
  if (!IsDirectory(folder_)) {
    ShowNotice("CFileBuffer Bad folder: " + folder_);
    return false;
  }
  UnmapAll();
  if (n > kSlots) n = kSlots;
  bool ok = true;
  for (int i = 0; i < n; ++i) {
    const int fd = ::open(SlotPath(i).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(length * 8)) == 0 && ok;
    if (fd >= 0) ::close(fd);
  }
  for (int i = 0; i < kSlots && MapSlot(i); ++i) {
  }
  return ok;
}

bool CFileBuffers::StartSlot(int slot, int channels) noexcept {
  if (slot < 0 || slot >= kSlots) return false;
  Slot& s = slots_[static_cast<size_t>(slot)];
  s.writePos = 0;
  s.frames = 0;
  s.channels = channels == 2 ? 2 : 1;
  return s.map != nullptr;
}

void CFileBuffers::AppendFrame(int slot, const float* values) noexcept {
  if (slot < 0 || slot >= kSlots) return;
  Slot& s = slots_[static_cast<size_t>(slot)];
  const size_t n = sizeof(float) * static_cast<size_t>(s.channels);
  if (!s.map || s.writePos + n > s.bytes) return;
  std::memcpy(static_cast<uint8_t*>(s.map) + s.writePos, values, n);
  s.writePos += n;
  ++s.frames;
}

bool CFileBuffers::Mapped(int slot) const noexcept {
  return slot >= 0 && slot < kSlots && slots_[static_cast<size_t>(slot)].map != nullptr;
}
int32_t CFileBuffers::Frames(int slot) const noexcept {
  return Mapped(slot) ? slots_[static_cast<size_t>(slot)].frames : 0;
}
int32_t CFileBuffers::Channels(int slot) const noexcept {
  return slot >= 0 && slot < kSlots ? slots_[static_cast<size_t>(slot)].channels : 1;
}
const float* CFileBuffers::Data(int slot) const noexcept {
  return Mapped(slot) ? static_cast<const float*>(slots_[static_cast<size_t>(slot)].map) : nullptr;
}

}  // namespace qr
