#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qr {

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectories(const std::string& path) {
  if (path.empty() || IsDirectory(path)) return !path.empty();
  const std::string parent = FolderOf(path);
  if (!parent.empty() && parent != path && !IsDirectory(parent) && !MakeDirectories(parent))
    return false;
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t max_bytes) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<uint64_t>(st.st_size) <= max_bytes;
  if (ok) {
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t r = ::read(fd, out.data() + done, out.size() - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    out.resize(done);  // a file that shrank while read gives what was there
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

bool WriteFileAtomically(const std::string& path, const void* bytes, size_t n) {
  const std::string parent = FolderOf(path);
  const std::string folder = parent.empty() ? std::string(".") : parent;
  std::string name(".");
  name.append(FileNameOf(path)).append(".tmpXXXXXX");
  std::string tmpl = JoinPath(folder, name);
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  bool ok = true;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(w);
  }
  // The new file takes the permissions an ordinary save would give it.
  ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmpl.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(tmpl.c_str());
  return ok;
}

std::string ConfigDir() {
  if (const char* d = std::getenv("QUILLROW_CONFIG_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return JoinPath(x, "quillrow");
  const char* home = std::getenv("HOME");
  return JoinPath(JoinPath(home && *home ? home : ".", ".config"), "quillrow");
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string FolderOf(const std::string& path) {
  const auto k = path.find_last_of('/');
  if (k == std::string::npos) return {};
  if (k == 0) return "/";
  return path.substr(0, k);
}

std::string FileNameOf(const std::string& path) {
  const auto k = path.find_last_of('/');
  return k == std::string::npos ? path : path.substr(k + 1);
}

std::string ReplaceExtension(const std::string& name, const std::string& ext) {
  const auto slash = name.find_last_of('/');
  const auto dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + ext;
  return name.substr(0, dot) + ext;
}

}  // namespace qr
