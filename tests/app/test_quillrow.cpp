// The standalone program as a user runs it.
#include <gtest/gtest.h>

#include <cmath>

#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "tests/app/AppTestSupport.h"

using namespace qr;
using namespace qr::test;

TEST(Quillrow, BadArgumentsAndBadFilesGiveOneLineAndAnExitCode) {
  const std::string dir = TempDir();
  struct Case {
    std::string args;
    int code;
  };
  WriteBytes(dir + "/garbage.wav", {'R', 'I', 'F', 'F', 1, 2, 3});
  WriteBytes(dir + "/p.qrw", ChainProject({}));
  const Case cases[] = {
      {"", 2},
      {"frobnicate", 2},
      {"process", 2},
      {"process " + dir + "/p.qrw " + dir + "/missing.wav -o " + dir + "/o.wav", 1},
      {"process " + dir + "/p.qrw " + dir + "/garbage.wav -o " + dir + "/o.wav", 1},
      {"render " + dir + "/p.qrw -o " + dir + "/o.wav", 2},
      {"render " + dir + "/p.qrw -o " + dir + "/o.wav --seconds 1 --block 0", 2},
      {"render " + dir + "/p.qrw -o " + dir + "/o.wav --seconds 1 --midi " + dir + "/p.qrw", 1},
      {"render " + dir + "/nothere.qrw -o " + dir + "/o.wav --seconds 1", 1},
      {"info " + dir + "/nothere", 1},
  };
  for (const auto& c : cases) {
    const RunResult r = RunQuillrowBinary(c.args, dir);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << c.args;
    if (c.code == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
    }
  }
  EXPECT_FALSE(FileExists(dir + "/o.wav"));  // a failed run leaves no output behind
}

TEST(Quillrow, ProcessCarriesTheInputThroughTheProjectBitForBit) {
  const std::string dir = TempDir();
  // An equaliser at 0 dB passes its input unchanged.
  std::vector<std::unique_ptr<CComp>> mods;
  mods.push_back(std::make_unique<CEq>(nullptr));
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject(std::move(mods))));
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  ASSERT_EQ(std::system(("sox -n -r 48000 -c 2 -e floating-point -b 32 " + dir +
                         "/in.wav synth 1.3 sine 440 sine 660 vol 0.5")
                            .c_str()),
            0);
  const RunResult r = RunQuillrowBinary(
      "process " + dir + "/p.qrw " + dir + "/in.wav -o " + dir + "/out.wav --block 100 --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const auto in = ReadFloatWavData(dir + "/in.wav");
  const auto out = ReadFloatWavData(dir + "/out.wav");
  ASSERT_EQ(in.size(), 2u * 62400u);
  EXPECT_EQ(in, out);
  // sox reads our file back with the same shape.
  const RunResult s = RunQuillrowBinary("info " + dir + "/out.wav", dir);
  EXPECT_EQ(s.code, 0);
  EXPECT_NE(s.out.find("48000"), std::string::npos) << s.out;
}

TEST(Quillrow, RenderProducesTheRequestedLengthAndInfoDescribesTheProject) {
  const std::string dir = TempDir();
  std::vector<std::unique_ptr<CComp>> mods;
  mods.push_back(std::make_unique<CDelay>(nullptr));
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject(std::move(mods), 90.0f)));
  const RunResult r = RunQuillrowBinary(
      "render " + dir + "/p.qrw -o " + dir + "/out.wav --seconds 0.5 --rate 22050 --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFloatWavData(dir + "/out.wav").size(), 2u * 11025u);

  const RunResult info = RunQuillrowBinary("info " + dir + "/p.qrw", dir);
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("tempo: 90"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("CDelay"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("audio cables: 2"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("1:0 -> 2:0"), std::string::npos) << info.out;

  // The text form round-trips through the program's own commands.
  ASSERT_EQ(RunQuillrowBinary("dump " + dir + "/p.qrw -o " + dir + "/p.txt", dir).code, 0);
  ASSERT_EQ(RunQuillrowBinary("build " + dir + "/p.txt -o " + dir + "/q.qrw", dir).code, 0);
  EXPECT_EQ(Slurp(dir + "/p.qrw"), Slurp(dir + "/q.qrw"));
}

TEST(Quillrow, DemoRendersItsBuiltInProject) {
  const std::string dir = TempDir();
  const RunResult r = RunQuillrowBinary("demo -o " + dir + "/demo.wav", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_GT(Slurp(dir + "/demo.wav").size(), 44u + 6u * 44100u * 4u - 1u);
  // Deterministic: a second run writes the same bytes.
  ASSERT_EQ(RunQuillrowBinary("demo -o " + dir + "/again.wav", dir).code, 0);
  EXPECT_EQ(Slurp(dir + "/demo.wav"), Slurp(dir + "/again.wav"));
}
