#pragma once
// A loaded shared library: the one place that knows how the system finds code
// in a file at run time. Closing happens when the owner lets go.
#include <string>

namespace qr {

class CDynLib {
 public:
  CDynLib() = default;
  ~CDynLib() { Close(); }
  CDynLib(const CDynLib&) = delete;
  CDynLib& operator=(const CDynLib&) = delete;
  CDynLib(CDynLib&& o) noexcept : handle_(o.handle_) { o.handle_ = nullptr; }
  CDynLib& operator=(CDynLib&& o) noexcept;

  // False with the platform's own explanation in `error` when the file cannot be
  // loaded (missing, not a library, missing dependencies).
  bool Open(const std::string& path, std::string& error);
  void Close() noexcept;
  bool IsOpen() const noexcept { return handle_ != nullptr; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const noexcept;

 private:
  void* handle_ = nullptr;
};

}  // namespace qr
