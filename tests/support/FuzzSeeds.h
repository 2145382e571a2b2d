#pragma once
// Streams the tests build are kept in the build folder as seeds for the fuzz
// target they feed; a seed that cannot be written fails no test.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qr::test {

inline void KeepFuzzSeed(const std::string& target, const std::string& name,
                         const std::vector<uint8_t>& bytes) {
  const std::filesystem::path dir = std::filesystem::path(QR_BINARY_DIR) / "fuzz-seeds" / target;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qr::test
