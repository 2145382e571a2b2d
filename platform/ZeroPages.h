#pragma once
// Memory taken straight from the system as zero pages. Large buffers that are
// mostly never reached (a 20-second echo line of which a tempo uses half a
// second) then cost only the pages actually written, and creating one does not
// walk over all of it.
#include <cstddef>

namespace qr {

class CZeroPages {
 public:
  CZeroPages() = default;
  explicit CZeroPages(size_t bytes);
  ~CZeroPages();
  CZeroPages(CZeroPages&& o) noexcept : data_(o.data_), size_(o.size_) { o.data_ = nullptr, o.size_ = 0; }
  CZeroPages& operator=(CZeroPages&& o) noexcept;
  CZeroPages(const CZeroPages&) = delete;
  CZeroPages& operator=(const CZeroPages&) = delete;

  void* Data() const noexcept { return data_; }
  size_t Size() const noexcept { return size_; }
  bool Ok() const noexcept { return data_ != nullptr; }
  // Writes zeros over the first `bytes`, so that their pages exist before a
  // real-time thread reaches them.
  void Touch(size_t bytes) noexcept;

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace qr
