#include "app/Output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"

namespace qr {

namespace {

// The file a chain of symlinks ends at, even when that file does not exist yet.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) return path;
    target.resize(static_cast<size_t>(n));
    if (target[0] != '/') {
      const std::string folder = FolderOf(path);
      if (!folder.empty()) target = JoinPath(folder, target);
    }
    path = std::move(target);
  }
  return path;
}

// The temporary file being written, removed when Ctrl-C or a kill ends the
// program before the rename: a long render must not leave a hidden file the
// size of its output behind. Only async-signal-safe calls in the handler.
char g_pendingTemp[PATH_MAX + 1] = {};

void RemovePendingTemp(int sig) {
  if (g_pendingTemp[0]) ::unlink(g_pendingTemp);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void TrackTemp(const std::string& path) {
  static const bool installed = [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
      if (std::signal(sig, &RemovePendingTemp) == SIG_IGN) std::signal(sig, SIG_IGN);
    return true;
  }();
  (void)installed;
  const size_t n = std::min(path.size(), sizeof g_pendingTemp - 1);
  std::memcpy(g_pendingTemp, path.data(), n);
  g_pendingTemp[n] = '\0';
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon() noexcept {
  if (fd_ > 1) ::close(fd_);
  fd_ = -1;
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
  tmp_.clear();
  g_pendingTemp[0] = '\0';
}

bool OutputFile::Open(const std::string& path, std::string& error) {
  Abandon();
  failed_ = false;
  target_.clear();
  if (path == "-") {
    fd_ = 1;
    return true;
  }
  const std::string real = FollowLinks(path);
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = path + " is a folder";
      return false;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode)) {
      fd_ = ::open(real.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd_ < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
      }
      return true;
    }
    if (!S_ISREG(st.st_mode)) {
      error = "cannot write " + path + ": not a file, a pipe or a device";
      return false;
    }
  }
  const std::string folder = FolderOf(real);
  std::string name(".");
  name.append(FileNameOf(real)).append(".XXXXXX");
  std::string tmp = JoinPath(folder.empty() ? std::string(".") : folder, name);
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // The new file keeps the permissions of the one it replaces.
  ::fchmod(fd, st.st_mode != 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777) : NewFileMode());
  fd_ = fd;
  tmp_ = std::move(tmp);
  target_ = real;
  TrackTemp(tmp_);
  return true;
}

bool OutputFile::WriteAt(uint64_t offset, const void* bytes, size_t n) {
  if (fd_ < 0 || failed_ || tmp_.empty()) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (n > 0) {
    const ssize_t w = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      failed_ = true;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

bool OutputFile::Write(const void* bytes, size_t n) {
  if (fd_ < 0 || failed_) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (n > 0) {
    const ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      failed_ = true;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool OutputFile::Commit() {
  if (fd_ < 0 || failed_) {
    Abandon();
    return false;
  }
  if (tmp_.empty()) {
    const bool ok = fd_ == 1 || ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }
  const bool ok = ::fsync(fd_) == 0 && ::close(fd_) == 0;
  fd_ = -1;
  if (!ok || std::rename(tmp_.c_str(), target_.c_str()) != 0) {
    Abandon();
    return false;
  }
  tmp_.clear();
  g_pendingTemp[0] = '\0';
  return true;
}

bool WriteOutput(const std::string& path, const void* bytes, size_t n, std::string& error) {
  OutputFile f;
  if (!f.Open(path, error)) return false;
  if (!f.Write(bytes, n) || !f.Commit()) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace qr
