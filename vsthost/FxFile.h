#pragma once
// Program (".fxp") and bank (".fxb") files: the published layout plug-ins share
// between hosts. Every integer and float in them is big-endian.
//
// The readers take untrusted bytes: counts and sizes are checked against the
// bytes that are actually there before anything is allocated, and a file that
// does not hold what its header claims is refused with a reason.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qr {

namespace fx {
inline constexpr int32_t kNameBytes = 28;     // program name field
inline constexpr int32_t kFutureBytes = 128;  // reserved block of a bank
}  // namespace fx

// One program: its parameters ("FxCk") or the plug-in's opaque chunk ("FPCh").
struct FxProgram {
  bool chunk = false;
  int32_t version = 1;
  int32_t fxID = 0;
  int32_t fxVersion = 0;
  int32_t count = 0;  // parameters, or for a chunk the plug-in's number of programs
  std::array<char, fx::kNameBytes> name{};
  std::vector<float> params;  // `count` values when not a chunk
  std::vector<uint8_t> data;  // the chunk

  std::string Name() const;
  void SetName(std::string_view text);
  bool operator==(const FxProgram&) const = default;
};

// A bank: every program in turn ("FxBk") or one chunk ("FBCh").
struct FxBank {
  bool chunk = false;
  int32_t version = 1;
  int32_t fxID = 0;
  int32_t fxVersion = 0;
  int32_t numPrograms = 0;
  std::array<uint8_t, fx::kFutureBytes> future{};
  std::vector<FxProgram> programs;  // regular banks: numPrograms records
  std::vector<uint8_t> data;        // chunk banks
  bool operator==(const FxBank&) const = default;
};

// Empty `error` on success. The header's size field is not trusted: the
// contents are measured from the counts, which must fit the bytes given.
bool ReadFxProgram(std::span<const uint8_t> bytes, FxProgram& out, std::string& error);
bool ReadFxBank(std::span<const uint8_t> bytes, FxBank& out, std::string& error);
std::vector<uint8_t> WriteFxProgram(const FxProgram& p);
std::vector<uint8_t> WriteFxBank(const FxBank& b);

}  // namespace qr
