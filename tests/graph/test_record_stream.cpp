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

TEST(RecordStream, IntegerRecordIsThirteenBytes) {
  CMemStream s;
  s.WriteKeyInt("X", 16);
  EXPECT_EQ(s.Data(), Bytes({1, 0, 0, 0, 'X', 4, 0, 0, 0, 16, 0, 0, 0}));
}

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
