// SoundFont 2 banks: the hydra reader on banks built here byte by byte, and
// the two General MIDI banks Debian installs, which no test here wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "sampler/SoundFont.h"
#include "tests/sampler/SamplerRig.h"
#include "tests/support/MessageCapture.h"

using namespace qr;
using namespace qr::test;

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(Bytes& b, int v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}
void PutId(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }
void PutName(Bytes& b, const std::string& n) {
  for (size_t i = 0; i < 20; ++i) b.push_back(i < n.size() ? static_cast<uint8_t>(n[i]) : 0);
}
Bytes Chunk(const char* id, const Bytes& data) {
  Bytes b;
  PutId(b, id);
  Put32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
  return b;
}
Bytes List(const char* type, const std::vector<Bytes>& chunks) {
  Bytes body;
  PutId(body, type);
  for (const Bytes& c : chunks) body.insert(body.end(), c.begin(), c.end());
  return Chunk("LIST", body);
}

// A small bank: one preset holding one instrument whose zones are given.
struct Gen {
  int op, amount;
};
struct SmallBank {
  std::vector<std::vector<Gen>> zones;  // instrument zones; a zone ending in 53 plays a sample
  std::vector<Bytes> info = {Chunk("ifil", {2, 0, 1, 0}), Chunk("INAM", {'b', 'a', 'n', 'k', 0, 0})};
  int sampleType1 = 1;

  Bytes Build() const {
    Bytes pcm;
    for (int i = 0; i < 2000; ++i) Put16(pcm, (i % 100) * 100);
    Bytes phdr, pbag, pmod(10, 0), pgen, inst, ibag, imod(10, 0), igen, shdr;
    PutName(phdr, "Preset");
    Put16(phdr, 5), Put16(phdr, 0), Put16(phdr, 0), Put32(phdr, 0), Put32(phdr, 0), Put32(phdr, 0);
    PutName(phdr, "EOP");
    Put16(phdr, 0), Put16(phdr, 0), Put16(phdr, 1), Put32(phdr, 0), Put32(phdr, 0), Put32(phdr, 0);
    Put16(pbag, 0), Put16(pbag, 0), Put16(pbag, 2), Put16(pbag, 0);
    Put16(pgen, 43), Put16(pgen, 48 | (72 << 8)), Put16(pgen, 41), Put16(pgen, 0);
    Put16(pgen, 0), Put16(pgen, 0);
    PutName(inst, "Inst"), Put16(inst, 0);
    PutName(inst, "EOI"), Put16(inst, static_cast<int>(zones.size()));
    int g = 0;
    for (const auto& z : zones) {
      Put16(ibag, g), Put16(ibag, 0);
      for (const Gen& x : z) Put16(igen, x.op), Put16(igen, x.amount), ++g;
    }
    Put16(ibag, g), Put16(ibag, 0);
    Put16(igen, 0), Put16(igen, 0);
    auto sample = [&](const char* n, int start, int end, int ls, int le, int key, int type) {
      PutName(shdr, n);
      Put32(shdr, start), Put32(shdr, end), Put32(shdr, ls), Put32(shdr, le), Put32(shdr, 22050);
      shdr.push_back(static_cast<uint8_t>(key)), shdr.push_back(0), Put16(shdr, 0), Put16(shdr, type);
    };
    sample("A", 0, 1000, 100, 900, 60, sampleType1);
    sample("B", 1000, 1900, 1100, 1800, 72, 1);
    sample("ROM", 0, 500, 10, 400, 60, 0x8001);
    sample("EOS", 0, 0, 0, 0, 0, 0);
    const Bytes body = [&] {
      Bytes b;
      PutId(b, "sfbk");
      for (const Bytes& l : {List("INFO", info), List("sdta", {Chunk("smpl", pcm)}),
                             List("pdta", {Chunk("phdr", phdr), Chunk("pbag", pbag), Chunk("pmod", pmod),
                                           Chunk("pgen", pgen), Chunk("inst", inst), Chunk("ibag", ibag),
                                           Chunk("imod", imod), Chunk("igen", igen), Chunk("shdr", shdr)})})
        b.insert(b.end(), l.begin(), l.end());
      return b;
    }();
    return Chunk("RIFF", body);
  }
};

bool ParseBytes(TSF2& sf, const Bytes& b) { return sf.Parse(SF2MemoryBytes(b)); }

const CClip& ClipOf(const CSound& s, size_t i) { return static_cast<const CClip&>(*s.children.at(i)); }

}  // namespace

TEST(SoundFont, InfoTextsKeepTheirPaddingRules) {
  SmallBank bank;
  // Five characters fill six bytes; four characters take a pad byte after the terminator.
  bank.info = {Chunk("ifil", {2, 0, 1, 0}), Chunk("INAM", {'a', 'b', 'c', 'd', 'e', 0}),
               Chunk("ISFT", {'w', 'x', 'y', 'z', 0}), Chunk("ICOP", {'o', 'k', 0, 0})};
  MessageCapture msgs;
  TSF2 sf;
  ASSERT_TRUE(ParseBytes(sf, bank.Build()));
  EXPECT_EQ(sf.name, "abcde");
  EXPECT_EQ(sf.software, "wxyz");
  EXPECT_EQ(sf.copyright, "ok");
  EXPECT_EQ(sf.versionMajor, 2);
  EXPECT_EQ(sf.versionMinor, 1);
  EXPECT_EQ(sf.PresetCount(), 1);
  EXPECT_EQ(sf.InstrumentCount(), 1);
  EXPECT_EQ(sf.SampleCount(), 3);
  EXPECT_TRUE(msgs.messages.empty());
}

TEST(SoundFont, InstrumentZonesBecomeClips) {
  SmallBank bank;
  bank.zones = {
      {{17, 100}},                               // global: pan +0.2 for every zone
      {{43, 36 | (60 << 8)}, {54, 0}, {53, 0}},  // keys 36..60, no loop
      {{44, 10 | (100 << 8)}, {51, 2}, {52, -30}, {54, 1}, {3, -5}, {53, 1}},  // loop, tuned
      {{58, 64}, {54, 3}, {2, 4}, {57, 3}, {53, 1}},  // loop with release, own root key, class 3
      {{54, 1}, {53, 2}},                             // a ROM sample: skipped
  };
  MessageCapture msgs;
  TSF2 sf;
  const Bytes bytes = bank.Build();
  if (const char* dir = std::getenv("QR_WRITE_SEEDS"))
    std::ofstream(std::string(dir) + "/small.sf2", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(ParseBytes(sf, bytes));
  CSampler s(nullptr);
  SF2Importer imp(s, sf);
  const CSound* snd = imp.ImportInstrument(0);
  ASSERT_NE(snd, nullptr);
  ASSERT_EQ(snd->children.size(), 3u);
  EXPECT_FLOAT_EQ(snd->volume, 0.2f);
  EXPECT_EQ(snd->exp, 0);
  const CClip& a = ClipOf(*snd, 0);
  EXPECT_EQ(a.mapping, (std::array<int32_t, 4>{36, 60, 0, 127}));
  EXPECT_EQ(a.loop, CClip::kLoopOff);
  EXPECT_EQ(a.right, 1000);
  EXPECT_EQ(a.loopEnd, a.right);
  EXPECT_FLOAT_EQ(a.pan, 0.2f);
  EXPECT_EQ(a.rootKey, 60);
  const CClip& b = ClipOf(*snd, 1);
  EXPECT_EQ(b.mapping, (std::array<int32_t, 4>{0, 127, 10, 100}));
  EXPECT_EQ(b.loop, CClip::kLoopForward);
  EXPECT_EQ(b.loopStart, 1100 - 1000 + 1);
  EXPECT_EQ(b.loopEnd, 1800 - 1000 - 5);
  EXPECT_EQ(b.rootKey, 72 - 2);
  EXPECT_FLOAT_EQ(b.fine, -0.3f);
  const CClip& c = ClipOf(*snd, 2);
  EXPECT_EQ(c.loop, CClip::kLoopForward);
  EXPECT_EQ(c.rootKey, 64);
  EXPECT_EQ(c.loopStart, 1100 - 1000 + 4 + 1);
  EXPECT_EQ(c.exclusiveClass, 3);
  EXPECT_EQ(a.exclusiveClass, 0);
  // Both zones of sample B share one sample; the ROM sample never arrives.
  EXPECT_EQ(s.samples.size(), 2u);
  EXPECT_EQ(s.samples[1]->frames, 900);
  EXPECT_EQ(s.samples[1]->bits, 16);

  // The preset wraps the instrument in a sub-sound mapped to the preset zone's keys.
  const CSound* p = imp.ImportPreset(0);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->children.size(), 1u);
  EXPECT_EQ(p->children[0]->mapping, (std::array<int32_t, 4>{48, 72, 0, 127}));
  EXPECT_EQ(s.samples.size(), 2u);
  EXPECT_TRUE(msgs.messages.empty());
}

TEST(SoundFont, BrokenBanksSayWhatIsWrongAndImportNothing) {
  SmallBank bank;
  bank.zones = {{{53, 0}}};
  const Bytes good = bank.Build();
  auto with = [&](size_t at, const char* id) {
    Bytes b = good;
    std::memcpy(b.data() + at, id, 4);
    return b;
  };
  // The offset of the pdta list's first sub-chunk id in the built bank.
  const auto pdta =
      std::search(good.begin(), good.end(), std::begin("pdta"), std::end("pdta") - 1) - good.begin();
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {with(0, "RIFX"), "Not a RIFF file"},
      {with(8, "sfbx"), "sfbk expected"},
      {with(12, "LIsT"), "LIST expected"},
      {with(static_cast<size_t>(pdta) + 4, "junk"), "Invalid sub-chunk in pdta"},
  };
  for (const auto& [bytes, text] : cases) {
    MessageCapture msgs;
    TSF2 sf;
    EXPECT_FALSE(ParseBytes(sf, bytes));
    EXPECT_EQ(msgs.Texts(), std::vector<std::string>{text});
    EXPECT_EQ(sf.PresetCount(), 0);
  }
  // Cut anywhere, the bank is refused with one of the four texts.
  for (size_t cut = 0; cut < good.size(); ++cut) {
    MessageCapture msgs;
    TSF2 sf;
    ASSERT_FALSE(ParseBytes(sf, Bytes(good.begin(), good.begin() + static_cast<long>(cut))))
        << "cut at " << cut;
    ASSERT_EQ(msgs.messages.size(), 1u);
    CSampler s(nullptr);
    SF2Importer imp(s, sf);
    EXPECT_EQ(imp.ImportPreset(0), nullptr);
    EXPECT_TRUE(s.sounds.empty() && s.samples.empty());
  }
}

// ---- the banks Debian installs

namespace {

struct Declared {
  int presets = -1, instruments = -1, samples = -1;
  int64_t sampleBytes = 0;
};

// The counts a bank declares, read here without the reader under test: the
// size of each hydra chunk over its record size, less the terminal record.
Declared DeclaredCounts(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  Declared d;
  auto u32 = [&](size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
  };
  for (size_t at = 12; at + 12 <= b.size();) {
    const uint32_t size = u32(at + 4);
    if (std::memcmp(&b[at + 8], "pdta", 4) == 0) {
      for (size_t sub = at + 12; sub + 8 <= at + 8 + size;) {
        const uint32_t n = u32(sub + 4);
        if (std::memcmp(&b[sub], "phdr", 4) == 0) d.presets = static_cast<int>(n / 38) - 1;
        if (std::memcmp(&b[sub], "inst", 4) == 0) d.instruments = static_cast<int>(n / 22) - 1;
        if (std::memcmp(&b[sub], "shdr", 4) == 0) d.samples = static_cast<int>(n / 46) - 1;
        sub += 8 + n;
      }
    }
    if (std::memcmp(&b[at + 8], "sdta", 4) == 0) d.sampleBytes = u32(at + 16);
    at += 8 + size;
  }
  return d;
}

class DebianBank : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(DebianBank, EveryPresetImportsWithoutAMessageAndTheCountsMatch) {
  const std::string path = std::string("/usr/share/sounds/sf2/") + GetParam();
  if (!std::ifstream(path)) GTEST_SKIP() << path << " is not installed";
  const Declared d = DeclaredCounts(path);
  MessageCapture msgs;
  TSF2 sf;
  ASSERT_TRUE(sf.Open(path));
  EXPECT_EQ(sf.PresetCount(), d.presets);
  EXPECT_EQ(sf.InstrumentCount(), d.instruments);
  EXPECT_EQ(sf.SampleCount(), d.samples);
  CSampler s(nullptr);
  SF2Importer imp(s, sf);
  ASSERT_TRUE(imp.ImportGeneralMidiBank());
  EXPECT_EQ(static_cast<int>(s.sounds.size()), d.presets);
  size_t clips = 0;
  for (CSource* src : s.SourcesInOrder()) clips += !src->IsSound();
  EXPECT_GT(clips, static_cast<size_t>(d.presets));
  // Samples stay 16-bit: their memory is the bank's sample data, not more.
  int64_t bytes = 0;
  for (const auto& smp : s.samples) bytes += static_cast<int64_t>(smp->data.size());
  EXPECT_LE(bytes, d.sampleBytes + 6 * static_cast<int64_t>(s.samples.size()));
  EXPECT_GT(bytes, d.sampleBytes / 2);
  EXPECT_TRUE(msgs.messages.empty()) << msgs.Texts().front();
}

INSTANTIATE_TEST_SUITE_P(Banks, DebianBank, ::testing::Values("TimGM6mb.sf2", "FluidR3_GM.sf2"));

namespace {

// The period near `guess` Hz by autocorrelation, refined between lags.
double AutocorrelationPitch(const std::vector<float>& x, size_t from, size_t n, double rate, double guess) {
  const double p0 = rate / guess;
  auto ac = [&](int lag) {
    double s = 0;
    for (size_t i = from; i < from + n; ++i) s += static_cast<double>(x[i]) * x[i + static_cast<size_t>(lag)];
    return s;
  };
  int best = 0;
  double bestValue = -1e300;
  for (int lag = static_cast<int>(p0 * 0.97); lag <= static_cast<int>(p0 * 1.03) + 1; ++lag)
    if (const double v = ac(lag); v > bestValue) bestValue = v, best = lag;
  const double a = ac(best - 1), b = ac(best), c = ac(best + 1);
  return rate / (best + 0.5 * (a - c) / (a - 2 * b + c));
}

}  // namespace

TEST(SoundFontSound, ARealBankNoteSitsAtThePitchItsLoopSays) {
  const std::string path = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (!std::ifstream(path)) GTEST_SKIP() << path << " is not installed";
  TSF2 sf;
  ASSERT_TRUE(sf.Open(path));
  for (float rate : {44100.0f, 48000.0f}) {
    SamplerRig r(64, rate);
    SF2Importer imp(*r.s, sf);
    ASSERT_TRUE(imp.ImportGeneralMidiBank());
    // The recorder: one waveform cycle per loop, untuned by its zone.
    r.Render(static_cast<int64_t>(rate), {{0, midi::Make(0xC0, 74, 0)}, {0, On(69, 100)}});
    ASSERT_EQ(r.s->PlayingVoices(), 1);
    const CClip& clip = *r.s->VoiceAt(0).clip;
    const std::string name = r.s->samples[static_cast<size_t>(clip.sample)]->fileName;
    const auto h = std::find_if(sf.sampleHeaders.begin(), sf.sampleHeaders.end(),
                                [&](const TSfSample& s) { return s.name == name; });
    ASSERT_NE(h, sf.sampleHeaders.end());
    ASSERT_EQ(clip.fine, 0.0f);
    ASSERT_EQ(clip.rootKey, h->unityKey);
    const double expected =
        h->rate / static_cast<double>(h->loopEnd - h->loopStart) * std::pow(2.0, (69.0 - h->unityKey) / 12.0);
    const double f = AutocorrelationPitch(r.left, static_cast<size_t>(0.3 * rate),
                                          static_cast<size_t>(0.4 * rate), rate, 440.0);
    EXPECT_NEAR(Cents(f, expected), 0.0, 1.0) << "at " << rate << " Hz";
  }
}

TEST(SoundFontSound, VolumeEnvelopeGeneratorsSetAttackAndRelease) {
  // 34 attack 0.1 s and 38 release 0.2 s in timecents, on a looped zone.
  SmallBank bank;
  const int attack = static_cast<int>(std::lround(1200.0 * std::log2(0.1)));
  const int release = static_cast<int>(std::lround(1200.0 * std::log2(0.2)));
  bank.zones = {{{34, attack}, {38, release}, {54, 1}, {53, 1}}};
  TSF2 sf;
  ASSERT_TRUE(ParseBytes(sf, bank.Build()));
  for (float rate : {44100.0f, 96000.0f}) {
    // The same note twice: as imported, and with its envelope held flat, so
    // their ratio is the envelope alone.
    std::vector<float> out[2];
    for (int flat = 0; flat < 2; ++flat) {
      SamplerRig r(64, rate);
      SF2Importer imp(*r.s, sf);
      CSound* snd = imp.ImportInstrument(0);
      ASSERT_NE(snd, nullptr);
      auto& clip = static_cast<CClip&>(*snd->children[0]);
      if (flat) clip.volEnv = EnvelopeShape::Flat();
      // The flat one is never released: its level stays the reference.
      std::vector<std::pair<int64_t, uint32_t>> notes = {{0, On(72, 127)}};
      if (!flat) notes.push_back({static_cast<int64_t>(0.4 * rate), Off(72)});
      r.Render(static_cast<int64_t>(0.8 * rate), notes);
      out[flat] = r.left;
    }
    std::vector<double> gain;
    for (size_t i = 0; i < out[0].size(); ++i)
      gain.push_back(std::fabs(out[1][i]) > 1e-3f ? out[0][i] / out[1][i] : -1.0);
    const double period = sampler_limits::kControlFrames;
    const auto top =
        std::find_if(gain.begin(), gain.end(), [](double g) { return g >= 0.999; }) - gain.begin();
    // The attack follows the default delay of -12000 timecents (1 ms).
    const double delay = std::exp2(-12000.0 / 1200.0), rise = std::exp2(attack / 1200.0);
    EXPECT_NEAR(static_cast<double>(top), (delay + rise) * rate, period) << "at " << rate << " Hz";
    const size_t off = static_cast<size_t>(0.4 * rate);
    const auto half = std::find_if(gain.begin() + static_cast<long>(off), gain.end(),
                                   [](double g) { return g >= 0.0 && g <= std::pow(10.0, -50.0 / 20.0); }) -
                      gain.begin();
    EXPECT_NEAR(static_cast<double>(half) - static_cast<double>(off),
                0.5 * std::exp2(release / 1200.0) * rate, period)
        << "at " << rate << " Hz";
  }
}
