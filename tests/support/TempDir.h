#pragma once
// A scratch folder of the test's own, removed with everything in it when the
// object goes, so a run never leaves files behind or reads another run's.
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qr::test {

class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "qr_test_XXXXXX").string();
    path_ = ::mkdtemp(t.data()) ? t : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qr::test
