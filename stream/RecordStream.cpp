#include "stream/RecordStream.h"

#include <algorithm>
#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "the record stream is written with the machine's own byte order");

namespace qr {

namespace {
// A record with a short key and a small value leaves in one write: saving a
// project writes thousands of them, and each write is a call through the
// stream's interface with its own bounds check.
constexpr size_t kSmallRecord = 128;
}  // namespace

void CStream::PutRecord(std::string_view key, int32_t size, const void* value, size_t value_bytes,
                        const void* tail, size_t tail_bytes) {
  const size_t k = key.size();
  const size_t total = 8 + k + value_bytes + tail_bytes;
  if (total > kSmallRecord) {
    WriteInt(static_cast<int32_t>(k));
    Put(key.data(), k);
    WriteInt(size);
    if (value_bytes) Put(value, value_bytes);
    if (tail_bytes) Put(tail, tail_bytes);
    return;
  }
  unsigned char buf[kSmallRecord];
  const auto n = static_cast<int32_t>(k);
  std::memcpy(buf, &n, 4);
  if (k) std::memcpy(buf + 4, key.data(), k);
  std::memcpy(buf + 4 + k, &size, 4);
  if (value_bytes) std::memcpy(buf + 8 + k, value, value_bytes);
  if (tail_bytes) std::memcpy(buf + 8 + k + value_bytes, tail, tail_bytes);
  Put(buf, total);
}

void CStream::WriteKey(std::string_view key, int32_t size) { PutRecord(key, size, nullptr, 0, nullptr, 0); }

void CStream::WriteKeyInt(std::string_view key, int32_t value) { PutRecord(key, 4, &value, 4, nullptr, 0); }

void CStream::WriteKeyFloat(std::string_view key, float value) { PutRecord(key, 4, &value, 4, nullptr, 0); }

void CStream::WriteKeyString(std::string_view key, std::string_view text) {
  const auto n = static_cast<int32_t>(text.size());
  PutRecord(key, n + 4, &n, 4, text.data(), text.size());
}

void CStream::WriteInt(int32_t value) { Put(&value, 4); }
void CStream::WriteFloat(float value) { Put(&value, 4); }
void CStream::WriteShort(int16_t value) { Put(&value, 2); }
void CStream::WriteByte(uint8_t value) { Put(&value, 1); }

void CStream::WriteString(std::string_view text) {
  WriteInt(static_cast<int32_t>(text.size()));
  Put(text.data(), text.size());
}

int64_t CStream::BeginSized(std::string_view key) {
  WriteInt(static_cast<int32_t>(key.size()));
  Put(key.data(), key.size());
  const int64_t at = Position();
  WriteInt(0);
  return at;
}

void CStream::EndSized(int64_t size_pos) {
  const int64_t end = Position();
  Seek(size_pos);
  WriteInt(static_cast<int32_t>(end - size_pos - 4));
  Seek(end);
}

bool CStream::ReadExact(void* dst, size_t n) {
  if (failed_) return false;
  if (ReadBytes(dst, n) != n) {
    failed_ = true;
    return false;
  }
  return true;
}

std::string CStream::ReadKey() {
  int32_t n = ReadInt();
  if (n <= 0 || failed_) return {};
  if (n > Remaining()) {
    failed_ = true;
    return {};
  }
  std::string text(static_cast<size_t>(n), '\0');
  if (!ReadExact(text.data(), text.size())) return {};
  return text;
}

int32_t CStream::ReadInt() {
  int32_t v = 0;
  return ReadExact(&v, 4) ? v : 0;
}

float CStream::ReadFloat() {
  float v = 0.0f;
  return ReadExact(&v, 4) ? v : 0.0f;
}

int16_t CStream::ReadShort() {
  int16_t v = 0;
  return ReadExact(&v, 2) ? v : 0;
}

uint8_t CStream::ReadByte() {
  uint8_t v = 0;
  return ReadExact(&v, 1) ? v : 0;
}

std::vector<uint8_t> CStream::ReadRaw(int64_t n) {
  if (failed_ || n < 0 || n > Remaining()) {
    failed_ = true;
    return {};
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  if (!ReadExact(bytes.data(), bytes.size())) return {};
  return bytes;
}

bool CStream::Skip(int64_t n) {
  if (failed_ || n < 0 || n > Remaining()) {
    failed_ = true;
    return false;
  }
  return Seek(Position() + n) || (failed_ = true, false);
}

bool CStream::NextRecord(std::string& key, int32_t& size) {
  key.clear();
  size = 0;
  if (failed_) return false;
  // One look at what remains bounds the whole header; the key and the value
  // size then come in a single read.
  const int64_t left = Remaining();
  if (left < 8) {
    // Trailing bytes too short for a header are garbage, not a clean end.
    if (left > 0) failed_ = true;
    return false;
  }
  int32_t n = 0;
  if (ReadBytes(&n, 4) != 4 || n < 0 || n > kMaxKeyLength || n + 8 > left) {
    failed_ = true;
    return false;
  }
  char head[kMaxKeyLength + 4];
  const auto head_bytes = static_cast<size_t>(n) + 4;
  if (ReadBytes(head, head_bytes) != head_bytes) {
    failed_ = true;
    return false;
  }
  // A refused size is still handed back with its key, for the loader's message.
  key.assign(head, static_cast<size_t>(n));
  std::memcpy(&size, head + n, 4);
  if (size < 0 || size > left - 8 - n) {
    failed_ = true;
    return false;
  }
  return true;
}

CMemStream::CMemStream(const void* bytes, size_t n)
    : data_(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + n) {}

size_t CMemStream::ReadBytes(void* dst, size_t n) {
  const size_t avail = pos_ < Size() ? static_cast<size_t>(Size() - pos_) : 0;
  const size_t k = std::min(n, avail);
  if (k) std::memcpy(dst, data_.data() + pos_, k);
  pos_ += static_cast<int64_t>(k);
  return k;
}

bool CMemStream::WriteBytes(const void* src, size_t n) {
  const auto* p = static_cast<const uint8_t*>(src);
  const size_t at = static_cast<size_t>(pos_);
  // Writing at the end appends without first zeroing the room it fills.
  if (at == data_.size()) {
    data_.insert(data_.end(), p, p + n);
  } else {
    if (at + n > data_.size()) data_.resize(at + n);
    if (n) std::memcpy(data_.data() + at, p, n);
  }
  pos_ = static_cast<int64_t>(at + n);
  return true;
}

bool CMemStream::Seek(int64_t pos) {
  if (pos < 0 || pos > Size()) return false;
  pos_ = pos;
  return true;
}

CFileStream::~CFileStream() { Close(); }

bool CFileStream::Open(const std::string& path, bool write) {
  Close();
  failed_ = false;
  write_failed_ = false;
  file_ = std::fopen(path.c_str(), write ? "wb" : "rb");
  return file_ != nullptr;
}

void CFileStream::Close() {
  if (file_) {
    if (std::fclose(file_) != 0) write_failed_ = true;
    file_ = nullptr;
  }
}

size_t CFileStream::ReadBytes(void* dst, size_t n) { return file_ ? std::fread(dst, 1, n, file_) : 0; }

bool CFileStream::WriteBytes(const void* src, size_t n) {
  return file_ && std::fwrite(src, 1, n, file_) == n;
}

int64_t CFileStream::Position() const { return file_ ? static_cast<int64_t>(std::ftell(file_)) : 0; }

bool CFileStream::Seek(int64_t pos) {
  return file_ && pos >= 0 && std::fseek(file_, static_cast<long>(pos), SEEK_SET) == 0;
}

int64_t CFileStream::Size() const {
  if (!file_) return 0;
  const long at = std::ftell(file_);
  std::fseek(file_, 0, SEEK_END);
  const long end = std::ftell(file_);
  std::fseek(file_, at, SEEK_SET);
  return end;
}

}  // namespace qr
