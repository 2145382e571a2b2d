#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "persist/TextForm.h"
#include "stream/RecordStream.h"

namespace qr {
namespace {

std::vector<uint8_t> RoundTrip(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> built;
  std::string error;
  EXPECT_TRUE(BuildRecords(DumpRecords(bytes), built, error)) << error << "\n" << DumpRecords(bytes);
  return built;
}

float FromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

TEST(TextForm, AwkwardValuesAndBrokenStreamsBuildBackToTheSameBytes) {
  CMemStream s;
  // Floats that a plain decimal print would lose.
  for (float f : {0.1f, -0.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::infinity(), FromBits(0x7fc01234), FromBits(0xffa00001)})
    s.WriteKeyFloat("prccv", f);
  s.WriteKeyString("Id", std::string("quote\" back\\ nl\n tab\t high\xff nul") + std::string(1, 0));
  s.WriteKeyString("PageId", "");
  s.WriteKey("CData", 8 + 3);  // attribute with an empty value
  s.WriteString("abc");
  s.WriteString("");
  s.WriteKeyInt("key with spaces", 1);
  s.WriteKeyInt("", 2);
  s.WriteKeyInt("#not a comment", 3);
  s.WriteKeyInt("}", 4);
  s.WriteKey("X", 8);  // a known key with the wrong size
  s.WriteInt(1);
  s.WriteInt(2);
  s.WriteKey("ACable2", 6);  // ints that do not fill the size
  s.WriteInt(1);
  s.WriteShort(2);
  s.WriteKeyMarker("Page");
  s.WriteKey("BmpData", 8 + 2 * 1 * 4);
  for (int v : {2, 1, -1, 0x01020304}) s.WriteInt(v);
  s.WriteKey("BmpData", 8 + 4);  // pixels that do not match the size
  for (int v : {2, 2, 7}) s.WriteInt(v);
  s.WriteKeyString("CType", "CArp");
  s.WriteKey("PatVelRng", 4);  // a record known to carry more than its size says
  s.WriteInt(0), s.WriteInt(127);
  s.WriteKey("PatVelRng", 8);  // the same key written honestly
  s.WriteInt(1), s.WriteInt(100);
  s.WriteEnd();
  s.WriteKeyString("CType", "CTracks");
  const int64_t at = s.BeginSized("TrackGroove");
  s.WriteKeyInt("X", 5);
  const int64_t inner = s.BeginSized("TrackGroove");  // not a block where it stands: hex
  s.WriteKeyInt("X", 6);
  s.EndSized(inner);
  s.WriteEnd();
  s.EndSized(at);
  s.WriteKey("TrackGroove", 3);  // too short to hold records
  s.WriteByte(1), s.WriteByte(2), s.WriteByte(3);
  s.WriteEnd();
  const std::vector<uint8_t> good = s.Data();
  EXPECT_EQ(RoundTrip(good), good);

  const std::string text = DumpRecords(good);
  EXPECT_NE(text.find("prccv float 0.1\n"), std::string::npos);
  EXPECT_NE(text.find("prccv float -0\n"), std::string::npos);
  EXPECT_NE(text.find("prccv float nan:7fc01234\n"), std::string::npos);
  EXPECT_NE(text.find("\nX hex 0100000002000000\n"), std::string::npos);
  EXPECT_NE(text.find("BmpData bitmap 2 1 ffffffff04030201\n"), std::string::npos);
  EXPECT_NE(text.find("  PatVelRng ints 0 127 !size 4\n  PatVelRng ints 1 100\n"), std::string::npos);
  EXPECT_NE(text.find("  TrackGroove block {\n    X int 5\n    TrackGroove hex "), std::string::npos) << text;

  // Every cut of a good stream, and bytes that are no stream at all.
  for (size_t n = 0; n < good.size(); n += 3) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    ASSERT_EQ(RoundTrip(cut), cut) << n;
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> junk(rng() % 64);
    for (auto& b : junk) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 8);
    ASSERT_EQ(RoundTrip(junk), junk) << i;
  }
}

TEST(TextForm, HandEditsGetTheirSizesAndBadTextIsRefusedWithItsLine) {
  const std::string text =
      "# a module\n"
      "CType str \"CArp\"\n"
      "  Id str \"A much longer name than before\"\n"
      "  X int -17\n"
      "  Odd floats 1.5 -2\n"
      "  Nest block {\n"
      "    Tilt short 300\n"
      "  }\n"
      "CEnd\n";
  CMemStream want;
  want.WriteKeyString("CType", "CArp");
  want.WriteKeyString("Id", "A much longer name than before");
  want.WriteKeyInt("X", -17);
  want.WriteKey("Odd", 8);
  want.WriteFloat(1.5f), want.WriteFloat(-2.0f);
  const int64_t at = want.BeginSized("Nest");
  want.WriteKey("Tilt", 2);
  want.WriteShort(300);
  want.EndSized(at);
  want.WriteEnd();
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(BuildRecords(text, bytes, error)) << error;
  EXPECT_EQ(bytes, want.Data());

  const std::pair<const char*, const char*> bad[] = {
      {"X int 1\nY int 99999999999\n", "line 2: bad integer '99999999999'"},
      {"Z short 40000\n", "line 1: bad integer '40000'"},
      {"Id str \"open\n", "line 1: unterminated string"},
      {"Id str plain\n", "line 1: text must be quoted"},
      {"Id str \"a\\q\"\n", "line 1: unknown escape \\q"},
      {"X int 1 2\n", "line 1: unexpected '2'"},
      {"Z blob 1\n", "line 1: unknown kind 'blob'"},
      {"X hex 123\n", "line 1: odd number of hex digits"},
      {"B block {\nX int 1\n", "line 2: block not closed"},
      {"}\n", "line 1: '}' without a block"},
      {"X int 1 !size x\n", "line 1: bad integer 'x'"},
      {"B bitmap 2 2 00000000\n", "line 1: the pixels do not match width and height"},
  };
  for (const auto& [in, message] : bad) {
    EXPECT_FALSE(BuildRecords(in, bytes, error)) << in;
    EXPECT_EQ(error, message);
  }
}

}  // namespace
}  // namespace qr
