#include "platform/DynLib.h"

#include <dlfcn.h>

namespace qr {

CDynLib& CDynLib::operator=(CDynLib&& o) noexcept {
  if (this != &o) {
    Close();
    handle_ = o.handle_;
    o.handle_ = nullptr;
  }
  return *this;
}

bool CDynLib::Open(const std::string& path, std::string& error) {
  Close();
  // RTLD_LOCAL keeps two plug-ins that carry the same library inside them from
  // binding to each other's copies.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* e = dlerror();
    error = e ? e : "cannot load " + path;
    return false;
  }
  return true;
}

void CDynLib::Close() noexcept {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* CDynLib::Symbol(const char* name) const noexcept {
  if (!handle_) return nullptr;
  dlerror();
  return dlsym(handle_, name);
}

}  // namespace qr
