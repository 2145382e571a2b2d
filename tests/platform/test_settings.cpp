#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Settings.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/TempDir.h"

namespace qr {
namespace {

// Every test gets a settings folder of its own, so running the program by hand
// never touches the user's real settings.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUILLROW_CONFIG_DIR", dir_.c_str(), 1); }
  void Put(const std::string& name, const std::string& text) {
    ASSERT_TRUE(WriteFileAtomically(JoinPath(dir_, name), text.data(), text.size()));
  }
  std::string Get(const std::string& name) {
    std::vector<uint8_t> b;
    ReadWholeFile(JoinPath(dir_, name), b);
    return std::string(b.begin(), b.end());
  }
  test::TempDir tmp_;
  std::string dir_ = tmp_.Path();
  test::MessageCapture sink_;
};

TEST_F(SettingsTest, TypedKeysDefaultsAndClamps) {
  {
    CSettings s;
    EXPECT_EQ(s.Get(keys::kMenuOpaque), 108);
    EXPECT_EQ(s.Get(keys::kAudioClipOpaque), 32);
    EXPECT_TRUE(s.Get(keys::kSavePrompt));
    EXPECT_EQ(s.Get(keys::kRenderRate, 48000), 48000);
    EXPECT_EQ(ReadSkinFile(s, "/opt/quillrow"), "/opt/quillrow/default.gui");
    EXPECT_EQ(ReadArpRandom(s), ArpRandomSettings{});
  }
  Put("Quillrow.ini",
      "[layout]\nmenuopaque=500\naudioClipOpaque=-4\nPartDetail=0x7f\nAALines=x\nSkin=/s/a.gui\n"
      "[Audio]\nRecBitDepth=20\nFreezeBitDepth=24\n[Arp]\nSteps=0x10\nVeloMax=abc\n");
  CSettings s;
  EXPECT_EQ(s.Get(keys::kMenuOpaque), 127);
  EXPECT_EQ(s.Get(keys::kAudioClipOpaque), 0);
  EXPECT_EQ(s.Get(keys::kPartDetail), 127);
  EXPECT_EQ(s.Get(keys::kAALines), 1);
  EXPECT_EQ(s.Get(keys::kRecBitDepth), 16);
  EXPECT_EQ(s.Get(keys::kFreezeBitDepth), 24);
  EXPECT_EQ(ReadSkinFile(s, "/opt/quillrow"), "/s/a.gui");
  ArpRandomSettings arp = ReadArpRandom(s);
  EXPECT_EQ(arp.steps, 16);
  EXPECT_EQ(arp.veloMax, 127);
  arp.octRange = 3;
  WriteArpRandom(s, arp);
  EXPECT_EQ(ReadArpRandom(CSettings{}), arp);
  EXPECT_TRUE(FileExists(JoinPath(dir_, "Quillrow.ini")));
}

TEST_F(SettingsTest, FolderHistoryKeepsOrderAndRewritesTheWholeSection) {
  Put("Quillrow.ini", "[songfolders]\n0=/home/a/Music\n1=/home/a/songs\n2=/x\n");
  CSettings s;
  AddFolderHistory(s, "SongFolders", "/HOME/A/SONGS\\");
  EXPECT_EQ(ReadList(s, "songfolders"), (std::vector<std::string>{"/home/a/Music", "/x", "/HOME/A/SONGS"}));
  AddFolderHistory(s, "songfolders", "/x/");
  AddFolderHistory(s, "songfolders", "/");
  EXPECT_EQ(ReadList(CSettings{}, "songfolders"),
            (std::vector<std::string>{"/home/a/Music", "/HOME/A/SONGS", "/x", "/"}));
  EXPECT_EQ(Get("Quillrow.ini"), "[songfolders]\n0=/home/a/Music\n1=/HOME/A/SONGS\n2=/x\n3=/\n");

  WriteList(s, "VSTFolders", {"/a", "/b", "/c"});
  WriteList(s, "vstfolders", {"/d"});
  EXPECT_EQ(ReadListEntries(CSettings{}, "VSTFolders"),
            (std::vector<std::pair<std::string, std::string>>{{"0", "/d"}}));

  for (int i = 0; i < 20; ++i) AddRecent(s, "/p/song" + std::to_string(i) + ".qrw");
  AddRecent(s, "/p/song10.qrw");
  AddRecent(s, "/p/SONG11.qrw");  // another file on this file system
  const auto recent = ReadList(CSettings{}, "Recent");
  ASSERT_EQ(recent.size(), kMaxRecent);
  EXPECT_EQ(recent.front(), "/p/song5.qrw");
  EXPECT_EQ(recent[recent.size() - 2], "/p/song10.qrw");
  EXPECT_EQ(recent.back(), "/p/SONG11.qrw");

  AddRecentVST(s, "/vst/a.so");
  ClearRecentVST(s);
  EXPECT_FALSE(CSettings{}.SectionExists("RecentVST"));
}

TEST_F(SettingsTest, PluginIniChannels) {
  EXPECT_EQ(PluginIniName("/usr/lib/vst/quillrow-fx.so"), "quillrow-fx.ini");
  PluginChannelConfig c = ReadPluginChannelConfig("/usr/lib/vst/quillrow-fx.so", 0);
  EXPECT_FALSE(c.enabled);
  EXPECT_EQ(c.inputs, 0);
  EXPECT_EQ(c.outputs, 2);

  Put("quillrow-fx.ini", "[vst]\nenable=1\nOutputs=40\nInputs=0x30\n");
  c = ReadPluginChannelConfig("/usr/lib/vst/quillrow-fx.so", 2);
  EXPECT_TRUE(c.enabled);
  EXPECT_EQ(c.outputs, 32);
  EXPECT_EQ(c.inputs, 32);
  using Msg = std::pair<std::string, std::string>;
  EXPECT_EQ(sink_.TitleTexts(),
            (std::vector<Msg>{{"", "Max 32 mono channels"}, {"", "Max 32 mono channels"}}));

  // Exactly at the limit is silent; one below zero is no channel at all.
  sink_.Clear();
  Put("quillrow-fx.ini", "[VST]\nenable=1\nOutputs=32\nInputs=-1\n");
  c = ReadPluginChannelConfig("quillrow-fx.so", 2);
  EXPECT_EQ(c.outputs, 32);
  EXPECT_EQ(c.inputs, 0);
  Put("quillrow-fx.ini", "[VST]\nenable=1\nOutputs=-2147483648\nInputs=33\n");
  c = ReadPluginChannelConfig("quillrow-fx.so", 2);
  EXPECT_EQ(c.outputs, 0);
  EXPECT_EQ(c.inputs, 32);
  EXPECT_EQ(sink_.TitleTexts(), (std::vector<Msg>{{"", "Max 32 mono channels"}}));

  sink_.Clear();
  Put("quillrow-fx.ini", "[VST]\nenable=1\nOutputs=8\n");
  c = ReadPluginChannelConfig("quillrow-fx.so", 6);
  EXPECT_EQ(c.outputs, 8);
  EXPECT_EQ(c.inputs, 6);
  EXPECT_TRUE(sink_.TitleTexts().empty());
}

}  // namespace
}  // namespace qr
