#pragma once
// Settings files in the INI text form: "[Section]" lines followed by "key=value"
// lines. Our own reader and writer, with the lookup rules the rest of the system
// was written against:
//  - section and key names are compared without regard to ASCII letter case,
//    so "Folders" and "folders" are one section;
//  - values are trimmed of surrounding blanks and one pair of matching quotes;
//  - the first section and the first key of a name win when a file repeats one;
//  - comments, blank lines and lines we do not understand are kept as they are
//    when the file is written back, so hand edits survive.
//
// A CIniFile is made for one burst of reads or writes and dropped at once: the
// file is read when the object is made, and changes made through another object
// afterwards are not seen.
//
// Writing. Every write goes to disk before the call returns, through
// WriteFileAtomically, so a crash or a full disk never leaves half a settings file.
// A write that leaves the text as it was touches nothing. To rewrite a whole list
// without rewriting the file once per entry, open an Update (see below): the
// writes inside it are collected and stored once, atomically, when the outermost
// Update ends. A refused write throws IniWriteError whose text names the file;
// the object then goes back to what is on disk, so the operation that failed is
// abandoned as a whole.
//
// Garbage files load without complaint (whatever parses is used); a file that
// exists but cannot be read at all, or is larger than kMaxIniFileBytes, is read
// as empty and refuses every write, so it is never replaced by a near-empty file.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qr {

// The profile-function buffers: a value is read through 1024 characters that
// include the terminator, so at most 1023 characters come back; the key names
// of one section are read through 8192 bytes, each name with its terminator plus
// one final terminator.
inline constexpr size_t kIniValueBuffer = 1024;
inline constexpr size_t kIniSectionBuffer = 8192;
inline constexpr uint64_t kMaxIniFileBytes = uint64_t{16} << 20;

class IniWriteError : public std::runtime_error {
 public:
  explicit IniWriteError(const std::string& path)
      : std::runtime_error("Unable to write to " + path), path_(path) {}
  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
};

// The parsed text of a settings file, without any file behind it. Exposed so
// that the fuzz target and the tests can drive the parser directly.
class IniDocument {
 public:
  void Parse(std::string_view text);
  std::string Text() const;

  // nullptr when the section or key is absent.
  const std::string* Find(std::string_view section, std::string_view key) const;
  // Key names in file order, as many as fit the section buffer.
  std::vector<std::string> KeyNames(std::string_view section) const;
  // Returns whether anything changed.
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  bool EraseSection(std::string_view section);
  bool HasSection(std::string_view section) const;
  std::vector<std::string> SectionNames() const;  // file order, repeats included

 private:
  struct Line {
    std::string key;    // empty: kept verbatim in `raw`
    std::string value;  // as read: trimmed and unquoted
    std::string raw;
  };
  struct Section {
    std::string name;  // empty for the lines before the first header
    bool header = false;
    std::vector<Line> lines;
  };
  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
};

class CIniFile {
 public:
  // A name without a folder is looked up in the settings folder (ConfigDir());
  // a name with a folder is used as it is.
  explicit CIniFile(std::string file_name);
  ~CIniFile();
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;

  const std::string& FileName() const noexcept { return name_; }
  const std::string& Path() const noexcept { return path_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;
  // Key names of the section in file order; empty when the section is absent.
  std::vector<std::string> ReadSection(std::string_view section) const;
  bool SectionExists(std::string_view section) const;

  // These throw IniWriteError when the file cannot be written.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);
  void EraseSection(std::string_view section);

  // Collects the writes made while it lives and stores them once when it ends
  // (nested Updates store when the outermost one ends). Call Commit() to store
  // and see a refusal as IniWriteError; an Update that ends by an exception or
  // without Commit() drops its writes, since the operation was abandoned (an
  // abandoned inner Update drops everything written since the outermost began).
  class Update {
   public:
    explicit Update(CIniFile& ini) noexcept;
    ~Update();
    Update(const Update&) = delete;
    Update& operator=(const Update&) = delete;
    void Commit();

   private:
    CIniFile& ini_;
    bool done_ = false;
  };

 private:
  void Changed();
  void Store();
  void Reload();

  std::string name_;
  std::string path_;
  IniDocument doc_;
  bool unreadable_ = false;
  bool dirty_ = false;
  int update_depth_ = 0;
};

// Integer text as the settings files hold it: optional blanks and sign, decimal
// digits; or "0x"/"0X" followed by up to eight hex digits (read as 32 bits, so
// colours such as 0xFFFFFFFF come back as -1). Anything else, or a decimal value
// outside 32 bits, gives `def`.
int32_t ParseIniInteger(std::string_view text, int32_t def) noexcept;

// ASCII case-insensitive equality, the comparison of section and key names.
bool IniNameEquals(std::string_view a, std::string_view b) noexcept;

}  // namespace qr
