// WAV files exchanged with sox: files it writes load frame-exact, files we
// write it reads back unchanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/Sample.h"
#include "audio/WavFile.h"
#include "audio/WriteSample.h"
#include "tests/audio/AudioTestUtil.h"

namespace qr::test {
namespace {

bool HaveSox() { return std::system("sox --version >/dev/null 2>&1") == 0; }

#define REQUIRE_SOX() \
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed (bash .ci/setup installs it)"

std::string Output(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// What sox decodes from a file: interleaved 32-bit floats.
std::vector<float> SoxDecode(const TempDir& dir, const std::string& wav) {
  const std::string raw = dir / "decoded.f32";
  EXPECT_EQ(std::system(("sox -V1 '" + wav + "' -t f32 '" + raw + "'").c_str()), 0);
  const auto bytes = ReadFile(raw);
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

TEST(WavInterop, SoxFilesLoadFrameExact) {
  REQUIRE_SOX();
  TempDir dir;
  struct Kind {
    const char* name;
    const char* options;
    int bits;
  };
  const Kind kinds[] = {{"pcm16", "-b 16 -e signed-integer", 16},
                        {"pcm24", "-b 24 -e signed-integer", 24},
                        {"pcm24plain", "-t wavpcm -b 24 -e signed-integer", 24},
                        {"float32", "-b 32 -e floating-point", 32}};
  std::vector<uint8_t> scratch(kStreamScratchBytes);
  for (const Kind& k : kinds) {
    for (int channels : {1, 2}) {
      const std::string wav = dir / (std::string(k.name) + std::to_string(channels) + ".wav");
      // 5000 frames of two tones and noise at 48 kHz, longer than one stream window.
      const std::string gen = "sox -R -n -r 48000 -c " + std::to_string(channels) + " " + k.options + " '" + wav +
                              "' synth 5000s sine 440 sine 1234 whitenoise gain -4";
      ASSERT_EQ(std::system(gen.c_str()), 0) << gen;
      const std::vector<float> ref = SoxDecode(dir, wav);
      ASSERT_EQ(ref.size(), 5000u * channels);

      CSample ram;
      CDiskSample disk;
      ASSERT_TRUE(ram.OpenFile(wav)) << wav << "\n" << DescribeWav(wav);
      ASSERT_TRUE(disk.OpenFile(wav)) << wav;
      for (const CSample* s : {static_cast<CSample*>(&ram), static_cast<CSample*>(&disk)}) {
        EXPECT_EQ(s->frames, 5000);
        EXPECT_EQ(s->bits, k.bits);
        EXPECT_EQ(s->channels, channels);
        EXPECT_EQ(s->rate, 48000.0f);
      }
      std::vector<float> l(5000), r(5000), dl(5000), dr(5000);
      ram.ReadFrames(5000, l.data(), nullptr, 0.0f, 1.0f, 1.0, 1.0, r.data());
      disk.ReadFrames(5000, dl.data(), scratch.data(), 0.0f, 1.0f, 1.0, 1.0, dr.data());
      EXPECT_EQ(l, dl);
      EXPECT_EQ(r, dr);
      int wrong = 0;
      for (size_t i = 0; i < 5000; ++i) {
        wrong += l[i] != ref[i * channels];
        wrong += r[i] != ref[i * channels + (channels - 1)];
      }
      EXPECT_EQ(wrong, 0) << wav;
      const std::string info = DescribeWav(wav);
      EXPECT_NE(info.find("frames: 5000\n"), std::string::npos) << info;
      EXPECT_NE(info.find("rate: 48000 Hz\n"), std::string::npos) << info;
    }
  }
  // Encodings sox can write that we refuse.
  for (const char* opts : {"-b 8 -e unsigned-integer", "-b 32 -e signed-integer", "-e u-law"}) {
    const std::string wav = dir / "refused.wav";
    ASSERT_EQ(std::system(("sox -n -r 8000 -c 1 " + std::string(opts) + " '" + wav + "' synth 100s sine 300").c_str()), 0);
    CSample ram;
    EXPECT_FALSE(ram.OpenFile(wav)) << opts;
    EXPECT_NE(DescribeWav(wav).find("refused: unsupported encoding"), std::string::npos) << DescribeWav(wav);
  }
}

TEST(WavInterop, SoxReadsWhatWeWrite) {
  REQUIRE_SOX();
  TempDir dir;
  const int n = 3000;
  std::vector<float> a(n), b(n);
  for (int i = 0; i < n; ++i) {
    a[static_cast<size_t>(i)] = static_cast<float>((i * 37 % 2001) - 1000) / 1024.0f;  // a few beyond +-1
    b[static_cast<size_t>(i)] = static_cast<float>(i % 512) / 512.0f - 0.5f;
  }
  const float* chans[2] = {a.data(), b.data()};
  for (int bits : {16, 24, 32}) {
    for (int channels : {1, 2}) {
      const std::string wav = dir / std::string("w").append(std::to_string(bits * 10 + channels)).append(".wav");
      {
        CWriteSample w(wav, 44100.4f, bits, channels);
        ASSERT_TRUE(w.IsOpen());
        // Appended in two pieces, so the header has to be rewritten with the total.
        ASSERT_TRUE(w.AppendFloatFrames(chans, 1000));
        const float* rest[2] = {a.data() + 1000, b.data() + 1000};
        ASSERT_TRUE(w.AppendFloatFrames(rest, n - 1000));
      }
      EXPECT_EQ(Output("soxi -r '" + wav + "'"), "44100");
      EXPECT_EQ(Output("soxi -c '" + wav + "'"), std::to_string(channels));
      EXPECT_EQ(Output("soxi -b '" + wav + "'"), std::to_string(bits));
      EXPECT_EQ(Output("soxi -s '" + wav + "'"), std::to_string(n));
      const std::vector<float> got = SoxDecode(dir, wav);
      ASSERT_EQ(got.size(), static_cast<size_t>(n * channels));
      const double quantum = bits == 16 ? 1.0 / 32768 : bits == 24 ? 1.0 / 8388608 : 0.0;
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < channels; ++c) {
          const float want = bits == 32 ? chans[c][i] : ClampUnit(chans[c][i]);
          ASSERT_NEAR(got[static_cast<size_t>(i * channels + c)], want, quantum * 0.5 + 1e-9)
              << bits << "-bit frame " << i;
        }
      // And our own reader agrees with sox.
      CSample back;
      ASSERT_TRUE(back.OpenFile(wav));
      EXPECT_EQ(back.Value(1 + 123, channels - 1), got[static_cast<size_t>(123 * channels + channels - 1)]);
    }
  }
  // A writer that never got a frame leaves the empty header as it was.
  { CWriteSample empty(dir / "empty.wav", 44100.0f, 16, 2); }
  EXPECT_EQ(ReadFile(dir / "empty.wav").size(), 44u);
  CWriteSample nowhere(dir / "no/such/folder.wav", 44100.0f, 16, 2);
  EXPECT_FALSE(nowhere.IsOpen());
}

}  // namespace
}  // namespace qr::test
