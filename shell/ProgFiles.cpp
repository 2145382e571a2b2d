#include "shell/ProgFiles.h"

#include <cstdio>

#include "platform/Files.h"
#include "stream/RecordStream.h"

namespace qr {

void CProgFiles::Load(const std::string& path) {
  files.clear();
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, uint64_t{1} << 24)) return;
  CMemStream s(std::move(bytes));
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size)) {
    const int64_t end = s.Position() + size;
    if (key == "Enabled")
      enabled = s.ReadInt();
    else if (key == "Left")
      left = s.ReadInt();
    else if (key == "Top")
      top = s.ReadInt();
    else if (key == "Width")
      width = s.ReadInt();
    else if (key == "Height")
      height = s.ReadInt();
    else if (key == "Filename")
      files.push_back({s.ReadString()});
    if (s.Position() != end && !s.Failed()) s.Seek(end);
  }
}

bool CProgFiles::Save(const std::string& path) const {
  CMemStream s;
  s.WriteKeyInt("Enabled", enabled);
  s.WriteKeyInt("Left", left);
  s.WriteKeyInt("Top", top);
  s.WriteKeyInt("Width", width);
  s.WriteKeyInt("Height", height);
  for (const auto& f : files) s.WriteKeyString("Filename", f.fileName);
  MakeDirectories(FolderOf(path));
  return WriteFileAtomically(path, s.Data());
}

std::string CProgFiles::Label(int index) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%03d", index);
  return buf;
}

std::string ProgFilesPath() { return JoinPath(ConfigDir(), "memory.dat"); }

}  // namespace qr
