#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "tests/support/FuzzSeeds.h"
#include "tests/support/TempDir.h"

namespace qr {
namespace {

class IniTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name = "t.ini") const { return JoinPath(dir_, name); }
  void Put(const std::string& text, const std::string& name = "t.ini") const {
    ASSERT_TRUE(WriteFileAtomically(Path(name), text.data(), text.size()));
    // Small files double as seeds for the INI fuzz target.
    if (text.size() < 4096)
      test::KeepFuzzSeed("ini", std::to_string(std::hash<std::string>{}(text)), {text.begin(), text.end()});
  }
  std::string Get(const std::string& name = "t.ini") const {
    std::vector<uint8_t> b;
    ReadWholeFile(Path(name), b);
    return std::string(b.begin(), b.end());
  }
  test::TempDir tmp_;
  std::string dir_ = tmp_.Path();
};

TEST_F(IniTest, NamesIgnoreLetterCaseAndWritesUpdateInPlace) {
  Put("; comment kept\n[Folders]\r\nMain = /music/main \nskin=\"/skins/\"\n\n[Other]\nMain=x\n");
  CIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("folders", "MAIN", "?"), "/music/main");
  EXPECT_EQ(ini.ReadString("FOLDERS", "Skin", "?"), "/skins/");
  EXPECT_EQ(ini.ReadString("Folders", "missing", "def"), "def");
  EXPECT_EQ(ini.ReadString("nosuch", "Main", "def"), "def");

  ini.WriteString("FOLDERS", "main", "/new");
  ini.WriteString("folders", "Added", "1");
  ini.WriteInteger("Fresh", "n", -12);
  // One section, the existing spelling kept, the new key after the last key of the
  // section, the comment and blank line untouched.
  EXPECT_EQ(Get(),
            "; comment kept\n[Folders]\nMain=/new\nskin=\"/skins/\"\nAdded=1\n\n[Other]\nMain=x\n"
            "[Fresh]\nn=-12\n");
  CIniFile again(Path());
  EXPECT_EQ(again.ReadInteger("fresh", "N", 0), -12);

  // A value cannot smuggle in a line of its own.
  ini.WriteString("Other", "Main", "a\n[Evil]\nx=1");
  EXPECT_EQ(CIniFile(Path()).ReadString("Other", "Main", ""), "a");
  EXPECT_FALSE(CIniFile(Path()).SectionExists("Evil"));
}

TEST_F(IniTest, IntegersHexAndNonNumbers) {
  Put("[n]\nhex=0x10\nHEX=0X1f\nbare=0x\nneg=-7\nall=0xFFFFFFFF\nbig=0x100000000\nword=12abc\n"
      "over=2147483648\nmin=-2147483648\nempty=\nbool=2\n");
  CIniFile ini(Path());
  EXPECT_EQ(ini.ReadInteger("n", "hex", 5), 16);
  EXPECT_EQ(ini.ReadInteger("N", "hex", 5), 16);  // first key of a repeated name wins
  EXPECT_EQ(ini.ReadInteger("n", "bare", 5), 5);
  EXPECT_EQ(ini.ReadInteger("n", "neg", 5), -7);
  EXPECT_EQ(ini.ReadInteger("n", "all", 5), -1);
  EXPECT_EQ(ini.ReadInteger("n", "big", 5), 5);
  EXPECT_EQ(ini.ReadInteger("n", "word", 5), 5);
  EXPECT_EQ(ini.ReadInteger("n", "over", 5), 5);
  EXPECT_EQ(ini.ReadInteger("n", "min", 5), INT32_MIN);
  EXPECT_EQ(ini.ReadInteger("n", "empty", 5), 5);
  EXPECT_EQ(ini.ReadInteger("n", "absent", 5), 5);
  EXPECT_EQ(ParseIniInteger("0X1f", 0), 31);
  EXPECT_TRUE(ini.ReadBool("n", "bool", false));
  EXPECT_TRUE(ini.ReadBool("n", "neg", false));
  EXPECT_TRUE(ini.ReadBool("n", "absent", true));
  EXPECT_FALSE(ini.ReadBool("n", "word", false));
  ini.WriteBool("n", "b", true);
  EXPECT_EQ(CIniFile(Path()).ReadString("n", "b", ""), "1");
}

TEST_F(IniTest, BufferLimits) {
  std::string text = "[long]\nv=" + std::string(2000, 'a') + "\n[keys]\n";
  auto name = [](size_t i) {
    char b[16];
    std::snprintf(b, sizeof b, "k%04zu", i);
    return std::string(b);
  };
  for (size_t i = 0; i < 3000; ++i) text += name(i) + "=v\n";
  Put(text);
  CIniFile ini(Path());
  EXPECT_EQ(ini.ReadString("long", "v", ""), std::string(kIniValueBuffer - 1, 'a'));
  // Five-character names take six bytes each, and the list ends with one more byte.
  const auto names = ini.ReadSection("KEYS");
  ASSERT_EQ(names.size(), (kIniSectionBuffer - 1) / 6);
  EXPECT_EQ(names.front(), "k0000");
  EXPECT_EQ(names.back(), name(names.size() - 1));
  EXPECT_TRUE(ini.ReadSection("absent").empty());
}

TEST_F(IniTest, UpdatesStoreOnceAndRefusalsKeepTheOldFile) {
  Put("[a]\nx=1\n");
  {
    CIniFile ini(Path());
    CIniFile::Update u(ini);
    ini.EraseSection("A");
    ini.WriteString("a", "y", "2");
    EXPECT_EQ(Get(), "[a]\nx=1\n");  // nothing stored yet
    u.Commit();
  }
  EXPECT_EQ(Get(), "[a]\ny=2\n");
  {
    CIniFile ini(Path());
    CIniFile::Update u(ini);
    ini.WriteString("a", "z", "3");
    // abandoned: no Commit
  }
  EXPECT_EQ(Get(), "[a]\ny=2\n");

  // A settings path that is a folder: the write is refused with the file's name.
  ASSERT_TRUE(MakeDirectories(Path("dir.ini")));
  CIniFile bad(Path("dir.ini"));
  try {
    bad.WriteString("s", "k", "v");
    FAIL() << "no error";
  } catch (const IniWriteError& e) {
    EXPECT_NE(std::string(e.what()).find(Path("dir.ini")), std::string::npos);
  }
  EXPECT_EQ(bad.ReadString("s", "k", "none"), "none");  // the object shows the disk again

  // A file too large to read is never replaced.
  const std::string huge(kMaxIniFileBytes + 1, ';');
  Put(huge, "huge.ini");
  CIniFile big(Path("huge.ini"));
  EXPECT_THROW(big.WriteString("x", "k", "v"), IniWriteError);
  EXPECT_EQ(Get("huge.ini").size(), huge.size());
}

}  // namespace
}  // namespace qr
