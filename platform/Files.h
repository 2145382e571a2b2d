#pragma once
// Our layer over the file system: whole-file reads with a size cap, saves that
// never destroy the last good file, and the folders the system keeps its files in.
#include <cstdint>
#include <string>
#include <vector>

namespace qr {

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates the folder and any missing parents.
bool MakeDirectories(const std::string& path);

// Reads the whole file. Fails (returns false) for a missing file, a read error,
// or a file larger than max_bytes, so a hostile file never causes a huge allocation.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out,
                   uint64_t max_bytes = uint64_t{1} << 31);

// Writes to a temporary file in the same folder, flushes it to disk and renames
// it over `path`. On any failure the old file is untouched and false is returned.
bool WriteFileAtomically(const std::string& path, const void* bytes, size_t n);
inline bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  return WriteFileAtomically(path, bytes.data(), bytes.size());
}

// The user's settings folder: $QUILLROW_CONFIG_DIR when set (tests use it), else
// $XDG_CONFIG_HOME/quillrow, else ~/.config/quillrow. Not created here.
std::string ConfigDir();

std::string JoinPath(const std::string& folder, const std::string& name);
std::string FolderOf(const std::string& path);    // without the trailing slash
std::string FileNameOf(const std::string& path);  // without the folder
std::string ReplaceExtension(const std::string& name, const std::string& ext);

}  // namespace qr
