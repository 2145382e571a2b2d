// Faults found in the sample store and the audio part module, each pinned
// where a host or a user meets it: a project load, a module's blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "audio/AudioFolder.h"
#include "audio/AudioPart.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "stream/RecordStream.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/Stubs.h"

namespace qr::test {
namespace {

// ---------------------------------------------------------------- embedded samples

std::vector<uint8_t> Records(const std::function<void(CMemStream&)>& write) {
  CMemStream s;
  write(s);
  return s.Data();
}

// The bytes of a project holding one audio part module whose first part plays
// sample 0, with that sample's embedded records replaced by `records`.
std::vector<uint8_t> ProjectEmbedding(const std::vector<uint8_t>& records) {
  auto root = MakeRoot();
  CProject project;
  auto* m = Add<CAudioPart2>(*root);
  m->samples.push_back(FloatSample(4, 1, [](int, int) { return 0.5f; }));
  CLiveAudioPart& p = m->NewPart();
  p.AddLane();
  p.AppendClip(0).last = 1000;
  CMemStream s;
  SaveProject(*root, project, s);
  std::vector<uint8_t> bytes = s.Data();
  const uint8_t key[] = {6, 0, 0, 0, 's', 'a', 'm', 'p', 'l', 'e'};
  const auto at = std::search(bytes.begin(), bytes.end(), std::begin(key), std::end(key));
  if (at == bytes.end()) return {};
  const auto size_at = static_cast<size_t>(at - bytes.begin()) + sizeof key;
  int32_t size = 0;
  std::memcpy(&size, &bytes[size_at], 4);
  const auto value = bytes.begin() + static_cast<std::ptrdiff_t>(size_at + 4);
  bytes.insert(bytes.erase(value, value + size), records.begin(), records.end());
  const auto n = static_cast<int32_t>(records.size());
  std::memcpy(&bytes[size_at], &n, 4);
  return bytes;
}

// A seed of the WAV and sample-record fuzz target (tests/data sits beside fuzz/).
std::string FuzzSeed(const std::string& name) {
  const std::filesystem::path source = std::filesystem::path(QR_TEST_DATA_DIR).parent_path().parent_path();
  return (source / "fuzz" / "corpus" / "wav" / name).string();
}

struct EmbeddedCase {
  const char* what;
  std::vector<uint8_t> records;
  int opens;  // 1: the sample must load with frames, 0: without, -1: either
};

std::vector<EmbeddedCase> EmbeddedCases() {
  const auto frames = [](CMemStream& s, int32_t count, int32_t bytes_per_frame) {
    s.WriteKeyInt("frames", count);
    s.WriteKey("data", count * bytes_per_frame);
    for (int i = 0; i < count * bytes_per_frame; ++i) s.WriteByte(static_cast<uint8_t>(0x40 + i % 7));
  };
  return {
      {"the fuzz finding", ReadFile(FuzzSeed("embedded-sample-peaks-overflow.bin")), -1},
      {"mono frames, then two channels", Records([&](CMemStream& s) {
         frames(s, 300, 2);
         s.WriteKeyInt("chs", 2);
       }),
       0},
      {"mono frames, then 24 bits", Records([&](CMemStream& s) {
         frames(s, 300, 2);
         s.WriteKeyInt("bits", 24);
       }),
       0},
      {"the frame count before the header, the data after it", Records([&](CMemStream& s) {
         s.WriteKeyInt("frames", 300);
         s.WriteKeyInt("bits", 24);
         s.WriteKeyInt("chs", 2);
         s.WriteKey("data", 1800);
         for (int i = 0; i < 1800; ++i) s.WriteByte(1);
       }),
       1},
      {"a header whose size product leaves 64 bits", Records([&](CMemStream& s) {
         s.WriteKeyInt("bits", 32);
         s.WriteKeyInt("chs", 0x7FFFFFFF);
         s.WriteKeyInt("frames", 0x7FFFFFFF);
         s.WriteKeyInt("bits", 0x7FFFFFF8);
         s.WriteKeyInt("frames", 0x7FFFFFFF);
       }),
       0},
      {"a channel count whose frame size leaves 32 bits, and no frames", Records([&](CMemStream& s) {
         s.WriteKeyInt("bits", 16);
         s.WriteKeyInt("chs", 1073741825);
       }),
       0},
      {"the same header repeated keeps the frames", Records([&](CMemStream& s) {
         s.WriteKeyInt("bits", 16);
         s.WriteKeyInt("chs", 2);
         frames(s, 300, 4);
         s.WriteKeyInt("chs", 2);
         s.WriteKeyInt("bits", 16);
       }),
       1},
  };
}

// A song whose embedded sample declares bits or channels that disagree with
// its frames used to make the peak builder, and then the renderer, walk past
// the sample's buffer. Loaded the way a host's chunk is, every such sample
// must come out with a buffer of exactly its header's shape, or none.
TEST(AudioFaults, EmbeddedSamplePeaksOverflow) {
  for (const EmbeddedCase& c : EmbeddedCases()) {
    ASSERT_FALSE(c.records.empty()) << c.what;
    const std::vector<uint8_t> bytes = ProjectEmbedding(c.records);
    ASSERT_FALSE(bytes.empty()) << c.what;
    auto root = MakeRoot();
    CProject project;
    MessageCapture msgs;
    CMemStream in(bytes);
    LoadProject(*root, project, in);
    CAudioPart2* m = nullptr;
    for (auto& child : root->children)
      if (auto* a = dynamic_cast<CAudioPart2*>(child.get())) m = a;
    ASSERT_NE(m, nullptr) << c.what;
    ASSERT_EQ(m->samples.size(), 1u) << c.what;
    const CSample& smp = *m->samples[0];
    if (c.opens >= 0) {
      EXPECT_EQ(smp.open, c.opens) << c.what;
    }
    EXPECT_TRUE(smp.data.empty() || smp.HoldsFramesOfHeader()) << c.what;
    if (smp.open) {
      ASSERT_GE(smp.peaks.size(), 9u) << c.what;
      EXPECT_EQ(smp.peaks[8], smp.channels) << c.what;
    } else {
      EXPECT_EQ(smp.frames, 0) << c.what;
    }
    // It saves as the records it holds (nothing of a size that overflows).
    CMemStream saved;
    smp.SaveRecords(saved);
    // And the part plays it (or nothing) without leaving the buffer.
    PartPlayer p(*root, m, 64);
    p.Run(512, {KeyDown(36)});
    EXPECT_TRUE(p.clean) << c.what;
    if (!smp.open) {
      EXPECT_EQ(p.left, std::vector<float>(512, 0.0f)) << c.what;
    }
  }

  // The older sample form names its frames' layout in the record's key; a
  // later channel or bits record cannot change it under them.
  CMemStream o;
  o.WriteKey("APartSmpData16IntMono", 600);
  for (int i = 0; i < 300; ++i) o.WriteShort(static_cast<int16_t>(100 * i));
  o.WriteKeyInt("APartSmpChs", 2);
  o.WriteKeyInt("APartSmpBits", 24);
  o.WriteEnd();
  o.Rewind();
  auto root = MakeRoot();
  CAudioPart2 m(root.get());
  m.Load(o, 0);
  ASSERT_EQ(m.samples.size(), 1u);
  EXPECT_TRUE(m.samples[0]->HoldsFramesOfHeader());
  EXPECT_EQ(m.samples[0]->channels, 1);
  EXPECT_EQ(m.samples[0]->bits, 16);
}

// ---------------------------------------------------------------- limits filled exactly

// An audio part module's block: one embedded sample of 128 frames of 0.25 (one
// whole peak block) whose "data" record ends exactly at the sample's block
// (size_delta 0), one byte beyond it (-1: the block lost the last byte) or one
// byte before it (+1: a spare byte follows); then an unknown record with a key
// of `key_length` bytes and a part named "after".
std::vector<uint8_t> ModuleBlock(int size_delta, int key_length) {
  CMemStream s;
  std::vector<uint8_t> records = Records([](CMemStream& r) {
    r.WriteKeyInt("bits", 16);
    r.WriteKeyInt("chs", 1);
    r.WriteKeyInt("frames", 128);
    r.WriteKey("data", 256);
    for (int i = 0; i < 128; ++i) r.WriteShort(8192);
  });
  if (size_delta < 0) records.pop_back();
  if (size_delta > 0) records.push_back(0xEE);
  s.WriteKey("sample", static_cast<int32_t>(records.size()));
  s.WriteBytes(records.data(), records.size());
  s.WriteKeyMarker("APartSmp");
  s.WriteKeyInt(std::string(static_cast<size_t>(key_length), 'k'), 7);
  s.WriteKeyMarker("APartPart");
  s.WriteKeyString("APartPartName", "after");
  s.WriteEnd();
  return s.Data();
}

// A "fmt " chunk after "data" restates the layout: 192 bytes of 16-bit
// stereo (48 frames) become 64 frames of 24-bit mono. The frames were counted
// in the first layout and the buffer sized in the second, so reading the data
// ran 42 bytes past the buffer.
TEST(AudioFaults, FormatAfterDataOverflowsTheSampleBuffer) {
  std::vector<uint8_t> b;
  auto put = [&](const char* id, std::vector<uint8_t> body) {
    b.insert(b.end(), id, id + 4);
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
    b.insert(b.end(), body.begin(), body.end());
  };
  auto fmt = [](uint8_t channels, uint8_t bits) {
    return std::vector<uint8_t>{1, 0, channels, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0, 0, bits, 0};
  };
  b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  put("fmt ", fmt(2, 16));
  put("data", std::vector<uint8_t>(192, 0x11));
  put("fmt ", fmt(1, 24));
  const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(riff >> (8 * i));
  TempDir dir;
  const std::string path = dir / "late-fmt.wav";
  ASSERT_TRUE(WriteFileAtomically(path, b));
  CSample s;
  ASSERT_TRUE(s.OpenFile(path));
  EXPECT_EQ(s.channels, 1);
  EXPECT_EQ(s.bits, 24);
  EXPECT_EQ(s.frames, 64);
  EXPECT_TRUE(s.HoldsFramesOfHeader());
  EXPECT_EQ(s.Value(64, 0), s.Value(1, 0));  // the last frame is data, not the guard
}

// A "data" record that ends exactly at its sample's block is read whole and
// one that runs a byte past it is not; either way the module's next records are read in
// step. A key of exactly the longest length is skipped as unknown, one byte
// more ends the block. 128 frames make exactly one peak entry, built from the
// real frames alone (a guard frame in it would pull the minimum to zero).
TEST(AudioFaults, RecordsThatExactlyFillTheirLimit) {
  for (int delta : {-1, 0, 1}) {
    const std::vector<uint8_t> bytes = ModuleBlock(delta, kMaxKeyLength);
    auto root = MakeRoot();
    CAudioPart2 m(root.get());
    CMemStream in(bytes);
    m.Load(in, 0);
    ASSERT_EQ(m.samples.size(), 1u) << delta;
    const CSample& smp = *m.samples[0];
    EXPECT_TRUE(smp.open) << delta;
    EXPECT_EQ(smp.frames, 128) << delta;
    EXPECT_EQ(smp.Value(128, 0), delta < 0 ? 0.0f : 0.25f) << delta;
    ASSERT_EQ(m.parts.size(), 1u) << delta;
    EXPECT_EQ(m.parts[0]->name, "after") << delta;
    EXPECT_EQ(in.Position(), in.Size()) << delta;
    if (delta >= 0) {
      ASSERT_EQ(smp.peaks.size(), 128u / 128 * 2 + 9 + 128);
      EXPECT_EQ(std::vector<uint8_t>(smp.peaks.begin() + 9, smp.peaks.begin() + 13),
                (std::vector<uint8_t>{159, 159, 0, 0}));
    }
  }
  const std::vector<uint8_t> bytes = ModuleBlock(0, kMaxKeyLength + 1);
  auto root = MakeRoot();
  CAudioPart2 m(root.get());
  CMemStream in(bytes);
  m.Load(in, 0);
  EXPECT_EQ(m.samples.size(), 1u);
  EXPECT_TRUE(m.parts.empty());
  EXPECT_TRUE(in.Failed());
}

// ---------------------------------------------------------------- clip bounds

struct ClipCase {
  int32_t first, last;
  int block;
  float rate;
};

void PrintTo(const ClipCase& c, std::ostream* os) {
  *os << "frames " << c.first << ".." << c.last << ", block " << c.block << ", " << c.rate << " Hz";
}

class ClipCutAtTheSampleLoopEnd : public ::testing::TestWithParam<ClipCase> {};

// A file of 1200 frames whose "smpl" chunk loops frames 100..199 leaves the
// sample's end at 200; a clip of it used to stop there. It plays from its own
// first frame to its own last, and only the sample's real frames cut it.
TEST_P(ClipCutAtTheSampleLoopEnd, ClipPlaysToItsOwnLastFrame) {
  const ClipCase c = GetParam();
  constexpr int kFrames = 1200;
  TempDir dir;
  std::vector<uint8_t> pcm;
  for (int i = 1; i <= kFrames; ++i) WavBuilder::Put(pcm, static_cast<int16_t>(1000 + i));
  WriteFile(dir / "loop.wav",
            WavBuilder().Fmt(1, 1, 44100, 16).Chunk("data", pcm).Smpl(1, {{100, 199}}).Bytes());

  auto root = MakeRoot(c.block, c.rate);
  auto* m = Add<CAudioPart2>(*root);
  CSample* smp = m->InsertSample(dir / "loop.wav");
  ASSERT_NE(smp, nullptr);
  ASSERT_EQ(smp->end, 200);
  CLiveAudioPart& part = m->NewPart();
  part.AddLane();
  CAudioClip& clip = part.AppendClip(0);
  clip.first = c.first;
  clip.last = c.last;

  PartPlayer p(*root, m, c.block);
  p.Run(1400, {KeyDown(36)});
  EXPECT_TRUE(p.clean);

  // Output frame j reads source position first + j x step while it stays at
  // or before the clip's last frame, and the sample's last real frame.
  const double step = 44100.0 / c.rate;
  const int32_t last = std::min(c.last, kFrames);
  const int sounding = static_cast<int>(std::floor((last - c.first) / step)) + 1;
  for (int j = 0; j < static_cast<int>(p.left.size()); ++j) {
    if (j >= sounding) {
      ASSERT_EQ(p.left[static_cast<size_t>(j)], 0.0f) << "frame " << j << " after the clip's end";
    } else if (step == 1.0) {
      ASSERT_EQ(p.left[static_cast<size_t>(j)], static_cast<float>(1000 + c.first + j) / 32768.0f)
          << "frame " << j;
    } else {
      ASSERT_GT(p.left[static_cast<size_t>(j)], 0.0f) << "frame " << j << " inside the clip";
    }
  }
}

std::vector<ClipCase> ClipCases() {
  std::vector<ClipCase> out;
  for (int block : {1, 7, 64, 4096})
    for (float rate : {44100.0f, 48000.0f}) {
      out.push_back({1, 1000, block, rate});     // past the loop, short of the sample's end
      out.push_back({150, 1200, block, rate});   // from inside the loop to the last real frame
      out.push_back({1191, 1250, block, rate});  // beyond the sample: cut at its end
    }
  return out;
}

INSTANTIATE_TEST_SUITE_P(BlocksAndRates, ClipCutAtTheSampleLoopEnd, ::testing::ValuesIn(ClipCases()));

// ---------------------------------------------------------------- copy to the audio folder

// Streams a disk sample in its processing, as audio tracks do, and counts the
// frames that did not come out as the file's constant value.
class DiskStreamer final : public CComp {
 public:
  DiskStreamer(CContainer* parent, CDiskSample& s) : CComp(parent), smp(s), scratch(kStreamScratchBytes) {
    AddAudioOut(2);
  }
  void Process(int frames) noexcept override {
    if (!BeginProcess(frames, false)) return;
    std::fill(outCh[0], outCh[0] + frames, -1.0f);
    smp.ReadFrames(frames, outCh[0], scratch.data(), 0.0f, 1.0f, 1.0, phase, outCh[1]);
    for (int i = 0; i < frames; ++i)
      if (outCh[0][i] != 0.25f) wrong.fetch_add(1, std::memory_order_relaxed);
    phase = phase + 2 * frames < smp.frames ? phase + frames : 2.0;
    blocks.fetch_add(1, std::memory_order_relaxed);
    EndProcess(frames);
  }
  CDiskSample& smp;
  std::vector<uint8_t> scratch;
  double phase = 2.0;
  std::atomic<int> wrong{0}, blocks{0};
};

// "Copy to Audio folder" reopened a streamed sample on the user-interface
// thread while the audio thread read it: blocks in between streamed from a
// closed file. The copy is switched in while the streaming module sits out.
TEST(AudioFaults, CopyToAudioFolderSwapsTheFileUnderTheRenderer) {
  TempDir dir;
  std::vector<uint8_t> pcm;
  for (int i = 0; i < 4096; ++i) WavBuilder::Put(pcm, int16_t{8192});
  WriteFile(dir / "pad.wav", WavBuilder().Fmt(1, 1, 44100, 16).Chunk("data", pcm).Bytes());
  const std::string folders[2] = {dir / "a_audio", dir / "b_audio"};
  for (const auto& f : folders) std::filesystem::create_directory(f);

  CDiskSample smp;
  ASSERT_TRUE(smp.OpenFile(dir / "pad.wav"));
  auto root = MakeRoot(64);
  auto* streamer = Add<DiskStreamer>(*root, smp);
  root->ConnectAudio(streamer, 0, 0);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    while (!stop.load(std::memory_order_acquire)) root->Process(64);
  });
  while (streamer->blocks.load() == 0) std::this_thread::yield();
  int copies = 0;
  for (int i = 0; i < 200; ++i) copies += CopyToAudioFolder(smp, folders[i % 2], streamer->busy) ? 1 : 0;
  stop.store(true, std::memory_order_release);
  audio.join();

  EXPECT_EQ(copies, 200);
  EXPECT_EQ(FolderOf(smp.fileName), folders[1]);
  EXPECT_TRUE(smp.open);
  EXPECT_EQ(smp.pathKind, kPathAudioFolder);
  EXPECT_EQ(streamer->wrong.load(), 0) << "of " << streamer->blocks.load() << " blocks";
}

}  // namespace
}  // namespace qr::test
