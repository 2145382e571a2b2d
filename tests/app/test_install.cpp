// `cmake --install` as the README shows it: the program and the plug-ins land
// where they are looked for, and a fresh insert of the installed effect passes
// its track through thanks to the template beside it.
#include <gtest/gtest.h>

#include <filesystem>

#define QR_PLUGIN_DIR QR_BINARY_DIR "/plugins"
#include "tests/app/AppTestSupport.h"
#include "tests/shell/TestHost.h"

using namespace qr::test;
namespace fs = std::filesystem;

namespace {

std::string Find(const std::string& root, const std::string& name) {
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.path().filename() == name) return e.path().string();
  return {};
}

// Audio in and a note in; what comes out after the plug-in has settled.
struct Heard {
  float audio = 0.0f;
  size_t notes = 0;
};

Heard FreshInsert(const std::string& library) {
  TestHost host(library);
  EXPECT_TRUE(host.Loaded()) << host.Error();
  if (!host.Loaded() || !host.Open()) return {};
  host.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  host.Dispatch(vst2::effSetBlockSize, 0, 64);
  host.Dispatch(vst2::effMainsChanged, 0, 1);
  for (int i = 0; i < 50; ++i) host.Dispatch(vst2::effIdle);  // the start project opens at idle
  std::vector<std::vector<float>> in(2, std::vector<float>(64, 0.25f)), out(2, std::vector<float>(64, 1.0f));
  host.SendMidi(3, 0x90, 60, 100);
  host.Process(in, out, 64);
  return {out[0][32], host.midi.size()};
}

}  // namespace

TEST(QuillrowInstall, InstalledEffectPassesItsTrackThroughAndTheBuildTreeOneStaysEmpty) {
  if (!HaveProgram("cmake")) GTEST_SKIP() << "cmake is not installed";
  const std::string dir = TempDir();
  const std::string cmd = "DESTDIR=" + dir + "/root cmake --install " + std::string(QR_BINARY_DIR) + " > " +
                          dir + "/install.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << Slurp(dir + "/install.txt");
  const std::string effect = Find(dir + "/root", "quillrow.so");
  ASSERT_FALSE(effect.empty()) << Slurp(dir + "/install.txt");
  EXPECT_EQ(fs::path(effect).parent_path().filename(), ".vst");
  EXPECT_FALSE(Find(dir + "/root", "quillrow-instrument.so").empty());
  EXPECT_TRUE(qr::FileExists(fs::path(effect).parent_path().string() + "/default.qrw"));
  const std::string program = Find(dir + "/root", "quillrow");
  ASSERT_FALSE(program.empty());
  EXPECT_EQ(fs::path(program).parent_path().filename(), "bin");
  EXPECT_EQ(std::system((program + " --version > /dev/null").c_str()), 0);

  const Heard installed = FreshInsert(effect);
  EXPECT_EQ(installed.audio, 0.25f);
  EXPECT_EQ(installed.notes, 1u);
  // Without the template a new project is the empty one: nothing cabled, silence.
  const Heard bare = FreshInsert(std::string(QR_PLUGIN_DIR) + "/quillrow.so");
  EXPECT_EQ(bare.audio, 0.0f);
  EXPECT_EQ(bare.notes, 0u);
}
