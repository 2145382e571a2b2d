#include "vsthost/FxFile.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/Vst2.h"

namespace qr {

namespace {

using vst2::FourCC;
constexpr int32_t kCcnK = FourCC('C', 'c', 'n', 'K');
constexpr int32_t kFxCk = FourCC('F', 'x', 'C', 'k');
constexpr int32_t kFPCh = FourCC('F', 'P', 'C', 'h');
constexpr int32_t kFxBk = FourCC('F', 'x', 'B', 'k');
constexpr int32_t kFBCh = FourCC('F', 'B', 'C', 'h');
// Bytes of a program record before its parameters or chunk size: the seven
// header integers and the name.
constexpr size_t kProgramHead = 7 * 4 + fx::kNameBytes;
constexpr size_t kBankHead = 7 * 4 + fx::kFutureBytes;

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> b) : b_(b) {}
  size_t Remaining() const noexcept { return b_.size() - pos_; }
  bool Int(int32_t& v) {
    if (Remaining() < 4) return false;
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u = (u << 8) | b_[pos_++];
    v = static_cast<int32_t>(u);
    return true;
  }
  bool Float(float& v) {
    int32_t i = 0;
    if (!Int(i)) return false;
    v = std::bit_cast<float>(i);
    return true;
  }
  bool Bytes(void* dst, size_t n) {
    if (Remaining() < n) return false;
    if (n > 0) std::memcpy(dst, b_.data() + pos_, n);  // an empty chunk may have no buffer
    pos_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> b_;
  size_t pos_ = 0;
};

class Writer {
 public:
  void Int(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(u >> s));
  }
  void Float(float v) { Int(std::bit_cast<int32_t>(v)); }
  void Bytes(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    out.insert(out.end(), c, c + n);
  }
  // The size field counts what follows it; it is patched once the record is whole.
  void PatchSize(size_t at) {
    const auto n = static_cast<uint32_t>(out.size() - at - 4);
    for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (24 - 8 * i));
  }
  std::vector<uint8_t> out;
};

bool ReadProgram(Reader& r, FxProgram& p, std::string& error) {
  int32_t magic = 0, size = 0, kind = 0;
  if (!r.Int(magic) || !r.Int(size) || !r.Int(kind)) return error = "file too short", false;
  if (magic != kCcnK) return error = "not a program or bank file", false;
  if (kind != kFxCk && kind != kFPCh) return error = "not a program", false;
  p.chunk = kind == kFPCh;
  if (!r.Int(p.version) || !r.Int(p.fxID) || !r.Int(p.fxVersion) || !r.Int(p.count) ||
      !r.Bytes(p.name.data(), p.name.size()))
    return error = "program header cut short", false;
  if (p.chunk) {
    int32_t n = 0;
    if (!r.Int(n)) return error = "program chunk size missing", false;
    if (n < 0 || static_cast<size_t>(n) > r.Remaining()) return error = "program chunk cut short", false;
    p.data.resize(static_cast<size_t>(n));
    r.Bytes(p.data.data(), p.data.size());
    p.params.clear();
  } else {
    if (p.count < 0 || static_cast<size_t>(p.count) > r.Remaining() / 4)
      return error = "parameter count does not fit the file", false;
    p.params.resize(static_cast<size_t>(p.count));
    for (float& v : p.params) r.Float(v);
    p.data.clear();
  }
  return true;
}

void WriteProgram(Writer& w, const FxProgram& p) {
  w.Int(kCcnK);
  const size_t at = w.out.size();
  w.Int(0);
  w.Int(p.chunk ? kFPCh : kFxCk);
  w.Int(p.version);
  w.Int(p.fxID);
  w.Int(p.fxVersion);
  w.Int(p.chunk ? p.count : static_cast<int32_t>(p.params.size()));
  w.Bytes(p.name.data(), p.name.size());
  if (p.chunk) {
    w.Int(static_cast<int32_t>(p.data.size()));
    w.Bytes(p.data.data(), p.data.size());
  } else {
    for (float v : p.params) w.Float(v);
  }
  w.PatchSize(at);
}

}  // namespace

std::string FxProgram::Name() const {
  const auto end = std::find(name.begin(), name.end(), '\0');
  return std::string(name.begin(), end);
}

void FxProgram::SetName(std::string_view text) {
  name.fill('\0');
  // The last byte stays a terminator for readers that expect one.
  std::memcpy(name.data(), text.data(), std::min(text.size(), name.size() - 1));
}

bool ReadFxProgram(std::span<const uint8_t> bytes, FxProgram& out, std::string& error) {
  error.clear();
  Reader r(bytes);
  FxProgram p;
  if (!ReadProgram(r, p, error)) return false;
  out = std::move(p);
  return true;
}

bool ReadFxBank(std::span<const uint8_t> bytes, FxBank& out, std::string& error) {
  error.clear();
  Reader r(bytes);
  FxBank b;
  int32_t magic = 0, size = 0, kind = 0;
  if (!r.Int(magic) || !r.Int(size) || !r.Int(kind)) return error = "file too short", false;
  if (magic != kCcnK) return error = "not a program or bank file", false;
  if (kind != kFxBk && kind != kFBCh) return error = "not a bank", false;
  b.chunk = kind == kFBCh;
  if (!r.Int(b.version) || !r.Int(b.fxID) || !r.Int(b.fxVersion) || !r.Int(b.numPrograms) ||
      !r.Bytes(b.future.data(), b.future.size()))
    return error = "bank header cut short", false;
  if (b.chunk) {
    int32_t n = 0;
    if (!r.Int(n)) return error = "bank chunk size missing", false;
    if (n < 0 || static_cast<size_t>(n) > r.Remaining()) return error = "bank chunk cut short", false;
    b.data.resize(static_cast<size_t>(n));
    r.Bytes(b.data.data(), b.data.size());
  } else {
    // Every program record takes at least its header, which bounds the count
    // before anything is reserved for it.
    if (b.numPrograms < 0 || static_cast<size_t>(b.numPrograms) > r.Remaining() / kProgramHead)
      return error = "program count does not fit the file", false;
    b.programs.resize(static_cast<size_t>(b.numPrograms));
    for (FxProgram& p : b.programs)
      if (!ReadProgram(r, p, error)) return error = "bank program: " + error, false;
  }
  out = std::move(b);
  return true;
}

std::vector<uint8_t> WriteFxProgram(const FxProgram& p) {
  Writer w;
  WriteProgram(w, p);
  return std::move(w.out);
}

std::vector<uint8_t> WriteFxBank(const FxBank& b) {
  Writer w;
  w.out.reserve(kBankHead + 8 + b.data.size());
  w.Int(kCcnK);
  const size_t at = w.out.size();
  w.Int(0);
  w.Int(b.chunk ? kFBCh : kFxBk);
  w.Int(b.version);
  w.Int(b.fxID);
  w.Int(b.fxVersion);
  w.Int(b.chunk ? b.numPrograms : static_cast<int32_t>(b.programs.size()));
  w.Bytes(b.future.data(), b.future.size());
  if (b.chunk) {
    w.Int(static_cast<int32_t>(b.data.size()));
    w.Bytes(b.data.data(), b.data.size());
  } else {
    for (const FxProgram& p : b.programs) WriteProgram(w, p);
  }
  w.PatchSize(at);
  return std::move(w.out);
}

}  // namespace qr
