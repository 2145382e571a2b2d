// The byte layout of the record stream and how readers survive hostile input.
#include <gtest/gtest.h>

#include <cstring>

#include "graph/Container.h"
#include "stream/RecordStream.h"

using namespace qr;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> b) {
  std::vector<uint8_t> v;
  for (int x : b) v.push_back(static_cast<uint8_t>(x));
  return v;
}
}  // namespace

TEST(RecordStream, EmptyStringIsLengthZeroWithSizeFour) {
  CMemStream s;
  s.WriteKeyString("Id", "");
  EXPECT_EQ(s.Data(), Bytes({2, 0, 0, 0, 'I', 'd', 4, 0, 0, 0, 0, 0, 0, 0}));
  s.Rewind();
  std::string key;
  int32_t size = -1;
  ASSERT_TRUE(s.NextRecord(key, size));
  EXPECT_EQ(key, "Id");
  EXPECT_EQ(size, 4);
  EXPECT_EQ(s.ReadString(), "");
  EXPECT_TRUE(s.AtEnd());
}

TEST(RecordStream, NestedBlockSizeIsPatchedAfterWriting) {
  CMemStream s;
  const int64_t at = s.BeginSized("Inner");
  s.WriteKeyInt("A", 1);
  s.WriteEnd();
  s.EndSized(at);
  s.WriteKeyInt("B", 2);
  s.Rewind();
  std::string key;
  int32_t size = 0;
  ASSERT_TRUE(s.NextRecord(key, size));
  EXPECT_EQ(size, 13 + 12);  // "A" record plus "CEnd"
  ASSERT_TRUE(s.Skip(size));
  ASSERT_TRUE(s.NextRecord(key, size));
  EXPECT_EQ(key, "B");
}

TEST(RecordStream, ModuleLoaderSkipsUnknownRecordsAndKeepsDefaults) {
  CMemStream s;
  s.WriteKeyString("Id", "seq");
  s.WriteKey("SomethingNew", 1000);
  for (int i = 0; i < 250; ++i) s.WriteInt(0x58585858);  // looks like keys if misread
  s.WriteKeyInt("X", 77);
  s.WriteEnd();
  s.WriteKeyInt("After", 5);
  s.Rewind();
  CComp m(nullptr);
  m.Load(s, 0);
  EXPECT_EQ(m.id, "seq");
  EXPECT_EQ(m.x, 77);
  EXPECT_EQ(m.y, 0);
  EXPECT_EQ(m.enabled, 1);
  std::string key;
  int32_t size = 0;
  ASSERT_TRUE(s.NextRecord(key, size));  // the stream stands just after "CEnd"
  EXPECT_EQ(key, "After");

  CMemStream only_end;
  only_end.WriteEnd();
  only_end.Rewind();
  CComp d(nullptr);
  d.Load(only_end, 0);
  EXPECT_EQ(d.id, "");
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.enabled, 1);
}

TEST(RecordStream, HostileHeadersEndTheBlockWithoutAllocating) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"negative key length", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'X', 4, 0, 0, 0})},
      {"huge key length", Bytes({0x00, 0x00, 0x00, 0x7F, 'X', 4, 0, 0, 0})},
      {"negative size", Bytes({1, 0, 0, 0, 'X', 0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})},
      {"size beyond the end", Bytes({1, 0, 0, 0, 'Q', 0, 0, 0, 0x40, 1, 2, 3, 4})},
      {"truncated value", Bytes({1, 0, 0, 0, 'X', 4, 0, 0, 0, 16})},
      {"truncated header", Bytes({1, 0, 0})},
      {"string longer than the stream",
       Bytes({2, 0, 0, 0, 'I', 'd', 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F, 'a', 'b', 'c', 'd'})},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    CMemStream s(c.bytes);
    CGroup g(nullptr);
    g.Load(s, 0);  // must return; the group still gets its default stereo input
    EXPECT_EQ(g.audioIns.size(), 1u) << c.what;
    EXPECT_TRUE(g.id == "group" || g.id.empty()) << c.what;  // nothing of the bad record was taken
    EXPECT_TRUE(s.AtEnd()) << c.what;
  }
}

TEST(RecordStream, BaseRecordsComeFirstInOrder) {
  CComp m(nullptr);
  m.attribs.Clear();
  m.id = "abc";
  m.x = 3;
  m.y = 4;
  CMemStream s;
  m.Save(s);
  CMemStream want;
  want.WriteKeyString("Id", "abc");
  want.WriteKeyInt("X", 3);
  want.WriteKeyInt("Y", 4);
  want.WriteKeyInt("Enabled", 1);
  EXPECT_EQ(s.Data(), want.Data());

  // An attribute record carries both strings: size = lengths + 8.
  m.attribs.SetInt("MixerStyle", 1);
  CMemStream t;
  m.Save(t);
  const size_t base = want.Data().size();
  ASSERT_GT(t.Data().size(), base);
  int32_t size = 0;
  std::memcpy(&size, t.Data().data() + base + 4 + 5, 4);
  EXPECT_EQ(size, static_cast<int32_t>(std::string("MixerStyle").size() + 1 + 8));
}

// Short records leave in one write and headers are read in one look; both must
// give the same bytes and the same limits whatever the key's length: around the
// one-write size (128 bytes: a 112-byte key with a string of four letters, a
// 116-byte key with an integer) and the longest key a reader takes.
TEST(RecordStream, KeysOfEveryLengthWriteTheLayoutAndReadBackUpToTheLimit) {
  for (const size_t len : {size_t{0}, size_t{1}, size_t{112}, size_t{113}, size_t{116}, size_t{117},
                           size_t{120}, size_t{121}, size_t{255}, size_t{256}, size_t{257}}) {
    const std::string key(len, 'k');
    const std::string text = "abcd";
    CMemStream s;
    s.WriteKeyInt(key, -7);
    s.WriteKeyString(key, text);
    s.WriteKeyFloat(key, 0.5f);
    s.WriteKeyMarker(key);

    // The layout, built here byte by byte.
    std::vector<uint8_t> want;
    auto put32 = [&want](int32_t v) {
      for (int i = 0; i < 4; ++i) want.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    };
    auto head = [&](int32_t size) {
      put32(static_cast<int32_t>(len));
      want.insert(want.end(), key.begin(), key.end());
      put32(size);
    };
    head(4);
    put32(-7);
    head(8);
    put32(4);
    want.insert(want.end(), text.begin(), text.end());
    head(4);
    put32(0x3F000000);
    head(0);
    ASSERT_EQ(s.Data(), want) << len;

    s.Rewind();
    std::string got;
    int32_t size = -1;
    if (len > static_cast<size_t>(kMaxKeyLength)) {
      EXPECT_FALSE(s.NextRecord(got, size)) << len;
      EXPECT_TRUE(s.Failed()) << len;
      continue;
    }
    ASSERT_TRUE(s.NextRecord(got, size)) << len;
    EXPECT_EQ(got, key);
    EXPECT_EQ(s.ReadInt(), -7);
    ASSERT_TRUE(s.NextRecord(got, size)) << len;
    EXPECT_EQ(size, 8);
    EXPECT_EQ(s.ReadString(), text);
    ASSERT_TRUE(s.NextRecord(got, size)) << len;
    EXPECT_EQ(s.ReadFloat(), 0.5f);
    ASSERT_TRUE(s.NextRecord(got, size)) << len;
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(s.AtEnd()) << len;
  }
}

TEST(RecordStream, ValueSizeMayFillTheStreamExactlyButNotOneByteMore) {
  for (const int32_t extra : {0, 1}) {
    CMemStream s;
    s.WriteKey("Blob", 6 + extra);
    s.WriteInt(1);
    s.WriteShort(2);
    s.Rewind();
    std::string key;
    int32_t size = 0;
    EXPECT_EQ(s.NextRecord(key, size), extra == 0) << extra;
    EXPECT_EQ(s.Failed(), extra != 0) << extra;
    EXPECT_EQ(key, "Blob");  // a refused record still names itself for the message
    EXPECT_EQ(size, 6 + extra);
  }
}

TEST(RecordStream, WritingOverTheMiddleAndPastTheEndKeepsTheRest) {
  CMemStream s;
  s.WriteInt(0x11111111);
  s.WriteInt(0x22222222);
  ASSERT_TRUE(s.Seek(2));
  s.WriteInt(0x33333333);  // wholly inside what is written
  s.WriteInt(0x44444444);  // half over the old end, half past it
  EXPECT_EQ(s.Data(), Bytes({0x11, 0x11, 0x33, 0x33, 0x33, 0x33, 0x44, 0x44, 0x44, 0x44}));
  EXPECT_EQ(s.Position(), 10);
  s.WriteInt(0x55555555);  // and on at the end
  EXPECT_EQ(s.Data().size(), 14u);
  EXPECT_EQ(s.Data()[13], 0x55);
}
