#pragma once
// The program-change file list: program change i opens project file i. Stored
// as "memory.dat" in the settings folder, in record framing with no end key.
#include <cstdint>
#include <string>
#include <vector>

namespace qr {

struct CProgFile {
  std::string fileName;
};

class CProgFiles {
 public:
  std::vector<CProgFile> files;
  int32_t enabled = 0;
  int32_t left = 0, top = 0, width = 0, height = 0;

  // A missing or unreadable file leaves the list empty; unknown records are skipped.
  void Load(const std::string& path);
  bool Save(const std::string& path) const;
  // "000", "001", ...: how the list numbers its entries.
  static std::string Label(int index);
};

std::string ProgFilesPath();  // "memory.dat" in the settings folder

}  // namespace qr
