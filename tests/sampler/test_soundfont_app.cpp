// `quillrow render SONG.mid --soundfont BANK.sf2` and `quillrow info BANK.sf2`,
// run as a child process the way a user runs them.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "audio/Sample.h"
#include "sampler/SoundFont.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/MessageCapture.h"

using namespace qr;
using namespace qr::test;

namespace {

const std::string kBank = "/usr/share/sounds/sf2/TimGM6mb.sf2";

// One track at 120 bpm (480 ticks a beat): a piano chord on channel 1 from
// 0.5 s to 1.5 s and a snare on channel 10 at 1 s.
std::vector<uint8_t> ShortSong() {
  std::vector<uint8_t> t;
  auto ev = [&](uint32_t delta, std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(delta & 0x7F));
    for (delta >>= 7; delta; delta >>= 7) v.insert(v.begin(), static_cast<uint8_t>(0x80 | (delta & 0x7F)));
    t.insert(t.end(), v.begin(), v.end());
    t.insert(t.end(), bytes);
  };
  ev(0, {0xC0, 0});
  ev(480, {0x90, 60, 100});
  ev(0, {0x90, 64, 100});
  ev(480, {0x99, 38, 110});
  ev(480, {0x80, 60, 0});
  ev(0, {0x80, 64, 0});
  ev(0, {0x89, 38, 0});
  ev(0, {0xFF, 0x2F, 0x00});
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k'};
  const uint32_t n = static_cast<uint32_t>(t.size());
  for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(n >> s));
  f.insert(f.end(), t.begin(), t.end());
  return f;
}

}  // namespace

TEST(SoundFontApp, RendersASongUntilItsLastNoteHasDiedAway) {
  if (!std::ifstream(kBank)) GTEST_SKIP() << kBank << " is not installed";
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/song.mid", ShortSong()));
  const RunResult r = RunQuillrowBinary(
      "render " + dir + "/song.mid --soundfont " + kBank + " -o " + dir + "/out.wav --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  MessageCapture quiet;
  CSample out;
  ASSERT_TRUE(out.OpenFile(dir + "/out.wav"));
  const double lastOff = 1.5;
  ASSERT_GT(out.frames, static_cast<int32_t>(lastOff * 44100));
  ASSERT_LT(out.frames, static_cast<int32_t>((lastOff + 10.0) * 44100));
  auto peak = [&](double from, double to) {
    float p = 0.0f;
    for (int32_t i = static_cast<int32_t>(from * 44100) + 1;
         i <= std::min(out.frames, static_cast<int32_t>(to * 44100)); ++i)
      p = std::max({p, std::fabs(out.Value(i, 0)), std::fabs(out.Value(i, 1))});
    return p;
  };
  EXPECT_EQ(peak(0.0, 0.49), 0.0f);                          // nothing before the first note
  EXPECT_GT(peak(0.5, 1.0), 0.01f);                          // the chord sounds
  EXPECT_GT(peak(lastOff, lastOff + 0.05), 0.0f);            // its release is rendered too
  EXPECT_LT(peak(out.frames / 44100.0 - 0.01, 1e9), 1e-3f);  // and the file ends once it has died away
}

TEST(SoundFontApp, InfoListsThePresetsAndABrokenBankIsRefused) {
  if (!std::ifstream(kBank)) GTEST_SKIP() << kBank << " is not installed";
  const std::string dir = TempDir();
  MessageCapture quiet;
  TSF2 sf;
  ASSERT_TRUE(sf.Open(kBank));
  const RunResult r = RunQuillrowBinary("info " + kBank, dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("presets: " + std::to_string(sf.PresetCount()) + "\n"), std::string::npos);
  char first[64];
  std::snprintf(first, sizeof first, "%03d:%03d  ", sf.presets[0].bank, sf.presets[0].preset);
  EXPECT_NE(r.out.find(first + sf.presets[0].name + "\n"), std::string::npos) << r.out.substr(0, 400);
  size_t lines = 0;
  for (size_t at = r.out.find("\n  "); at != std::string::npos; at = r.out.find("\n  ", at + 1)) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(sf.PresetCount()));

  // The first 4000 bytes of the bank: its lists are promised but cut off.
  std::ifstream in(kBank, std::ios::binary);
  std::vector<uint8_t> head(4000);
  in.read(reinterpret_cast<char*>(head.data()), 4000);
  ASSERT_TRUE(WriteBytes(dir + "/cut.sf2", head));
  const RunResult bad = RunQuillrowBinary("info " + dir + "/cut.sf2", dir);
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.err.find("LIST expected"), std::string::npos) << bad.err;
  const RunResult none = RunQuillrowBinary(
      "render " + dir + "/song.mid --soundfont " + dir + "/cut.sf2 -o " + dir + "/x.wav", dir);
  EXPECT_EQ(none.code, 1);
}
