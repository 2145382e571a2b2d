#pragma once
// Where a command's output goes. A regular file, or a name with nothing behind
// it yet, is written to a temporary file in the same folder and renamed over the
// target only when complete, so a failed run leaves the old file whole. A
// symlink is followed to the file it names. A FIFO, a character device or "-"
// (standard output) is written straight: renaming over those would replace the
// pipe or the device itself with a plain file.
#include <cstddef>
#include <cstdint>
#include <string>

namespace qr {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // abandons an uncommitted file: the target stays as it was

  // False with a one-line reason in `error`.
  bool Open(const std::string& path, std::string& error);
  bool Write(const void* bytes, size_t n);
  // Only a file of our own (the temporary one) can go back and change what it
  // wrote; false for pipes, devices and standard output.
  bool Seekable() const noexcept { return !tmp_.empty(); }
  bool WriteAt(uint64_t offset, const void* bytes, size_t n);
  // Makes the output final (the rename, for a regular file). False when any
  // write failed or the file could not be put in place.
  bool Commit();
  // Standard output: other text of the command must go to standard error.
  bool ToStdout() const noexcept { return fd_ == 1 && tmp_.empty() && target_.empty(); }

 private:
  void Abandon() noexcept;
  int fd_ = -1;
  std::string target_;  // the regular file the temporary one replaces
  std::string tmp_;
  bool failed_ = false;
};

// Writes `bytes` to `path` by the rules above; false with a reason in `error`.
bool WriteOutput(const std::string& path, const void* bytes, size_t n, std::string& error);

}  // namespace qr
