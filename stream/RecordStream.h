#pragma once
// The key/size/value record stream that every stored object is written in.
//
// A record is: int32 key length, the key bytes, int32 value size, the value.
// Everything is little-endian. A module's block is its records followed by "CEnd".
//
// Streams are untrusted input. Reading never allocates more than the bytes that
// remain in the stream, and a stream that met a hostile length or ran past its
// end becomes "failed": every later read yields zero or empty text and
// NextRecord() reports the end, so reading loops always terminate.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qr {

inline constexpr int32_t kMaxKeyLength = 256;  // record keys are short words

class CStream {
 public:
  virtual ~CStream() = default;

  virtual size_t ReadBytes(void* dst, size_t n) = 0;
  virtual bool WriteBytes(const void* src, size_t n) = 0;
  virtual int64_t Position() const = 0;
  virtual bool Seek(int64_t pos) = 0;
  virtual int64_t Size() const = 0;

  int64_t Remaining() const { return Size() > Position() ? Size() - Position() : 0; }
  bool AtEnd() const { return failed_ || Remaining() == 0; }
  bool Failed() const { return failed_; }
  void SetFailed() { failed_ = true; }
  bool WriteFailed() const { return write_failed_; }

  // Writing.
  void WriteKey(std::string_view key, int32_t size);
  void WriteKeyInt(std::string_view key, int32_t value);
  void WriteKeyFloat(std::string_view key, float value);
  void WriteKeyString(std::string_view key, std::string_view text);
  void WriteKeyMarker(std::string_view key) { WriteKey(key, 0); }
  void WriteInt(int32_t value);
  void WriteFloat(float value);
  void WriteShort(int16_t value);
  void WriteByte(uint8_t value);
  void WriteString(std::string_view text);
  void WriteEnd() { WriteKey("CEnd", 0); }

  // A record whose size is only known after its value is written (nested blocks):
  // BeginSized() writes the key and a placeholder and returns the placeholder's
  // position; EndSized() patches it with the number of bytes written since.
  int64_t BeginSized(std::string_view key);
  void EndSized(int64_t size_pos);

  // Reading. Strings are read with the same layout as keys.
  std::string ReadKey();
  std::string ReadString() { return ReadKey(); }
  int32_t ReadInt();
  float ReadFloat();
  int16_t ReadShort();
  uint8_t ReadByte();
  // Reads exactly n bytes, or fails the stream and returns an empty vector.
  std::vector<uint8_t> ReadRaw(int64_t n);
  // Moves forward by n bytes; a negative n or one beyond the end fails the stream.
  bool Skip(int64_t n);

  // Reads the next record header. Returns false when the stream is exhausted or
  // the header is hostile (negative or oversized key length or value size); the
  // caller treats that as the end of its block. "CEnd" is returned like any key.
  bool NextRecord(std::string& key, int32_t& size);

 protected:
  bool failed_ = false;
  bool write_failed_ = false;

 private:
  bool ReadExact(void* dst, size_t n);
  // Writes a record's header, then value and tail as they are.
  void PutRecord(std::string_view key, int32_t size, const void* value, size_t value_bytes, const void* tail,
                 size_t tail_bytes);
  void Put(const void* src, size_t n) {
    if (!WriteBytes(src, n)) write_failed_ = true;
  }
};

// A growable in-memory stream: projects are built here before they go to a file
// or to the host, and read whole from here when they are loaded.
class CMemStream final : public CStream {
 public:
  CMemStream() = default;
  explicit CMemStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  CMemStream(const void* bytes, size_t n);

  size_t ReadBytes(void* dst, size_t n) override;
  bool WriteBytes(const void* src, size_t n) override;
  int64_t Position() const override { return pos_; }
  bool Seek(int64_t pos) override;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }

  void Clear() {
    data_.clear();
    pos_ = 0;
    failed_ = false;
    write_failed_ = false;
  }
  void Rewind() { pos_ = 0; }
  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// A stream over an open file (read or write).
class CFileStream final : public CStream {
 public:
  CFileStream() = default;
  ~CFileStream() override;
  CFileStream(const CFileStream&) = delete;
  CFileStream& operator=(const CFileStream&) = delete;

  bool Open(const std::string& path, bool write);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

  size_t ReadBytes(void* dst, size_t n) override;
  bool WriteBytes(const void* src, size_t n) override;
  int64_t Position() const override;
  bool Seek(int64_t pos) override;
  int64_t Size() const override;

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace qr
