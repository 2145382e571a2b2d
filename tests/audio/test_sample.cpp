#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string_view>

#include "audio/AudioFolder.h"
#include "audio/FileBuffers.h"
#include "audio/Sample.h"
#include "audio/WavFile.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"
#include "tests/audio/AudioTestUtil.h"
#include "tests/support/AllocGuard.h"
#include "tests/support/MessageCapture.h"

namespace qr::test {
namespace {

TEST(Sample, LoopPointsComeFromSmplAfterData) {
  TempDir dir;
  const auto pcm = Pcm16(300, 2);
  WriteFile(dir / "after.wav",
            WavBuilder().Fmt(1, 2, 44100, 16).Chunk("data", pcm).Smpl(1, {{100, 199}}).Bytes());
  // Before "data" the loop is overwritten by the defaults; two loops leave the flag clear.
  WriteFile(dir / "before.wav",
            WavBuilder().Fmt(1, 2, 44100, 16).Smpl(1, {{100, 199}}).Chunk("data", pcm).Bytes());
  WriteFile(dir / "two.wav",
            WavBuilder().Fmt(1, 2, 44100, 16).Chunk("data", pcm).Smpl(2, {{10, 20}, {30, 40}}).Bytes());
  // A count far beyond the records held reads only what is there.
  WriteFile(dir / "huge.wav",
            WavBuilder().Fmt(1, 2, 44100, 16).Chunk("data", pcm).Smpl(0x7FFFFFFF, {{5, 50}}).Bytes());

  CSample s;
  ASSERT_TRUE(s.OpenFile(dir / "after.wav"));
  EXPECT_EQ(s.loop, 1);
  EXPECT_EQ(s.loopStart, 101);
  EXPECT_EQ(s.end, 200);
  EXPECT_EQ(s.frames, 300);
  EXPECT_EQ(s.start, 1);

  ASSERT_TRUE(s.OpenFile(dir / "before.wav"));
  EXPECT_EQ(s.loop, 0);
  EXPECT_EQ(s.loopStart, 1);
  EXPECT_EQ(s.end, 300);

  ASSERT_TRUE(s.OpenFile(dir / "two.wav"));
  EXPECT_EQ(s.loop, 0);
  EXPECT_EQ(s.loopStart, 31);
  EXPECT_EQ(s.end, 41);

  ASSERT_TRUE(s.OpenFile(dir / "huge.wav"));
  EXPECT_EQ(s.loop, 0);
  EXPECT_EQ(s.loopStart, 6);
  EXPECT_EQ(s.end, 51);
  EXPECT_NE(DescribeWav(dir / "after.wav").find("loop: 101 to 200"), std::string::npos);
}

TEST(Sample, BadFilesAreRefusedByBothKinds) {
  TempDir dir;
  test::MessageCapture msgs;
  const auto pcm = Pcm16(64, 1);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"8bit", WavBuilder().Fmt(1, 1, 44100, 8).Chunk("data", pcm).Bytes(), "8-bit integer PCM"},
      {"int32", WavBuilder().Fmt(1, 1, 44100, 32).Chunk("data", pcm).Bytes(), "32-bit integer PCM"},
      {"adpcm", WavBuilder().Fmt(2, 1, 44100, 4).Chunk("data", pcm).Bytes(), "format tag 2"},
      {"nodata", WavBuilder().Fmt(1, 1, 44100, 16).Chunk("LIST", {1, 2, 3, 4}).Bytes(), "no \"data\""},
      {"datafirst", WavBuilder().Chunk("data", pcm).Fmt(1, 1, 44100, 16).Bytes(), "before \"fmt \""},
      {"nochannels", WavBuilder().Fmt(1, 0, 44100, 16).Chunk("data", pcm).Bytes(), "no channels"},
      {"shortfmt", WavBuilder().Chunk("fmt ", {1, 0, 1, 0}).Chunk("data", pcm).Bytes(), "too short"},
      {"zerosize", WavBuilder().Fmt(1, 1, 44100, 16).Chunk("JUNK", {}, 0).Chunk("data", pcm).Bytes(),
       "no \"data\""},
      {"truncated", {'R', 'I', 'F', 'F', 0, 0}, "too short"},
      {"form", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}, "not a WAVE"},
  };
  for (const Case& c : cases) {
    const std::string path = dir / (std::string(c.name) + ".wav");
    WriteFile(path, c.bytes);
    CSample ram;
    CDiskSample disk;
    EXPECT_FALSE(ram.OpenFile(path)) << c.name;
    EXPECT_FALSE(disk.OpenFile(path)) << c.name;
    EXPECT_FALSE(ram.open || disk.open) << c.name;
    EXPECT_NE(DescribeWav(path).find(c.reason), std::string::npos) << c.name << ": " << DescribeWav(path);
  }
  CDiskSample eight;
  EXPECT_FALSE(eight.OpenFile(dir / "8bit.wav"));
  EXPECT_EQ(NotValidFormatText(eight), "This is not a valid sample format 8-bit 44100Hz format 1");
  // Only the disk kind names a file that is not RIFF at all.
  WriteFile(dir / "text.wav", {'h', 'e', 'l', 'l', 'o', '!'});
  msgs.Clear();
  CDiskSample disk;
  EXPECT_FALSE(disk.OpenFile(dir / "text.wav"));
  ASSERT_EQ(msgs.Joined().size(), 1u);
  EXPECT_EQ(msgs.Joined()[0], std::string("|not riff ").append(dir / "text.wav").append("\nhell\n6"));
  CSample ram;
  EXPECT_FALSE(ram.OpenFile(dir / "missing.wav"));
  EXPECT_EQ(msgs.Joined().back(), std::string("|").append(dir / "missing.wav").append(" not found"));
}

TEST(Sample, AbsurdDataSizeGivesTheFramesPresent) {
  TempDir dir;
  const auto pcm = Pcm16(100, 2);
  WriteFile(dir / "big.wav", WavBuilder().Fmt(1, 2, 44100, 16).Chunk("data", pcm, 0x7FFFFFF0).Bytes());
  CSample ram;
  CDiskSample disk;
  ASSERT_TRUE(ram.OpenFile(dir / "big.wav"));
  ASSERT_TRUE(disk.OpenFile(dir / "big.wav"));
  EXPECT_EQ(ram.frames, 100);
  EXPECT_EQ(disk.frames, 100);
  EXPECT_EQ(ram.data.size(), 103u * 4u);
}

TEST(Sample, PeakBlockCoversEveryStartedBlock) {
  TempDir dir;
  // 129 frames: a full block of 128 and one more. Extremes +1, -1 and 0.
  std::vector<uint8_t> f;
  for (int i = 0; i < 129; ++i) {
    WavBuilder::Put(f, i == 5 ? 1.0f : i == 9 ? -1.0f : 0.25f);
    WavBuilder::Put(f, 0.0f);
  }
  WriteFile(dir / "p.wav", WavBuilder().Fmt(3, 2, 48000, 32).Chunk("data", f).Bytes());
  CSample ram;
  CDiskSample disk;
  ASSERT_TRUE(ram.OpenFile(dir / "p.wav"));
  ASSERT_TRUE(disk.OpenFile(dir / "p.wav"));
  for (const CSample* s : {static_cast<CSample*>(&ram), static_cast<CSample*>(&disk)}) {
    const auto& p = s->peaks;
    ASSERT_EQ(p.size(), 1u * 2 * 2 + 9 + 128);
    EXPECT_EQ(std::string(p.begin(), p.begin() + 4), "peak");
    EXPECT_EQ(p[8], 2);
    // Entry 0: left min -1 -> 0, max +1 -> 254; right 0 -> 127. Entry 1: 0.25 -> 159.
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + 9, p.begin() + 17),
              (std::vector<uint8_t>{0, 254, 127, 127, 159, 159, 127, 127}));
  }
}

// The disk kind renders frame by frame; the RAM kind renders 16-bit stereo
// runs four frames at a time, so this also holds the two code paths together.
TEST(Sample, RamAndDiskRenderTheSameAcrossWindowRefills) {
  TempDir dir;
  WriteFile(dir / "s16.wav", WavBuilder().Fmt(1, 2, 44100, 16).Chunk("data", Pcm16(10000, 2, 7)).Bytes());
  auto p24 = Pcm16(13502, 1, 3);
  p24.resize(9001 * 3);
  WriteFile(dir / "s24.wav", WavBuilder().Fmt(1, 1, 44100, 24).Chunk("data", p24).Bytes());

  std::vector<uint8_t> scratch(kStreamScratchBytes);
  for (const char* name : {"s16.wav", "s24.wav"}) {
    CSample ram;
    CDiskSample disk;
    ASSERT_TRUE(ram.OpenFile(dir / name));
    ASSERT_TRUE(disk.OpenFile(dir / name));
    for (double step : {1.0, 0.7317, 1.9}) {
      // Runs of several lengths from several phases up to the last frame; the
      // longest runs pass the end of a 4096-frame window.
      for (int run : {1, 64, 3000, 6000}) {
        double phase = 1.37;
        std::vector<float> rl(run), rr(run), dl(run), dr(run);
        int calls = 0;
        while (phase + (run - 1) * step <= ram.end && calls++ < 200) {
          {
            AllocGuard g;
            ram.ReadFrames(run, rl.data(), nullptr, 0.0f, 1.0f, step, phase, rr.data());
            disk.ReadFrames(run, dl.data(), scratch.data(), 0.0f, 1.0f, step, phase, dr.data());
            EXPECT_TRUE(g.Clean()) << g.Report();
          }
          ASSERT_EQ(rl, dl) << name << " step " << step << " phase " << phase;
          ASSERT_EQ(rr, dr) << name << " step " << step << " phase " << phase;
          phase += run * step * 1.5;
        }
      }
    }
    // At the very end the guard frames of one match the zeros of the other.
    std::vector<float> rl(3), rr(3), dl(3), dr(3);
    ram.ReadFrames(3, rl.data(), nullptr, 0.0f, 1.0f, 0.5, ram.end - 0.25, rr.data());
    disk.ReadFrames(3, dl.data(), scratch.data(), 0.0f, 1.0f, 0.5, ram.end - 0.25, dr.data());
    EXPECT_EQ(rl, dl);
    EXPECT_EQ(rr, dr);
  }
}

TEST(Sample, DiskRenderingHonoursItsBounds) {
  TempDir dir;
  WriteFile(dir / "m.wav", WavBuilder().Fmt(1, 1, 44100, 16).Chunk("data", Pcm16(50, 1)).Bytes());
  CDiskSample disk;
  CSample ram;
  ASSERT_TRUE(disk.OpenFile(dir / "m.wav"));
  ASSERT_TRUE(ram.OpenFile(dir / "m.wav"));
  std::vector<uint8_t> scratch(kStreamScratchBytes);
  std::vector<float> l(4, 9.0f), r(4, 9.0f), el(4), er(4);
  disk.ReadFrames(4, l.data(), scratch.data(), 0.0f, 1.0f, 1.0, 51.0, r.data());
  EXPECT_EQ(l, std::vector<float>(4, 9.0f)) << "beyond the end leaves the outputs";
  // Before start reads from start; pan splits the gain.
  disk.ReadFrames(4, l.data(), scratch.data(), 0.5f, 2.0f, 1.0, -3.0, r.data());
  ram.ReadFrames(4, el.data(), nullptr, 0.0f, 1.0f, 1.0, 1.0, er.data());
  for (int i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(l[static_cast<size_t>(i)], el[static_cast<size_t>(i)] * 1.0f);
    EXPECT_FLOAT_EQ(r[static_cast<size_t>(i)], er[static_cast<size_t>(i)] * 3.0f);
  }
  disk.ReleaseData();
  std::fill(l.begin(), l.end(), 9.0f);
  disk.ReadFrames(4, l.data(), scratch.data(), 0.0f, 1.0f, 1.0, 1.0, r.data());
  EXPECT_EQ(l, std::vector<float>(4, 9.0f)) << "a closed disk sample renders nothing";
}

// Finds the value bytes of the first record named `key` in a record stream.
std::vector<uint8_t> RecordValue(const std::vector<uint8_t>& bytes, const std::string& want) {
  CMemStream s(bytes);
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size)) {
    if (key == want) return s.ReadRaw(size);
    s.Skip(size);
  }
  return {};
}

TEST(Sample, RecordsCarryTheFramesOfBothKinds) {
  TempDir dir;
  const auto pcm = Pcm16(777, 2, 11);
  WriteFile(dir / "r.wav", WavBuilder().Fmt(1, 2, 22050, 16).Chunk("data", pcm).Smpl(1, {{10, 20}}).Bytes());
  CDiskSample disk;
  ASSERT_TRUE(disk.OpenFile(dir / "r.wav"));
  CMemStream ds;
  const int32_t written = disk.SaveRecords(ds);
  EXPECT_EQ(written, static_cast<int32_t>(ds.Size()));
  EXPECT_EQ(RecordValue(ds.Data(), "data"), pcm);

  // Loading them always gives frames in memory, equal to the file's.
  CSample loaded;
  ds.Rewind();
  loaded.LoadRecords(ds, written);
  EXPECT_EQ(ds.Position(), written);
  CSample ram;
  ASSERT_TRUE(ram.OpenFile(dir / "r.wav"));
  EXPECT_TRUE(loaded.open);
  EXPECT_EQ(loaded.data, ram.data);
  EXPECT_EQ(loaded.rate, 22050.0f);
  EXPECT_EQ(loaded.fileName, dir / "r.wav");
  EXPECT_EQ(loaded.peaks, ram.peaks);

  // A RAM sample writes the loop points and reads them back.
  CMemStream rs;
  const int32_t n = ram.SaveRecords(rs);
  rs.Rewind();
  CSample back;
  back.LoadRecords(rs, n);
  EXPECT_EQ(back.loop, 1);
  EXPECT_EQ(back.loopStart, 11);
  EXPECT_EQ(back.end, 21);
  EXPECT_EQ(back.data, ram.data);
}

TEST(Sample, HostileRecordsAllocateNothingBig) {
  CMemStream s;
  s.WriteKeyInt("bits", 16);
  s.WriteKeyInt("chs", 2);
  s.WriteKeyInt("frames", 0x7FFFFFF0);  // no such frames follow
  s.WriteKeyInt("end", 5000);
  s.WriteKey("data", 8);
  s.WriteInt(1);
  s.WriteInt(2);
  CSample smp;
  s.Rewind();
  smp.LoadRecords(s, static_cast<int32_t>(s.Size()));
  EXPECT_FALSE(smp.open);
  EXPECT_EQ(smp.frames, 0);
  EXPECT_LE(smp.data.size(), 64u);

  // Positions outside the frames are pulled inside.
  CMemStream t;
  t.WriteKeyInt("bits", 24);
  t.WriteKeyInt("chs", 1);
  t.WriteKeyInt("frames", 4);
  t.WriteKeyInt("start", -7);
  t.WriteKeyInt("end", 900);
  t.WriteKeyInt("loopStart", 901);
  t.WriteKey("data", 12);
  for (int i = 0; i < 3; ++i) t.WriteInt(0x01020304);
  t.Rewind();
  smp.LoadRecords(t, static_cast<int32_t>(t.Size()));
  EXPECT_TRUE(smp.open);
  EXPECT_EQ(smp.start, 1);
  EXPECT_EQ(smp.end, 4);
  EXPECT_EQ(smp.loopStart, 4);
}

TEST(AudioFolder, FreeNamesAndCopies) {
  TempDir dir;
  test::MessageCapture msgs;
  const std::string audio = dir / "song_audio";
  EXPECT_EQ(AudioFolderOf(dir / "song.qrw"), audio);
  EXPECT_EQ(CreateAudioFolder(""), "");
  EXPECT_EQ(msgs.Joined().back(), "Audio folder|Project is not saved. Can't create Audio folder");
  EXPECT_EQ(CreateAudioFolder(dir / "song.qrw"), audio);
  EXPECT_EQ(CreateAudioFolder(dir / "song.qrw"), "") << "the user said no to reusing it";
  EXPECT_EQ(msgs.Joined().back(),
            "Audio folder|The folder 'song_audio' already exists. Do you want to use this folder?");

  EXPECT_EQ(FreeWavName(audio, "kick"), audio + "/kick.wav");
  WriteFile(audio + "/kick.wav", {1});
  WriteFile(audio + "/kick_1.wav", {2});
  EXPECT_EQ(FreeWavName(audio, "kick"), audio + "/kick_2.wav");

  const auto wav = WavBuilder().Fmt(1, 1, 44100, 16).Chunk("data", Pcm16(10, 1)).Bytes();
  WriteFile(dir / "kick.wav", wav);
  CDiskSample outside;
  ASSERT_TRUE(outside.OpenFile(dir / "kick.wav"));
  CSample inside;
  WriteFile(audio + "/snare.wav", wav);
  ASSERT_TRUE(inside.OpenFile(audio + "/snare.wav"));

  uint8_t renderer_busy = 0;
  EXPECT_FALSE(CopyToAudioFolder(inside, "", renderer_busy));
  EXPECT_EQ(msgs.Joined().back(), "Copy|Audio folder not set");

  // A sample already there (folder letter case aside) only changes its path kind.
  EXPECT_TRUE(CopyToAudioFolder(inside, dir.Path() + "/SONG_AUDIO/", renderer_busy));
  EXPECT_EQ(inside.fileName, audio + "/snare.wav");
  EXPECT_EQ(inside.pathKind, kPathAudioFolder);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(audio), {}), 3);
  // The other is copied under a free name, the existing files untouched.
  EXPECT_EQ(CopyAllToAudioFolder({&outside, &inside}, audio, renderer_busy), 2);
  EXPECT_EQ(outside.fileName, audio + "/kick_2.wav");
  EXPECT_EQ(outside.pathKind, kPathAudioFolder);
  EXPECT_TRUE(outside.open);
  EXPECT_EQ(ReadFile(audio + "/kick.wav"), std::vector<uint8_t>{1});
  EXPECT_EQ(ReadFile(audio + "/kick_2.wav"), wav);

  SetLastSampleFolder(audio);
  EXPECT_EQ(LastSampleFolder(), audio);
}

TEST(FileBuffers, SlotsFillUntilFullAndSurviveReopening) {
  TempDir dir;
  test::MessageCapture msgs;
  {
    CFileBuffers none(dir / "nowhere", "rec");
    EXPECT_FALSE(none.Prepare(2, 16));
    EXPECT_EQ(msgs.Joined().back(), std::string("|CFileBuffer Bad folder: ").append(dir / "nowhere"));
  }
  CFileBuffers pool(dir.Path(), "rec");
  EXPECT_FALSE(pool.Mapped(0));
  ASSERT_TRUE(pool.Prepare(2, 3));  // 3 stereo frames, or 6 mono ones, per slot
  EXPECT_TRUE(pool.Mapped(1));
  EXPECT_FALSE(pool.Mapped(2));
  {
    AllocGuard g;
    EXPECT_TRUE(pool.StartSlot(0, 2));
    const float f[2] = {0.5f, -0.5f};
    for (int i = 0; i < 5; ++i) pool.AppendFrame(0, f);
    EXPECT_FALSE(pool.StartSlot(5, 1));
    pool.AppendFrame(5, f);
    EXPECT_TRUE(g.Clean()) << g.Report();
  }
  EXPECT_EQ(pool.Frames(0), 3);
  EXPECT_EQ(pool.Data(0)[5], -0.5f);
  CFileBuffers again(dir.Path(), "rec");
  EXPECT_TRUE(again.Mapped(0));
  EXPECT_TRUE(again.Mapped(1));
  EXPECT_EQ(again.Data(0)[4], 0.5f);
}

}  // namespace
}  // namespace qr::test
