#include "stream/RecordStream.h"

#include <algorithm>
#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "the record stream is written with the machine's own byte order");

namespace qr {

void CStream::WriteKey(std::string_view key, int32_t size) {
  WriteInt(static_cast<int32_t>(key.size()));
  Put(key.data(), key.size());
  WriteInt(size);
}

void CStream::WriteKeyInt(std::string_view key, int32_t value) {
  WriteKey(key, 4);
  WriteInt(value);
}

void CStream::WriteKeyFloat(std::string_view key, float value) {
  WriteKey(key, 4);
  WriteFloat(value);
}

void CStream::WriteKeyString(std::string_view key, std::string_view text) {
  WriteKey(key, static_cast<int32_t>(text.size() + 4));
  WriteString(text);
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
  if (Remaining() < 8) {
    // Trailing bytes too short for a header are garbage, not a clean end.
    if (Remaining() > 0) failed_ = true;
    return false;
  }
  const int32_t n = ReadInt();
  if (n < 0 || n > kMaxKeyLength || n + 4 > Remaining()) {
    failed_ = true;
    return false;
  }
  key.resize(static_cast<size_t>(n));
  if (n > 0 && !ReadExact(key.data(), key.size())) return false;
  size = ReadInt();
  if (failed_) return false;
  if (size < 0 || size > Remaining()) {
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
  const size_t end = static_cast<size_t>(pos_) + n;
  if (end > data_.size()) data_.resize(end);
  if (n) std::memcpy(data_.data() + pos_, src, n);
  pos_ = static_cast<int64_t>(end);
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
