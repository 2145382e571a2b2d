// The program's door to hosted plug-ins: `quillrow plugins` lists what the
// folders hold, and `quillrow process` plays a project that hosts one.
#include <gtest/gtest.h>

#include "tests/app/AppTestSupport.h"
#include "vsthost/VST.h"

using namespace qr;
using namespace qr::test;

TEST(QuillrowPlugins, ListsEachPluginAndSaysWhyALibraryIsNone) {
  const std::string dir = TempDir();
  const RunResult r = RunQuillrowBinary(std::string("plugins ") + QR_PROBE_DIR, dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Probe"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" QrPb "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("effect     2 in 2 out  " + std::string(QR_PROBE_DIR) + "/probe.so"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 plug-in\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("noentry.so: This is not a VST plug-in"), std::string::npos) << r.err;
}

TEST(QuillrowPlugins, AProjectHostingAPluginPlaysItsInputThrough) {
  const std::string dir = TempDir();
  auto vst = std::make_unique<CVST>(nullptr);
  vst->SetBlockSize(64);
  ASSERT_TRUE(vst->LoadPlugin(std::string(QR_PROBE_DIR) + "/probe.so"));
  std::vector<std::unique_ptr<CComp>> mods;
  mods.push_back(std::move(vst));
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject(std::move(mods))));
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  ASSERT_EQ(std::system(("sox -n -r 48000 -c 2 -e floating-point -b 32 " + dir +
                         "/in.wav synth 0.5 sine 440 sine 660 vol 0.5")
                            .c_str()),
            0);
  const RunResult r = RunQuillrowBinary(
      "process " + dir + "/p.qrw " + dir + "/in.wav -o " + dir + "/out.wav --rate 48000 --block 100 --quiet",
      dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const auto in = ReadFloatWavData(dir + "/in.wav");
  const auto out = ReadFloatWavData(dir + "/out.wav");
  ASSERT_EQ(out.size(), in.size());
  EXPECT_EQ(out, in);
}
