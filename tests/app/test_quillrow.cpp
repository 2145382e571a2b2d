// The standalone program as a user runs it.
#include <gtest/gtest.h>

#include <cmath>

#include "mixer/Delay.h"
#include "tests/app/AppTestSupport.h"

using namespace qr;
using namespace qr::test;

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
}

TEST(Quillrow, DemoPlaysAPatternThroughTheStudioFromCodeAlone) {
  const std::string dir = TempDir();
  const RunResult r = RunQuillrowBinary("demo -o " + dir + "/demo.wav --project " + dir + "/demo.qrw", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  // The studio it shows: a MIDI part into an audio part, the mixer, the
  // equaliser and the delay, in that order to the output.
  const RunResult info = RunQuillrowBinary("info " + dir + "/demo.qrw", dir);
  ASSERT_EQ(info.code, 0) << info.err;
  for (const char* want :
       {"2  CMPart", "3  CAPart", "4  CMixer", "5  Ceq", "6  CDelay", "1:0 -> 2:0\n  2:0 -> 3:0",
        "6:0 -> 0:0", "3:0 -> 4:0", "4:0 -> 5:0", "5:0 -> 6:0"})
    EXPECT_NE(info.out.find(want), std::string::npos) << want << "\n" << info.out;
  // Sound in every beat of the four bars at 110 bpm, not one phrase and silence.
  const std::string wav = Slurp(dir + "/demo.wav");
  ASSERT_GT(wav.size(), 44u);
  const size_t frames = (wav.size() - 44) / 4;
  const size_t beat = 44100 * 60 / 110;
  EXPECT_EQ(frames, static_cast<size_t>(std::llround(16 * 60.0 / 110.0 * 44100.0)));
  for (size_t b = 0; b + 1 < 16; ++b) {
    double energy = 0;
    for (size_t i = b * beat; i < (b + 1) * beat; ++i) {
      int16_t v;
      std::memcpy(&v, wav.data() + 44 + i * 4, 2);
      energy += static_cast<double>(v) * v;
    }
    EXPECT_GT(std::sqrt(energy / static_cast<double>(beat)), 0.02 * 32768) << "beat " << b;
  }
  // Deterministic: a second run writes the same bytes.
  ASSERT_EQ(RunQuillrowBinary("demo -o " + dir + "/again.wav", dir).code, 0);
  EXPECT_EQ(Slurp(dir + "/demo.wav"), Slurp(dir + "/again.wav"));
}
