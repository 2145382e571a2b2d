#include "persist/TextForm.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

namespace qr {

namespace {

constexpr int kMaxDepth = 32;      // nested blocks decoded; deeper ones stay hex
constexpr size_t kMaxIndent = 16;  // levels of indentation shown
constexpr int64_t kMaxValue = std::numeric_limits<int32_t>::max();

bool Fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

int32_t ReadI32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

float ReadF32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}

struct Rec {
  std::string_view key;
  std::span<const uint8_t> value;
  size_t next = 0;  // position after the record
};

// The record at `pos`, when a whole one starts there.
bool RecordAt(std::span<const uint8_t> b, size_t pos, Rec& r) {
  const size_t left = b.size() - pos;
  if (left < 8) return false;
  const int32_t kl = ReadI32(b.data() + pos);
  if (kl < 0 || static_cast<size_t>(kl) > left - 8) return false;
  const int32_t sz = ReadI32(b.data() + pos + 4 + kl);
  if (sz < 0 || static_cast<size_t>(sz) > left - 8 - static_cast<size_t>(kl)) return false;
  r.key = std::string_view(reinterpret_cast<const char*>(b.data() + pos + 4), static_cast<size_t>(kl));
  r.value = b.subspan(pos + 8 + static_cast<size_t>(kl), static_cast<size_t>(sz));
  r.next = pos + 8 + static_cast<size_t>(kl) + static_cast<size_t>(sz);
  return true;
}

// A record whose key reads as a word: what a writer of ours would have put
// there, as opposed to value bytes that happen to parse as a header.
bool StartsPlausibleRecord(std::span<const uint8_t> b, size_t pos) {
  Rec r;
  if (pos == b.size()) return true;
  if (!RecordAt(b, pos, r) || r.key.empty() || r.key.size() > 64) return false;
  for (char c : r.key)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

bool IsRecordSequence(std::span<const uint8_t> b) {
  size_t pos = 0;
  Rec r;
  while (pos < b.size() && RecordAt(b, pos, r)) pos = r.next;
  return pos == b.size();
}

// Whether the value really has the shape of the kind the table names.
bool Fits(ValueKind kind, std::span<const uint8_t> v, int depth) {
  const size_t n = v.size();
  switch (kind) {
    case ValueKind::Marker:
      return n == 0;
    case ValueKind::Int:
    case ValueKind::Float:
      return n == 4;
    case ValueKind::Short:
      return n == 2;
    case ValueKind::String:
      return n >= 4 && ReadI32(v.data()) >= 0 && static_cast<size_t>(ReadI32(v.data())) == n - 4;
    case ValueKind::Pair: {
      if (n < 8) return false;
      const int32_t a = ReadI32(v.data());
      if (a < 0 || static_cast<size_t>(a) > n - 8) return false;
      const int32_t b = ReadI32(v.data() + 4 + a);
      return b >= 0 && static_cast<size_t>(b) == n - 8 - static_cast<size_t>(a);
    }
    case ValueKind::Ints:
    case ValueKind::Floats:
      return n > 0 && n % 4 == 0;
    case ValueKind::Block:
      return depth < kMaxDepth && n > 0 && IsRecordSequence(v);
    case ValueKind::Bitmap: {
      if (n < 8) return false;
      const int64_t w = ReadI32(v.data()), h = ReadI32(v.data() + 4);
      const auto pixels = static_cast<int64_t>(n - 8) / 4;
      return w >= 0 && h >= 0 && (n - 8) % 4 == 0 &&
             (w == 0 ? pixels == 0 : pixels % w == 0 && pixels / w == h);
    }
    case ValueKind::Hex:
      return true;
    case ValueKind::Midi:
      return n == 4;
    case ValueKind::Events:
      return n > 0 && n % 12 == 0;
  }
  return false;
}

constexpr const char* kNoteNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

// A packed message as words; anything that would not read back to the same
// bits is written raw.
void AppendMidi(std::string& out, uint32_t m) {
  const uint32_t st = m & 0xFF, d1 = (m >> 8) & 0xFF, d2 = (m >> 16) & 0xFF, port = m >> 24;
  const uint32_t cls = st & 0xF0;
  bool named = st >= 0x80 && st < 0xF0 && d1 < 128 && d2 < 128;
  if (cls == 0xC0 || cls == 0xD0) named = named && d2 == 0;
  if (!named) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "raw %08x", static_cast<unsigned>(m));
    out += buf;
    return;
  }
  const std::string ch = std::to_string((st & 15) + 1);
  const auto note = [](uint32_t k) {
    return kNoteNames[k % 12] + std::to_string(static_cast<int>(k / 12) - 2);
  };
  switch (cls) {
    case 0x80:
      out += "off " + ch + " " + note(d1) + " " + std::to_string(d2);
      break;
    case 0x90:
      out += "on " + ch + " " + note(d1) + " " + std::to_string(d2);
      break;
    case 0xA0:
      out += "poly " + ch + " " + note(d1) + " " + std::to_string(d2);
      break;
    case 0xB0:
      out += "cc " + ch + " " + std::to_string(d1) + " " + std::to_string(d2);
      break;
    case 0xC0:
      out += "pc " + ch + " " + std::to_string(d1);
      break;
    case 0xD0:
      out += "press " + ch + " " + std::to_string(d1);
      break;
    default:
      out += "bend " + ch + " " + std::to_string(d1 | (d2 << 7));
      break;
  }
  if (port) out += " port " + std::to_string(port);
}

bool IsBareChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

void AppendQuoted(std::string& out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
}

void AppendKey(std::string& out, std::string_view key) {
  bool bare = !key.empty();
  for (const char c : key) bare = bare && IsBareChar(c);
  if (bare)
    out += key;
  else
    AppendQuoted(out, key);
}

void AppendHex(std::string& out, std::span<const uint8_t> v) {
  static const char* hex = "0123456789abcdef";
  out.reserve(out.size() + v.size() * 2);
  for (const uint8_t c : v) {
    out += hex[c >> 4];
    out += hex[c & 15];
  }
}

// Shortest text that reads back to the same float; NaNs keep their bits.
void AppendFloat(std::string& out, float f) {
  char buf[32];
  if (std::isnan(f)) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    std::snprintf(buf, sizeof buf, "nan:%08x", bits);
    out += buf;
    return;
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, f);
  out.append(buf, r.ptr);
}

// Records that name a type whose records follow up to the matching "CEnd": a
// module block, and an insert effect inside a module's output strip.
bool OpensTypedRecords(std::string_view key) { return key == "CType" || key == "Insert"; }

std::string_view StringAt(std::span<const uint8_t> v, size_t pos) {
  const auto n = static_cast<size_t>(ReadI32(v.data() + pos));
  return {reinterpret_cast<const char*>(v.data() + pos + 4), n};
}

void DumpSequence(std::string& out, std::span<const uint8_t> b, size_t indent, std::string_view outer_type,
                  int depth) {
  std::vector<std::string> types;  // "CType" blocks open at this level
  size_t pos = 0;
  Rec r;
  while (pos < b.size() && RecordAt(b, pos, r)) {
    pos = r.next;
    if (r.key == "CEnd" && !types.empty()) types.pop_back();
    const std::string_view type = types.empty() ? outer_type : std::string_view(types.back());
    const size_t level = std::min(indent + types.size(), kMaxIndent);
    out.append(level * 2, ' ');
    AppendKey(out, r.key);
    const RecordKind* row = FindRecordKind(type, r.key);
    const size_t stated = r.value.size();
    // Taken whole only when that, and not the stated size, leads to the next record.
    const size_t beyond = row ? static_cast<size_t>(std::max(0, row->beyondSize)) +
                                    stated / 16 * static_cast<size_t>(std::max(0, row->beyondPer16))
                              : 0;
    if (row && beyond > 0 && row->kind != ValueKind::Block && b.size() - pos >= beyond &&
        !StartsPlausibleRecord(b, pos) && StartsPlausibleRecord(b, pos + beyond)) {
      const std::span<const uint8_t> whole(r.value.data(), stated + beyond);
      if (Fits(row->kind, whole, depth)) {
        r.value = whole;
        pos += beyond;
      }
    }
    if (!r.value.empty()) {
      ValueKind kind = row ? row->kind : ValueKind::Hex;
      if (!Fits(kind, r.value, depth)) kind = ValueKind::Hex;
      const auto& v = r.value;
      switch (kind) {
        case ValueKind::Int:
          out += " int ";
          out += std::to_string(ReadI32(v.data()));
          break;
        case ValueKind::Short: {
          int16_t s;
          std::memcpy(&s, v.data(), 2);
          out += " short ";
          out += std::to_string(s);
          break;
        }
        case ValueKind::Float:
          out += " float ";
          AppendFloat(out, ReadF32(v.data()));
          break;
        case ValueKind::String:
          out += " str ";
          AppendQuoted(out, StringAt(v, 0));
          break;
        case ValueKind::Pair: {
          const std::string_view a = StringAt(v, 0);
          out += " pair ";
          AppendQuoted(out, a);
          out += ' ';
          AppendQuoted(out, StringAt(v, 4 + a.size()));
          break;
        }
        case ValueKind::Ints:
          out += " ints";
          for (size_t i = 0; i < v.size(); i += 4) out += " " + std::to_string(ReadI32(v.data() + i));
          break;
        case ValueKind::Floats:
          out += " floats";
          for (size_t i = 0; i < v.size(); i += 4) {
            out += ' ';
            AppendFloat(out, ReadF32(v.data() + i));
          }
          break;
        case ValueKind::Bitmap:
          out += " bitmap " + std::to_string(ReadI32(v.data())) + " " + std::to_string(ReadI32(v.data() + 4));
          if (v.size() > 8) {
            out += ' ';
            AppendHex(out, v.subspan(8));
          }
          break;
        case ValueKind::Block:
          out += " block {\n";
          DumpSequence(out, v, level + 1, row->inner.empty() ? type : row->inner, depth + 1);
          out.append(level * 2, ' ');
          out += '}';
          break;
        case ValueKind::Midi:
          out += " midi ";
          AppendMidi(out, static_cast<uint32_t>(ReadI32(v.data())));
          break;
        case ValueKind::Events: {
          out += " events {\n";
          int64_t tick = 0;
          for (size_t i = 0; i < v.size(); i += 12) {
            tick += ReadI32(v.data() + i);
            out.append(std::min(level + 1, kMaxIndent) * 2, ' ');
            out += '@' + std::to_string(tick) + ' ';
            AppendMidi(out, static_cast<uint32_t>(ReadI32(v.data() + i + 4)));
            if (const int32_t len = ReadI32(v.data() + i + 8); len != 0) out += " len " + std::to_string(len);
            out += '\n';
          }
          out.append(level * 2, ' ');
          out += '}';
          break;
        }
        case ValueKind::Marker:
        case ValueKind::Hex:
          out += " hex ";
          AppendHex(out, v);
          break;
      }
    }
    if (r.value.size() != stated) out += " !size " + std::to_string(stated);
    out += '\n';
    if ((OpensTypedRecords(r.key) || (row && row->opensModule)) && row && row->kind == ValueKind::String &&
        Fits(ValueKind::String, r.value, depth))
      types.emplace_back(StringAt(r.value, 0));
  }
  if (pos < b.size()) {
    out.append(std::min(indent, kMaxIndent) * 2, ' ');
    out += "!tail ";
    AppendHex(out, b.subspan(pos));
    out += '\n';
  }
}

// ---------------------------------------------------------------- building

const char* KindName(ValueKind k) {
  switch (k) {
    case ValueKind::Marker:
      return "";
    case ValueKind::Int:
      return "int";
    case ValueKind::Short:
      return "short";
    case ValueKind::Float:
      return "float";
    case ValueKind::String:
      return "str";
    case ValueKind::Pair:
      return "pair";
    case ValueKind::Ints:
      return "ints";
    case ValueKind::Floats:
      return "floats";
    case ValueKind::Block:
      return "block";
    case ValueKind::Bitmap:
      return "bitmap";
    case ValueKind::Hex:
      return "hex";
    case ValueKind::Midi:
      return "midi";
    case ValueKind::Events:
      return "events";
  }
  return "";
}

bool TypeHasRows(std::string_view type) {
  if (type.empty()) return false;
  for (const RecordKind& r : RecordKinds())
    if (r.type == type) return true;
  return false;
}

class Builder {
 public:
  Builder(std::vector<uint8_t>& out, std::vector<std::string>* warnings) : out_(out), warnings_(warnings) {
    levels_.push_back({});
  }

  bool Line(std::string_view line, size_t number, std::string& error);
  bool Finish(std::string& error) {
    if (levels_.size() == 1) return true;
    error = "block not closed";
    return false;
  }

 private:
  // One level of nesting: the records of the stream, or of a block, or the
  // events of an event list. Types are tracked exactly as the dump tracks
  // them, so the same rows apply on both sides.
  struct Level {
    size_t sizeAt = 0;  // the size field of the record that opened it
    std::string outer;
    std::vector<std::string> types;  // "CType" blocks open at this level
    bool events = false;
    int64_t tick = 0;
    std::string_view Type() const {
      return types.empty() ? std::string_view(outer) : std::string_view(types.back());
    }
  };

  bool Token(std::string& tok, bool& quoted, std::string& error);
  bool Int(const std::string& tok, int64_t lo, int64_t hi, int64_t& v, std::string& error);
  bool Float(const std::string& tok, float& v, std::string& error);
  bool Hex(std::string_view tok, std::string& error);
  bool Midi(uint32_t& msg, std::string& error);
  bool Value(std::string_view kind, std::string& error);
  bool EventLine(const std::string& first, std::string& error);
  bool Close(std::string& error);
  void Warn(const std::string& what) {
    if (warnings_) warnings_->push_back("line " + std::to_string(line_) + ": " + what);
  }
  void PutI32(int32_t v) { Put(&v, 4); }
  void Put(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), c, c + n);
  }
  void PutString(const std::string& s) {
    PutI32(static_cast<int32_t>(s.size()));
    Put(s.data(), s.size());
  }

  std::vector<uint8_t>& out_;
  std::vector<std::string>* warnings_;
  std::vector<Level> levels_;
  std::string_view rest_;  // the unread part of the current line
  size_t line_ = 0;
  bool inValue_ = false;                  // "!size N" may end the line
  int64_t stated_ = -1;                   // the size field "!size" asks for
  std::string lastString_;                // the first string of the last value
  std::map<std::string, size_t> cables_;  // cable records seen, and their lines
};

bool Builder::Token(std::string& tok, bool& quoted, std::string& error) {
  tok.clear();
  quoted = false;
  while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t')) rest_.remove_prefix(1);
  if (rest_.empty()) return false;
  if (rest_.front() != '"') {
    size_t n = 0;
    while (n < rest_.size() && rest_[n] != ' ' && rest_[n] != '\t') ++n;
    tok.assign(rest_.substr(0, n));
    rest_.remove_prefix(n);
    if (!inValue_ || tok != "!size") return true;
    // The stated size ends the value: the line ends here for the value's reader.
    inValue_ = false;
    std::string n_tok;
    int64_t v = 0;
    if (!Token(n_tok, quoted, error) || quoted || !Int(n_tok, 0, kMaxValue, v, error)) {
      if (error.empty()) error = "size expected after !size";
      return false;
    }
    if (Token(n_tok, quoted, error)) error = "unexpected '" + n_tok + "'";
    stated_ = v;
    return false;
  }
  quoted = true;
  rest_.remove_prefix(1);
  while (!rest_.empty() && rest_.front() != '"') {
    char c = rest_.front();
    rest_.remove_prefix(1);
    if (c == '\\') {
      if (rest_.empty()) break;
      const char e = rest_.front();
      rest_.remove_prefix(1);
      if (e == 'n') {
        c = '\n';
      } else if (e == 't') {
        c = '\t';
      } else if (e == 'r') {
        c = '\r';
      } else if (e == '"' || e == '\\') {
        c = e;
      } else if (e == 'x' && rest_.size() >= 2) {
        unsigned v = 0;
        const auto r = std::from_chars(rest_.data(), rest_.data() + 2, v, 16);
        if (r.ptr != rest_.data() + 2) {
          error = "bad \\x escape";
          return false;
        }
        c = static_cast<char>(v);
        rest_.remove_prefix(2);
      } else {
        error = std::string("unknown escape \\") + e;
        return false;
      }
    }
    tok += c;
  }
  if (rest_.empty()) {
    error = "unterminated string";
    return false;
  }
  rest_.remove_prefix(1);
  return true;
}

bool Builder::Int(const std::string& tok, int64_t lo, int64_t hi, int64_t& v, std::string& error) {
  const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
  if (tok.empty() || r.ec != std::errc() || r.ptr != tok.data() + tok.size() || v < lo || v > hi) {
    error = "bad integer '" + tok + "'";
    return false;
  }
  return true;
}

bool Builder::Float(const std::string& tok, float& v, std::string& error) {
  if (tok.size() == 12 && tok.compare(0, 4, "nan:") == 0) {
    uint32_t bits = 0;
    const auto r = std::from_chars(tok.data() + 4, tok.data() + 12, bits, 16);
    if (r.ec == std::errc() && r.ptr == tok.data() + 12) {
      std::memcpy(&v, &bits, 4);
      return true;
    }
  }
  const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
  if (tok.empty() || r.ec != std::errc() || r.ptr != tok.data() + tok.size()) {
    error = "bad float '" + tok + "'";
    return false;
  }
  return true;
}

bool Builder::Hex(std::string_view tok, std::string& error) {
  if (tok.size() % 2) {
    error = "odd number of hex digits";
    return false;
  }
  for (size_t i = 0; i < tok.size(); i += 2) {
    unsigned v = 0;
    const auto r = std::from_chars(tok.data() + i, tok.data() + i + 2, v, 16);
    if (r.ptr != tok.data() + i + 2) {
      error = "bad hex digits";
      return false;
    }
    out_.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool Builder::Midi(uint32_t& msg, std::string& error) {
  std::string tok;
  bool quoted = false;
  const auto next = [&](const char* what) {
    if (Token(tok, quoted, error) && !quoted) return true;
    if (error.empty()) error = std::string(what) + " expected";
    return false;
  };
  const auto number = [&](const char* what, int64_t lo, int64_t hi, int64_t& v) {
    return next(what) && Int(tok, lo, hi, v, error);
  };
  const auto note = [&](int64_t& key) {
    if (!next("note")) return false;
    static constexpr int kBase[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    if (tok.empty() || tok[0] < 'A' || tok[0] > 'G') return Int(tok, 0, 127, key, error);
    size_t at = 1;
    int k = kBase[tok[0] - 'A'];
    if (at < tok.size() && tok[at] == '#') ++k, ++at;
    int64_t octave = 0;
    if (!Int(tok.substr(at), -2, 8, octave, error) || (key = k + (octave + 2) * 12) > 127) {
      error = "bad note '" + tok + "'";
      return false;
    }
    return true;
  };
  if (!next("MIDI message")) return false;
  if (tok == "raw") {
    if (!next("hex digits")) return false;
    uint32_t v = 0;
    const auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v, 16);
    if (tok.size() != 8 || r.ptr != tok.data() + tok.size())
      return Fail(error, "eight hex digits expected after raw");
    msg = v;
    return true;
  }
  static constexpr std::pair<std::string_view, uint32_t> kClasses[] = {
      {"off", 0x80}, {"on", 0x90},    {"poly", 0xA0}, {"cc", 0xB0},
      {"pc", 0xC0},  {"press", 0xD0}, {"bend", 0xE0}};
  uint32_t cls = 0;
  for (const auto& [name, c] : kClasses)
    if (tok == name) cls = c;
  if (!cls) return Fail(error, "unknown MIDI message '" + tok + "'");
  int64_t ch = 0, d1 = 0, d2 = 0;
  if (!number("channel", 1, 16, ch)) return false;
  bool ok = true;
  if (cls == 0x80 || cls == 0x90 || cls == 0xA0) {
    ok = note(d1) && number("value", 0, 127, d2);
  } else if (cls == 0xB0) {
    ok = number("controller", 0, 127, d1) && number("value", 0, 127, d2);
  } else if (cls == 0xC0 || cls == 0xD0) {
    ok = number("value", 0, 127, d1);
  } else {
    int64_t bend = 0;
    ok = number("bend value", 0, 16383, bend);
    d1 = bend & 127, d2 = bend >> 7;
  }
  if (!ok) return false;
  msg = (cls | static_cast<uint32_t>(ch - 1)) | static_cast<uint32_t>(d1) << 8 |
        static_cast<uint32_t>(d2) << 16;
  const std::string_view saved = rest_;
  if (Token(tok, quoted, error) && !quoted && tok == "port") {
    int64_t port = 0;
    if (!number("port", 1, 255, port)) return false;
    msg |= static_cast<uint32_t>(port) << 24;
  } else {
    rest_ = saved;
  }
  return error.empty();
}

bool Builder::EventLine(const std::string& first, std::string& error) {
  Level& lv = levels_.back();
  int64_t tick = 0;
  if (first.size() < 2 || first[0] != '@' || !Int(first.substr(1), INT64_MIN / 2, INT64_MAX / 2, tick, error))
    return Fail(error, "an event starts with @ and its tick");
  const int64_t delta = tick - lv.tick;
  if (delta < INT32_MIN || delta > INT32_MAX) return Fail(error, "event too far from the one before");
  uint32_t msg = 0;
  if (!Midi(msg, error)) return false;
  int64_t len = 0;
  std::string tok;
  bool quoted = false;
  if (Token(tok, quoted, error)) {
    if (quoted || tok != "len") return Fail(error, "unexpected '" + tok + "'");
    if (!Token(tok, quoted, error) || quoted || !Int(tok, INT32_MIN, INT32_MAX, len, error))
      return error.empty() ? Fail(error, "length expected") : false;
    if (Token(tok, quoted, error)) return Fail(error, "unexpected '" + tok + "'");
  }
  if (!error.empty()) return false;
  PutI32(static_cast<int32_t>(delta));
  PutI32(static_cast<int32_t>(msg));
  PutI32(static_cast<int32_t>(len));
  lv.tick = tick;
  return true;
}

bool Builder::Close(std::string& error) {
  if (levels_.size() < 2) return Fail(error, "'}' without a block");
  const size_t at = levels_.back().sizeAt;
  levels_.pop_back();
  const int64_t size = static_cast<int64_t>(out_.size() - at - 4);
  if (size > kMaxValue) return Fail(error, "block too large");
  const auto v = static_cast<int32_t>(size);
  std::memcpy(out_.data() + at, &v, 4);
  std::string tok;
  bool quoted = false;
  if (Token(tok, quoted, error)) return Fail(error, "unexpected text after '}'");
  return error.empty();
}

bool Builder::Value(std::string_view kind, std::string& error) {
  std::string tok;
  bool quoted = false;
  const auto need = [&](bool want_quoted) {
    if (!Token(tok, quoted, error)) {
      if (error.empty()) error = "value missing";
      return false;
    }
    if (quoted != want_quoted) {
      error = want_quoted ? "text must be quoted" : "unexpected text";
      return false;
    }
    return true;
  };
  int64_t v = 0;
  if (kind == "int" || kind == "short") {
    const bool is_int = kind == "int";
    if (!need(false) || !Int(tok, is_int ? INT32_MIN : INT16_MIN, is_int ? INT32_MAX : INT16_MAX, v, error))
      return false;
    if (is_int) {
      PutI32(static_cast<int32_t>(v));
    } else {
      const auto s = static_cast<int16_t>(v);
      Put(&s, 2);
    }
  } else if (kind == "float") {
    float f = 0;
    if (!need(false) || !Float(tok, f, error)) return false;
    Put(&f, 4);
  } else if (kind == "str" || kind == "pair") {
    if (!need(true)) return false;
    PutString(tok);
    lastString_ = tok;
    if (kind == "pair") {
      if (!need(true)) return false;
      PutString(tok);
    }
  } else if (kind == "ints" || kind == "floats") {
    while (Token(tok, quoted, error)) {
      if (quoted) return Fail(error, "unexpected text");
      if (kind == "ints") {
        if (!Int(tok, INT32_MIN, INT32_MAX, v, error)) return false;
        PutI32(static_cast<int32_t>(v));
      } else {
        float f = 0;
        if (!Float(tok, f, error)) return false;
        Put(&f, 4);
      }
    }
    return error.empty();
  } else if (kind == "bitmap") {
    int64_t w = 0, h = 0;
    if (!need(false) || !Int(tok, 0, INT32_MAX, w, error) || !need(false) ||
        !Int(tok, 0, INT32_MAX, h, error))
      return false;
    PutI32(static_cast<int32_t>(w));
    PutI32(static_cast<int32_t>(h));
    const size_t at = out_.size();
    if (Token(tok, quoted, error)) {
      if (quoted) return Fail(error, "pixels must be hex");
      if (!Hex(tok, error)) return false;
    } else if (!error.empty()) {
      return false;
    }
    const auto bytes = static_cast<int64_t>(out_.size() - at);
    if (w == 0 ? bytes != 0 : bytes % (4 * w) != 0 || bytes / (4 * w) != h)
      return Fail(error, "the pixels do not match width and height");
  } else if (kind == "hex") {
    if (!need(false) || !Hex(tok, error)) return false;
  } else if (kind == "midi") {
    uint32_t msg = 0;
    if (!Midi(msg, error)) return false;
    PutI32(static_cast<int32_t>(msg));
  } else {
    error = "unknown kind '" + std::string(kind) + "'";
    return false;
  }
  if (Token(tok, quoted, error)) error = "unexpected '" + tok + "'";
  return error.empty();
}

bool Builder::Line(std::string_view line, size_t number, std::string& error) {
  rest_ = line;
  line_ = number;
  std::string key, kind;
  bool quoted = false;
  if (!Token(key, quoted, error)) return error.empty();  // blank line
  if (!quoted && key[0] == '#') return true;
  if (!quoted && key == "}") return Close(error);
  if (levels_.back().events) {
    if (quoted) return Fail(error, "an event starts with @ and its tick");
    return EventLine(key, error);
  }
  if (!quoted && key == "!tail") {
    std::string tok;
    if (Token(tok, quoted, error) && !quoted) return Hex(tok, error);
    return error.empty() ? Fail(error, "hex expected") : false;
  }
  if (key.size() > static_cast<size_t>(kMaxValue)) return Fail(error, "key too long");
  Level& lv = levels_.back();
  if (key == "CEnd" && !lv.types.empty()) lv.types.pop_back();
  const std::string type(lv.Type());
  const RecordKind* row = FindRecordKind(type, key);
  if (!row && TypeHasRows(type)) Warn("unknown key '" + key + "' in a " + type + " block");
  PutI32(static_cast<int32_t>(key.size()));
  Put(key.data(), key.size());
  const size_t sizeAt = out_.size();
  PutI32(0);
  if (!Token(kind, quoted, error)) return error.empty();  // a record of size 0
  if (quoted) return Fail(error, "kind expected");
  if (row && kind != "hex" && kind != KindName(row->kind)) {
    return Fail(error,
                key + " takes " +
                    (row->kind == ValueKind::Marker ? std::string("no value")
                                                    : std::string("a value of kind ") + KindName(row->kind)) +
                    ", not " + kind);
  }
  if (kind == "block" || kind == "events") {
    std::string brace;
    if (!Token(brace, quoted, error) || quoted || brace != "{")
      return error.empty() ? Fail(error, "'{' expected") : false;
    if (levels_.size() >= 64) return Fail(error, "blocks nested too deep");
    if (Token(brace, quoted, error)) return Fail(error, "unexpected text after '{'");
    Level inner;
    inner.sizeAt = sizeAt;
    inner.outer = row && !row->inner.empty() ? std::string(row->inner) : type;
    inner.events = kind == "events";
    levels_.push_back(std::move(inner));
    return error.empty();
  }
  inValue_ = true;
  stated_ = -1;
  const bool ok = Value(kind, error);
  inValue_ = false;
  if (!ok) return false;
  const int64_t size = stated_ >= 0 ? stated_ : static_cast<int64_t>(out_.size() - sizeAt - 4);
  if (size > kMaxValue) return Fail(error, "value too large");
  const auto v = static_cast<int32_t>(size);
  std::memcpy(out_.data() + sizeAt, &v, 4);
  if (OpensTypedRecords(key) && kind == "str" && stated_ < 0 && row && row->kind == ValueKind::String)
    levels_.back().types.push_back(lastString_);
  if ((key == "ACable2" || key == "MCable") && levels_.size() == 1) {
    std::string id = key + ' ';
    id.append(reinterpret_cast<const char*>(out_.data()) + sizeAt + 4, out_.size() - sizeAt - 4);
    const auto [it, fresh] = cables_.emplace(std::move(id), number);
    if (!fresh)
      Warn("the same cable as on line " + std::to_string(it->second) + "; connecting it twice removes it");
  }
  return true;
}

}  // namespace

const RecordKind* FindRecordKind(std::string_view type, std::string_view key) {
  const RecordKind* generic = nullptr;
  for (const RecordKind& r : RecordKinds()) {
    if (r.key != key) continue;
    if (!type.empty() && r.type == type) return &r;
    if (r.type.empty() && !generic) generic = &r;
  }
  return generic;
}

namespace {

constexpr size_t kFoldFrom = 4;  // identical lines in a row before they fold
// Only short lines fold, and only so many of them, so that a folded line (or a
// hostile one) never builds more than kMaxRepeatedBytes.
constexpr int64_t kMaxRepeat = 4096;
constexpr size_t kMaxFoldedLine = 256;
constexpr size_t kMaxRepeatedBytes = size_t{1} << 22;

// Folds runs of identical record lines, such as the 128 host parameters at
// their default, into one line "#xN LINE" that the builder expands again.
std::string FoldRepeats(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    const size_t len = (end == std::string::npos ? text.size() : end + 1) - pos;
    const std::string_view line(text.data() + pos, len);
    size_t run = 1;
    while (run < static_cast<size_t>(kMaxRepeat) && pos + (run + 1) * len <= text.size() &&
           std::string_view(text.data() + pos + run * len, len) == line)
      ++run;
    const size_t indent = line.find_first_not_of(' ');
    const std::string_view body = indent == std::string_view::npos ? line : line.substr(indent);
    const bool foldable = line.back() == '\n' && len <= kMaxFoldedLine && !body.empty() && body[0] != '}' &&
                          body[0] != '#' && body.find('{') == std::string_view::npos;
    if (run >= kFoldFrom && foldable) {
      out.append(line.substr(0, indent));
      out += "#x" + std::to_string(run) + ' ';
      out.append(body);
      pos += run * len;
    } else {
      out.append(line);
      pos += len;
    }
  }
  return out;
}

}  // namespace

std::string DumpRecords(std::span<const uint8_t> bytes) {
  std::string out;
  DumpSequence(out, bytes, 0, {}, 0);
  return FoldRepeats(out);
}

bool BuildRecords(std::string_view text, std::vector<uint8_t>& out, std::string& error,
                  std::vector<std::string>* warnings) {
  out.clear();
  error.clear();
  Builder b(out, warnings);
  size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // "#xN LINE": N records alike, folded by the dump.
    int64_t repeat = 1;
    const size_t start = line.find_first_not_of(" \t");
    if (start != std::string_view::npos && line.substr(start, 2) == "#x") {
      const std::string_view rest = line.substr(start + 2);
      const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), repeat);
      if (r.ec == std::errc() && r.ptr != rest.data() && r.ptr < rest.data() + rest.size() && *r.ptr == ' ') {
        if (repeat < 1 || repeat > kMaxRepeat) {
          error = "line " + std::to_string(line_no) + ": bad repeat count";
          return false;
        }
        line = std::string_view(r.ptr + 1, static_cast<size_t>(rest.data() + rest.size() - r.ptr - 1));
      } else {
        repeat = 1;
      }
    }
    bool ok = true;
    const size_t before = out.size();
    for (int64_t i = 0; i < repeat && ok; ++i) {
      ok = b.Line(line, line_no, error);
      if (ok && repeat > 1 && out.size() - before > kMaxRepeatedBytes) ok = Fail(error, "repeats too large");
    }
    if (!ok) {
      error = "line " + std::to_string(line_no) + ": " + error;
      return false;
    }
  }
  if (!b.Finish(error)) {
    error = "line " + std::to_string(line_no) + ": " + error;
    return false;
  }
  return true;
}

}  // namespace qr
