// The equaliser: measured magnitude response against the analytic biquad
// response, unity at gain 0, band defaults, records and the band limit.
#include <gtest/gtest.h>

#include <array>
#include <complex>

#include "mixer/Eq.h"
#include "stream/RecordStream.h"
#include "tests/mixer/Signals.h"

using namespace qr;
using namespace qr::test;

namespace {

constexpr double kPi = std::numbers::pi;

// |H(e^jw)| in dB of the cookbook band, worked independently in double.
double AnalyticDb(int mode, double f0, double gain, double bw, double f, double rate) {
  const double A = std::pow(10.0, gain / 40.0), w0 = 2 * kPi * f0 / rate, c = std::cos(w0);
  const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2 * bw * w0 / std::sin(w0));
  const double s = 2 * std::sqrt(A) * alpha;
  double b[3], a[3];
  if (mode == CEqBand::kPeaking) {
    b[0] = 1 + alpha * A, b[1] = -2 * c, b[2] = 1 - alpha * A;
    a[0] = 1 + alpha / A, a[1] = -2 * c, a[2] = 1 - alpha / A;
  } else if (mode == CEqBand::kLowShelf) {
    b[0] = A * ((A + 1) - (A - 1) * c + s), b[1] = 2 * A * ((A - 1) - (A + 1) * c);
    b[2] = A * ((A + 1) - (A - 1) * c - s);
    a[0] = (A + 1) + (A - 1) * c + s, a[1] = -2 * ((A - 1) + (A + 1) * c), a[2] = (A + 1) + (A - 1) * c - s;
  } else {
    b[0] = A * ((A + 1) + (A - 1) * c + s), b[1] = -2 * A * ((A - 1) + (A + 1) * c);
    b[2] = A * ((A + 1) + (A - 1) * c - s);
    a[0] = (A + 1) - (A - 1) * c + s, a[1] = 2 * ((A - 1) - (A + 1) * c), a[2] = (A + 1) - (A - 1) * c - s;
  }
  const std::complex<double> z1 = std::polar(1.0, -2 * kPi * f / rate), z2 = z1 * z1;
  return 20 * std::log10(std::abs((b[0] + b[1] * z1 + b[2] * z2) / (a[0] + a[1] * z1 + a[2] * z2)));
}

// Runs a sine of frequency f through the equaliser in 64-sample blocks for one
// second and measures the output level over the last half second (a whole number
// of cycles), in dB relative to the input.
double MeasuredDb(CGroup& root, CEq& eq, FnSource& src, double f, double rate) {
  src.pos = 0;
  src.fn = [f, rate](int, long t) { return static_cast<float>(0.5 * std::sin(2 * kPi * f * t / rate)); };
  for (auto& b : eq.bands)
    for (auto& k : b.ch) k.x1 = k.x2 = k.y1 = k.y2 = 0.0f;
  const int n = static_cast<int>(rate);
  double sc = 0, cc = 0;
  for (int t = 0; t < n; t += 64) {
    RunBlock(root, 64);
    if (t < n / 2) continue;
    for (int i = 0; i < 64; ++i) {
      const double y = eq.outCh[1][i], ph = 2 * kPi * f * (t + i) / rate;
      sc += y * std::sin(ph);
      cc += y * std::cos(ph);
    }
  }
  const double amp = 2.0 / (n / 2) * std::hypot(sc, cc);
  return 20 * std::log10(amp / 0.5);
}

struct EqRig {
  std::unique_ptr<CGroup> root;
  CEq* eq = nullptr;
  FnSource* src = nullptr;
  explicit EqRig(float rate) : root(MakeRoot(64, rate)) {
    eq = Add<CEq>(*root);
    src = Add<FnSource>(*root, [](int, long) { return 0.0f; });
    eq->ConnectAudio(src, 0, 0);
    root->ConnectAudio(eq, 0, 0);
  }
};

}  // namespace

TEST(Eq, MeasuredResponseMatchesTheAnalyticBandWithinAHundredthOfADecibel) {
  const double rate = 48000;
  EqRig r(static_cast<float>(rate));
  const struct {
    int mode;
    float f0, gain, bw;
  } bands[] = {{CEqBand::kPeaking, 1000, 9, 1},
               {CEqBand::kPeaking, 6000, -12, 0.3f},
               {CEqBand::kLowShelf, 300, 6, 1},
               {CEqBand::kHighShelf, 8000, -9, 2}};
  const double freqs[] = {40, 300, 1000, 2500, 6000, 14000, 22000};
  for (const auto& b : bands) {
    r.eq->bands[0].mode = b.mode;
    r.eq->SetBand(0, b.f0, b.gain, b.bw);
    for (double f : freqs) {
      const double want = AnalyticDb(b.mode, b.f0, b.gain, b.bw, f, rate);
      EXPECT_NEAR(MeasuredDb(*r.root, *r.eq, *r.src, f, rate), want, 0.01)
          << "mode " << b.mode << " f0 " << b.f0 << " at " << f << " Hz";
    }
  }
  // The analytic side itself: a peak reaches its gain at its centre, a shelf at its flat end.
  EXPECT_NEAR(AnalyticDb(CEqBand::kPeaking, 1000, 9, 1, 1000, rate), 9.0, 1e-9);
  EXPECT_NEAR(AnalyticDb(CEqBand::kLowShelf, 300, 6, 1, 1e-3, rate), 6.0, 1e-6);
  EXPECT_NEAR(AnalyticDb(CEqBand::kHighShelf, 8000, -9, 2, rate / 2, rate), -9.0, 1e-6);

  // Two bands run in series: their responses add in dB.
  r.eq->AddBand();
  r.eq->bands[1].mode = CEqBand::kLowShelf;
  r.eq->SetBand(1, 300, 6, 1);
  const double both = AnalyticDb(CEqBand::kHighShelf, 8000, -9, 2, 6000, rate) +
                      AnalyticDb(CEqBand::kLowShelf, 300, 6, 1, 6000, rate);
  EXPECT_NEAR(MeasuredDb(*r.root, *r.eq, *r.src, 6000, rate), both, 0.01);
}

TEST(Eq, GainZeroPassesTheSignalAndSilenceClearsTheHistory) {
  EqRig r(44100.0f);
  for (int k = 0; k < 5; ++k) r.eq->AddBand();  // six bands of gain 0, every mode
  r.eq->SetMode(1, CEqBand::kLowShelf);
  r.eq->SetMode(2, CEqBand::kHighShelf);
  uint32_t seed = 1;
  r.src->fn = [&seed](int, long) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
  };
  // Unity up to the rounding of the float coefficients and history.
  for (int b = 0; b < 50; ++b) {
    RunBlock(*r.root, 64);
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < 64; ++i) ASSERT_NEAR(r.eq->outCh[c][i], r.eq->inCh[c][i], 1e-6f);
  }
  r.src->fn = [](int, long) { return 0.0f; };
  for (int b = 0; b < 20; ++b) RunBlock(*r.root, 64);
  for (const auto& band : r.eq->bands)
    for (const auto& k : band.ch) EXPECT_TRUE(k.x1 == 0 && k.x2 == 0 && k.y1 == 0 && k.y2 == 0);

  r.eq->enabled = 0;  // switched off: the input passes untouched
  r.eq->SetBand(0, 1000, 12, 1);
  r.src->fn = [](int, long t) { return static_cast<float>(t % 7) * 0.1f; };
  RunBlock(*r.root, 64);
  EXPECT_EQ(Channel(*r.eq, 0, 64), std::vector<float>(r.eq->inCh[0], r.eq->inCh[0] + 64));
}

TEST(Eq, ModeChangesTakeTheirDefaults) {
  auto root = MakeRoot(64);
  auto* eq = Add<CEq>(*root);
  ASSERT_EQ(eq->BandCount(), 1);
  const CEqBand& b = eq->bands[0];
  eq->SetBand(0, 500, 4, 1);
  eq->SetMode(0, CEqBand::kHighShelf);
  EXPECT_EQ(b.frequency, 10000.0f);
  EXPECT_EQ(b.gain, 0.0f);
  eq->SetMode(0, CEqBand::kLowShelf);
  EXPECT_EQ(b.frequency, 300.0f);
  eq->SetMode(0, CEqBand::kPeaking);
  EXPECT_EQ(b.frequency, 2000.0f);
  eq->DeleteBand(0);  // the last band stays
  EXPECT_EQ(eq->BandCount(), 1);
}

TEST(Eq, RecordsLoadBackAndBandsPastTheLastReplaceIt) {
  auto root = MakeRoot(64);
  auto* eq = Add<CEq>(*root);
  eq->AddBand();
  eq->bands[1].mode = CEqBand::kLowShelf;
  eq->SetBand(1, 150, -3, 0.7f);
  CMemStream s;
  eq->Save(s);
  s.WriteEnd();
  s.Rewind();
  auto* back = Add<CEq>(*root);
  back->Load(s, 0);
  ASSERT_EQ(back->BandCount(), 2);
  EXPECT_EQ(back->bands[1].mode, CEqBand::kLowShelf);
  EXPECT_EQ(back->bands[1].frequency, 150.0f);
  EXPECT_EQ(back->bands[1].gain, -3.0f);
  EXPECT_EQ(back->bands[1].bandwidth, 0.7f);
  EXPECT_EQ(back->bands[1].ch[1].b0, eq->bands[1].ch[1].b0);  // coefficients recomputed

  CMemStream many;
  for (int k = 0; k < 34; ++k) {
    many.WriteKeyMarker("band");
    many.WriteKeyFloat("freq", 100.0f + static_cast<float>(k));
  }
  many.WriteEnd();
  many.Rewind();
  back->Load(many, 0);
  EXPECT_EQ(back->BandCount(), CEq::kMaxBands);
  EXPECT_EQ(back->bands[30].frequency, 130.0f);
  EXPECT_EQ(back->bands[31].frequency, 133.0f);
}

TEST(Eq, AnExactZeroAtABlockEndDoesNotCutTheHistory) {
  EqRig r(44100.0f);
  r.eq->SetBand(0, 200, 6, 1);
  auto signal = [](long t) { return t == 63 ? 0.0f : static_cast<float>(std::sin(0.05 * t)); };
  r.src->fn = [&](int, long t) { return signal(t); };
  std::vector<float> blocks;
  for (int b = 0; b < 4; ++b) {
    RunBlock(*r.root, 64);
    blocks.insert(blocks.end(), r.eq->outCh[0], r.eq->outCh[0] + 64);
  }
  CEq whole(nullptr);
  whole.SetBand(0, 200, 6, 1);
  std::vector<float> x(256), y(256);
  for (long t = 0; t < 256; ++t) x[static_cast<size_t>(t)] = y[static_cast<size_t>(t)] = signal(t);
  whole.RunStereo(x.data(), y.data(), 256);
  EXPECT_EQ(blocks, x);
}

// The paired-lane kernel against a plain loop that runs the direct form one
// band after another over each channel, for band counts that leave every
// remainder of the band grouping and a block cut at an odd sample.
TEST(Eq, BandKernelEqualsAPlainDirectFormLoopBitForBit) {
  for (int count : {1, 2, 3, 5, 9}) {
    CEq eq(nullptr);
    for (int b = 1; b < count; ++b) eq.AddBand();
    for (int b = 0; b < count; ++b) {
      eq.bands[static_cast<size_t>(b)].mode = CEqBand::kPeaking + b % 3;
      eq.SetBand(b, 150.0f * static_cast<float>(b + 1), 4.0f - static_cast<float>(b), 0.5f + 0.2f * b);
    }
    const std::array<CEqBand, CEq::kMaxBands> start = eq.bands;
    std::vector<float> in[2];
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < 77; ++i) in[c].push_back(static_cast<float>(std::sin(0.3 * i + c) * 0.4));
    std::vector<float> l = in[0], r = in[1];
    eq.RunStereo(l.data(), r.data(), 30);
    eq.RunStereo(l.data() + 30, r.data() + 30, 47);

    for (int c = 0; c < 2; ++c) {
      std::vector<float> x = in[c];
      for (int b = 0; b < count; ++b) {
        const CEqBand::Channel& k = start[static_cast<size_t>(b)].ch[static_cast<size_t>(c)];
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (float& s : x) {
          const double y = k.b0 * double{s} + k.b1 * x1 + k.b2 * x2 - k.a1 * y1 - k.a2 * y2;
          x2 = x1, x1 = s, y2 = y1, y1 = y;
          s = static_cast<float>(y);
        }
      }
      EXPECT_EQ(c == 0 ? l : r, x) << count << " bands, channel " << c;
    }
  }
}

// A 12 kHz band of +6 dB at three rates: at 16000 and 22050 Hz it lies at or
// above the Nyquist frequency and must leave the signal bit for bit as it was
// (the band used to be pulled below Nyquist, where it turned into +6 dB over
// the whole spectrum); at 32000 Hz it exists and follows its analytic response.
// A band exactly at Nyquist (16 kHz at 32000 Hz) is the boundary case. After a
// switch from a rate that cannot hold the band to one that can, the band is back.
class EqBandAboveNyquist : public ::testing::TestWithParam<float> {};

TEST_P(EqBandAboveNyquist, LeavesTheSignalUnchangedOnlyWhereItCannotExist) {
  const float rate = GetParam();
  for (int mode : {CEqBand::kPeaking, CEqBand::kLowShelf, CEqBand::kHighShelf}) {
    for (float f0 : {12000.0f, rate / 2}) {
      EqRig r(rate);
      r.eq->bands[0].mode = mode;
      r.eq->SetBand(0, f0, 6.0f, 0.5f);
      const bool exists = f0 < rate / 2;
      if (!exists) {
        r.src->fn = [](int c, long t) { return static_cast<float>((t * 37 + c * 11) % 101) * 0.01f - 0.5f; };
        for (int b = 0; b < 8; ++b) {
          RunBlock(*r.root, 64);
          for (int c = 0; c < 2; ++c)
            ASSERT_EQ(Channel(*r.eq, c, 64), std::vector<float>(r.eq->inCh[c], r.eq->inCh[c] + 64))
                << "mode " << mode << " at " << f0 << " Hz, rate " << rate;
        }
        continue;
      }
      for (double f : {500.0, 12000.0})
        EXPECT_NEAR(MeasuredDb(*r.root, *r.eq, *r.src, f, rate), AnalyticDb(mode, f0, 6, 0.5, f, rate), 0.01)
            << "mode " << mode << " at " << f << " Hz, rate " << rate;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, EqBandAboveNyquist, ::testing::Values(16000.0f, 22050.0f, 32000.0f));

TEST(Eq, BandAboveNyquistReturnsWhenTheRateCanHoldIt) {
  EqRig r(22050.0f);
  r.eq->SetBand(0, 12000.0f, 6.0f, 0.5f);
  r.root->SetSampleRate(48000.0f);
  EXPECT_NEAR(MeasuredDb(*r.root, *r.eq, *r.src, 12000.0, 48000.0), 6.0, 0.01);
}
