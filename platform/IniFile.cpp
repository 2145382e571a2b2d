#include "platform/IniFile.h"

#include <algorithm>

#include "platform/Files.h"

namespace qr {
namespace {

constexpr char ToUpper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) noexcept {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) noexcept {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
    return s.substr(1, s.size() - 2);
  return s;
}

// A line break inside a written value would split it into two lines (and make the
// second a key of its own), so a value ends at its first line break.
std::string_view OneLine(std::string_view s) noexcept {
  const auto k = s.find_first_of("\r\n");
  return k == std::string_view::npos ? s : s.substr(0, k);
}

// Names that would read back as something else once written (surrounding blanks
// are trimmed on reading, "=" ends a key, "]" ends a section name, a key that
// starts like a header or a comment is no key) are not written at all.
bool StorableName(std::string_view name, bool is_key) noexcept {
  if (name.find_first_of("\r\n") != std::string_view::npos || Trim(name).size() != name.size()) return false;
  if (is_key)
    return !name.empty() && name.find('=') == std::string_view::npos && name.front() != '[' &&
           name.front() != ';' && name.front() != '#';
  return name.find(']') == std::string_view::npos;
}

int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool IniNameEquals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ToUpper(a[i]) != ToUpper(b[i])) return false;
  return true;
}

int32_t ParseIniInteger(std::string_view text, int32_t def) noexcept {
  const std::string_view t = Trim(text);
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    uint64_t v = 0;
    for (size_t i = 2; i < t.size(); ++i) {
      const int d = HexDigit(t[i]);
      if (d < 0) return def;
      v = v * 16 + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFu) return def;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(v));
  }
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i == t.size()) return def;
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return def;
    v = v * 10 + (t[i] - '0');
    if (v > int64_t{INT32_MAX} + 1) return def;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return def;
  return static_cast<int32_t>(v);
}

// ---------------------------------------------------------------------------

void IniDocument::Parse(std::string_view text) {
  sections_.clear();
  sections_.push_back(Section{});  // lines before the first header
  // Byte-order marks are not written back, so every leading one is dropped.
  while (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::string_view t = Trim(line);
    if (!t.empty() && t.front() == '[') {
      const auto close = t.find(']');
      if (close != std::string_view::npos) {
        Section s;
        s.name = std::string(Trim(t.substr(1, close - 1)));
        s.header = true;
        sections_.push_back(std::move(s));
        // The header is rebuilt on writing; what followed "]" on its line is dropped.
        continue;
      }
    }
    Line l;
    l.raw = std::string(line);
    const auto eq = t.find('=');
    if (!t.empty() && t.front() != ';' && t.front() != '#' && eq != std::string_view::npos) {
      const std::string_view key = Trim(t.substr(0, eq));
      if (!key.empty()) {
        l.key = std::string(key);
        l.value = std::string(Unquote(Trim(t.substr(eq + 1))));
      }
    }
    sections_.back().lines.push_back(std::move(l));
  }
}

std::string IniDocument::Text() const {
  std::string out;
  for (const Section& s : sections_) {
    if (s.header) {
      out += '[';
      out += s.name;
      out += "]\n";
    }
    for (const Line& l : s.lines) {
      out += l.raw;
      out += '\n';
    }
  }
  return out;
}

IniDocument::Section* IniDocument::FindSection(std::string_view name) {
  for (Section& s : sections_)
    if (s.header && IniNameEquals(s.name, name)) return &s;
  return nullptr;
}

const IniDocument::Section* IniDocument::FindSection(std::string_view name) const {
  for (const Section& s : sections_)
    if (s.header && IniNameEquals(s.name, name)) return &s;
  return nullptr;
}

std::vector<std::string> IniDocument::SectionNames() const {
  std::vector<std::string> names;
  for (const Section& s : sections_)
    if (s.header) names.push_back(s.name);
  return names;
}

bool IniDocument::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

const std::string* IniDocument::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  for (const Line& l : s->lines)
    if (!l.key.empty() && IniNameEquals(l.key, key)) return &l.value;
  return nullptr;
}

std::vector<std::string> IniDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  const Section* s = FindSection(section);
  if (!s) return names;
  // Each name takes its length plus a terminator, and the list ends with one more
  // terminator. A name that would only partly fit is left out rather than cut,
  // since a cut name would name a different key.
  size_t used = 1;
  for (const Line& l : s->lines) {
    if (l.key.empty()) continue;
    if (used + l.key.size() + 1 > kIniSectionBuffer) break;
    used += l.key.size() + 1;
    names.push_back(l.key);
  }
  return names;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (!StorableName(section, false) || !StorableName(key, true)) return false;
  value = OneLine(value);
  Section* s = FindSection(section);
  if (!s) {
    Section fresh;
    fresh.name = std::string(section);
    fresh.header = true;
    sections_.push_back(std::move(fresh));
    s = &sections_.back();
  }
  size_t after_last_key = 0;
  for (size_t i = 0; i < s->lines.size(); ++i) {
    Line& l = s->lines[i];
    if (l.key.empty()) continue;
    if (IniNameEquals(l.key, key)) {
      std::string raw = l.key + "=" + std::string(value);
      if (raw == l.raw) return false;
      l.raw = std::move(raw);
      l.value = std::string(Unquote(Trim(value)));
      return true;
    }
    after_last_key = i + 1;
  }
  Line l;
  l.key = std::string(key);
  l.raw = l.key + "=" + std::string(value);
  l.value = std::string(Unquote(Trim(value)));
  s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(after_last_key), std::move(l));
  return true;
}

bool IniDocument::EraseSection(std::string_view section) {
  // Every section of that name goes, so a repeated header cannot bring old entries back.
  const auto n =
      std::erase_if(sections_, [&](const Section& s) { return s.header && IniNameEquals(s.name, section); });
  return n > 0;
}

// ---------------------------------------------------------------------------

CIniFile::CIniFile(std::string file_name) : name_(std::move(file_name)) {
  path_ = name_.find('/') == std::string::npos ? JoinPath(ConfigDir(), name_) : name_;
  Reload();
}

CIniFile::~CIniFile() = default;

void CIniFile::Reload() {
  std::vector<uint8_t> bytes;
  unreadable_ = false;
  dirty_ = false;
  if (!ReadWholeFile(path_, bytes, kMaxIniFileBytes)) {
    bytes.clear();
    unreadable_ = FileExists(path_);
  }
  doc_.Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void CIniFile::Store() {
  bool ok = !unreadable_;
  if (ok) {
    const std::string folder = FolderOf(path_);
    if (!folder.empty()) MakeDirectories(folder);
    const std::string text = doc_.Text();
    ok = WriteFileAtomically(path_, text.data(), text.size());
  }
  if (!ok) {
    Reload();
    throw IniWriteError(path_);
  }
  dirty_ = false;
}

void CIniFile::Changed() {
  dirty_ = true;
  if (update_depth_ == 0) Store();
}

std::string CIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const std::string* v = doc_.Find(section, key);
  const std::string_view text = v ? std::string_view(*v) : def;
  return std::string(text.substr(0, kIniValueBuffer - 1));
}

int32_t CIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  const std::string* v = doc_.Find(section, key);
  if (!v) return def;
  return ParseIniInteger(std::string_view(*v).substr(0, kIniValueBuffer - 1), def);
}

bool CIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::vector<std::string> CIniFile::ReadSection(std::string_view section) const {
  return doc_.KeyNames(section);
}

bool CIniFile::SectionExists(std::string_view section) const { return doc_.HasSection(section); }

void CIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (doc_.Set(section, key, value)) Changed();
}

void CIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void CIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void CIniFile::EraseSection(std::string_view section) {
  if (doc_.EraseSection(section)) Changed();
}

CIniFile::Update::Update(CIniFile& ini) noexcept : ini_(ini) { ++ini_.update_depth_; }

CIniFile::Update::~Update() {
  if (done_) return;
  // Abandoned: whatever was written since the outermost Update began is dropped,
  // and the object shows the file as it is on disk again.
  --ini_.update_depth_;
  if (ini_.dirty_) ini_.Reload();
}

void CIniFile::Update::Commit() {
  if (done_) return;
  done_ = true;
  if (--ini_.update_depth_ == 0 && ini_.dirty_) ini_.Store();
}

}  // namespace qr
