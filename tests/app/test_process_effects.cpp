// `quillrow process` through an equaliser and a delay: the file's output is the
// equalised input, one beat divided by each channel's division later.
#include <gtest/gtest.h>

#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "tests/app/AppTestSupport.h"

using namespace qr;
using namespace qr::test;

TEST(QuillrowProcess, EqualiserThenDelayGiveTheEqualisedInputOneDivisionLater) {
  const std::string dir = TempDir();
  auto eq = std::make_unique<CEq>(nullptr);
  eq->SetBand(0, 1000.0f, 6.0f, 1.0f);
  auto delay = std::make_unique<CDelay>(nullptr);
  delay->feedback = 0.0f;  // one echo each, at full level
  std::vector<std::unique_ptr<CComp>> mods;
  mods.push_back(std::move(eq));
  mods.push_back(std::move(delay));
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject(std::move(mods), 120.0f)));
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -e floating-point -b 32 " + dir +
                         "/in.wav synth 1.2 pinknoise pinknoise vol 0.3")
                            .c_str()),
            0);
  const RunResult r =
      RunQuillrowBinary("process " + dir + "/p.qrw " + dir + "/in.wav -o " + dir + "/out.wav --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const auto in = ReadFloatWavData(dir + "/in.wav");
  const auto out = ReadFloatWavData(dir + "/out.wav");
  ASSERT_EQ(out.size(), in.size());

  // The same band over the whole file at once: its result does not depend on
  // where the program cut its blocks.
  const size_t frames = in.size() / 2;
  std::vector<float> l(frames), r2(frames);
  for (size_t i = 0; i < frames; ++i) l[i] = in[2 * i], r2[i] = in[2 * i + 1];
  CEq ref(nullptr);
  ref.SetBand(0, 1000.0f, 6.0f, 1.0f);
  ref.RunStereo(l.data(), r2.data(), static_cast<int>(frames));
  // At 44100 Hz and 120 bpm: division 2 (left) 11025 samples, division 1 (right) 22050.
  const size_t lag[2] = {11025, 22050};
  const std::vector<float>* want[2] = {&l, &r2};
  for (int c = 0; c < 2; ++c) {
    size_t wrong = 0;
    for (size_t i = 0; i < frames; ++i) {
      const float expect = i < lag[c] ? 0.0f : (*want[c])[i - lag[c]];
      wrong += out[2 * i + static_cast<size_t>(c)] != expect;
    }
    EXPECT_EQ(wrong, 0u) << "channel " << c;
  }
}
