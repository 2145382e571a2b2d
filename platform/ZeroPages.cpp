#include "platform/ZeroPages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace qr {

CZeroPages::CZeroPages(size_t bytes) {
  if (bytes == 0) return;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return;
  data_ = p;
  size_ = bytes;
}

CZeroPages::~CZeroPages() {
  if (data_) ::munmap(data_, size_);
}

CZeroPages& CZeroPages::operator=(CZeroPages&& o) noexcept {
  if (this != &o) {
    if (data_) ::munmap(data_, size_);
    data_ = o.data_;
    size_ = o.size_;
    o.data_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

void CZeroPages::Touch(size_t bytes) noexcept {
  if (data_) std::memset(data_, 0, std::min(bytes, size_));
}

}  // namespace qr
