// Sharing the voices with a second core changes nothing in the output: the
// same bits whichever thread rendered which half, at any block size, both as a
// module under the allocation guard and as `quillrow render --cores 2`.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <span>
#include <thread>
#include <tuple>

#include "graph/WorkerPool.h"
#include "tests/app/AppTestSupport.h"
#include "tests/sampler/SamplerRig.h"

using namespace qr;
using namespace qr::test;

namespace {

// One worker thread that spins between phases, so that handing work over
// needs neither a lock nor an allocation inside the guarded blocks.
class SpinningPool final : public IWorkerPool {
 public:
  SpinningPool() : thread_([this] { Run(); }) {}
  ~SpinningPool() override {
    stop_.store(true);
    thread_.join();
  }
  int RunPhase(std::span<CComp* const> modules, int frames) noexcept override {
    int sent = 0;
    for (CComp* m : modules) {
      if (m->blockCore != 1 || !m->HasBuffers()) continue;
      m->onWorker = 1;
      m->ClearWorkerFinished();
      m->Process(frames);
      ++sent;
    }
    if (sent) {
      modules_ = modules;
      frames_ = frames;
      go_.store(true, std::memory_order_release);
    }
    return sent;
  }
  void WaitForPhase(std::span<CComp* const> modules) noexcept override {
    for (CComp* m : modules) m->WaitForWorker();
    while (go_.load(std::memory_order_acquire)) std::this_thread::yield();
  }
  int Count() const noexcept override { return 2; }
  std::atomic<int> ran{0};
  std::atomic<bool> elsewhere{false};

 private:
  void Run() {
    while (!stop_.load()) {
      if (!go_.load(std::memory_order_acquire)) {
        std::this_thread::yield();
        continue;
      }
      for (CComp* m : modules_)
        if (m->onWorker && m->blockCore == 1) {
          m->ProcessOnCore(frames_);
          ran.fetch_add(1);
          m->SetWorkerFinished();
        }
      go_.store(false, std::memory_order_release);
    }
  }
  std::span<CComp* const> modules_;
  int frames_ = 0;
  std::atomic<bool> go_{false}, stop_{false};
  std::thread thread_;
};

// A busy two seconds: mono and stereo loops, a steady and a moving filter,
// three-voice unison, and four dozen overlapping notes.
std::vector<float> Render(int block, float rate, SpinningPool* pool) {
  SamplerRig r(block, rate);
  if (pool) {
    r.root->workers = pool;
    r.s->core = 1;
  }
  const int mono =
      r.s->AddSample(MakeSample(30000, 44100.0f, [](int i) { return 0.4 * std::sin(i * 0.031); }));
  auto stereo = std::make_unique<CSample>();
  stereo->Allocate(20000, 16, 2);
  auto* d = reinterpret_cast<int16_t*>(stereo->FrameData());
  for (int i = 0; i < 20000; ++i) {
    d[2 * (i + 1)] = static_cast<int16_t>(9000.0 * std::sin(i * 0.017));
    d[2 * (i + 1) + 1] = static_cast<int16_t>(9000.0 * std::sin(i * 0.023));
  }
  stereo->rate = 44100.0f;
  stereo->end = 20000;
  stereo->open = 1;
  const int st = r.s->AddSample(std::move(stereo));
  CSound* low = r.s->NewSound("low");
  CSound* high = r.s->NewSound("high");
  r.s->BeginEdit();
  low->mapping = {0, 63, 0, 127};
  high->mapping = {64, 127, 0, 127};
  CClip* a = PlainClip(*r.s, *low, mono);
  a->loop = CClip::kLoopForward;
  a->loopStart = 5000;
  a->filterMode = CClip::kFilterLowBand;
  a->cutoff = 0.4f;
  a->q = 0.5f;
  a->unisonVoices = 3;
  a->volEnv.v[8] = 0.3f;
  CClip* b = PlainClip(*r.s, *high, st);
  b->loop = CClip::kLoopAlternate;
  b->loopStart = 3000;
  b->filterMode = CClip::kFilterLowBand;
  b->cutoff = 0.6f;
  b->routings.push_back(CMod{ModSourceKind::kVelocity, 0, kDestCutoff, 0.5f, 0.5f});
  r.s->EndEdit();
  std::vector<std::pair<int64_t, uint32_t>> ev;
  for (int n = 0; n < 48; ++n) {
    const int64_t at = static_cast<int64_t>(n * 0.03 * rate) + n % 5;
    ev.push_back({at, On(30 + 2 * n, 60 + n)});
    ev.push_back({at + static_cast<int64_t>(1.2 * rate), Off(30 + 2 * n)});
  }
  std::sort(ev.begin(), ev.end());
  r.Render(static_cast<int64_t>(3.0 * rate), ev);
  std::vector<float> out = r.left;
  out.insert(out.end(), r.right.begin(), r.right.end());
  r.root->workers = nullptr;
  return out;
}

}  // namespace

class SamplerVoiceCores : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(SamplerVoiceCores, TwoCoresGiveTheBitsOfOne) {
  const auto [block, rate] = GetParam();
  const std::vector<float> one = Render(block, rate, nullptr);
  SpinningPool pool;
  const std::vector<float> two = Render(block, rate, &pool);
  ASSERT_EQ(one.size(), two.size());
  for (size_t i = 0; i < one.size(); ++i) ASSERT_EQ(one[i], two[i]) << "value " << i;
  float peak = 0.0f;
  for (float x : one) peak = std::max(peak, std::fabs(x));
  EXPECT_GT(peak, 0.1f);
  // Blocks too short for a wake-up to pay stay on the calling thread.
  if (block >= 64)
    EXPECT_GT(pool.ran.load(), 0);
  else
    EXPECT_EQ(pool.ran.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, SamplerVoiceCores,
                         ::testing::Combine(::testing::Values(1, 7, 64, 4096),
                                            ::testing::Values(44100.0f, 48000.0f)));

TEST(SamplerVoiceCores, RenderWithTwoCoresWritesTheSameFile) {
  const std::string bank = "/usr/share/sounds/sf2/TimGM6mb.sf2";
  if (!std::ifstream(bank)) GTEST_SKIP() << bank << " is not installed";
  // Sixteen-note chords on three channels, half a second apart.
  std::vector<uint8_t> t;
  auto ev = [&](uint8_t delta, std::initializer_list<uint8_t> bytes) {
    t.push_back(delta);
    for (uint8_t b : bytes) t.push_back(b);
  };
  for (int c = 0; c < 3; ++c) ev(0, {static_cast<uint8_t>(0xC0 | c), static_cast<uint8_t>(c * 20)});
  for (int chord = 0; chord < 4; ++chord) {
    for (int k = 0; k < 16; ++k)
      ev(k == 0 ? 120 : 0,
         {static_cast<uint8_t>(0x90 | (k % 3)), static_cast<uint8_t>(40 + chord + 2 * k), 90});
    for (int k = 0; k < 16; ++k)
      ev(k == 0 ? 120 : 0,
         {static_cast<uint8_t>(0x80 | (k % 3)), static_cast<uint8_t>(40 + chord + 2 * k), 0});
  }
  ev(0, {0xFF, 0x2F, 0x00});
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k'};
  const uint32_t n = static_cast<uint32_t>(t.size());
  for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(n >> s));
  f.insert(f.end(), t.begin(), t.end());
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/chords.mid", f));
  auto render = [&](const std::string& cores, const std::string& out) {
    return RunQuillrowBinary("render " + dir + "/chords.mid --soundfont " + bank + " -o " + dir + "/" + out +
                                 " --quiet --cores " + cores,
                             dir);
  };
  ASSERT_EQ(render("1", "one.wav").code, 0);
  ASSERT_EQ(render("2", "two.wav").code, 0);
  auto bytes = [&](const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  };
  const auto one = bytes("one.wav");
  EXPECT_GT(one.size(), 44100u * 8u);
  EXPECT_TRUE(one == bytes("two.wav"));
  const RunResult bad = render("3", "three.wav");
  EXPECT_NE(bad.code, 0);
  EXPECT_NE(bad.err.find("--cores"), std::string::npos) << bad.err;
}
