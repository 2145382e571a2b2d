// The Standard MIDI File reader: what a real file's quirks turn into.
#include <gtest/gtest.h>

#include "sequencer/MidiFile.h"

using namespace qr;

namespace {

struct Log final : SmfHandler {
  std::vector<std::tuple<int64_t, int, int, int>> ch;  // tick, status, d1, d2
  std::vector<std::pair<int64_t, int>> meta;
  int tracks = 0;
  void TrackBegin(int) override { ++tracks; }
  void Meta(int64_t t, int type, std::span<const uint8_t>) override { meta.emplace_back(t, type); }
  void Channel(int64_t t, uint8_t s, uint8_t a, uint8_t b) override { ch.emplace_back(t, s, a, b); }
};

std::vector<uint8_t> File(int division, std::vector<std::vector<uint8_t>> tracks) {
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<uint8_t>(tracks.size()),
                            static_cast<uint8_t>(division >> 8), static_cast<uint8_t>(division & 0xFF)};
  for (auto& t : tracks) {
    const uint32_t n = static_cast<uint32_t>(t.size());
    f.insert(f.end(), {'M', 'T', 'r', 'k', static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                       static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    f.insert(f.end(), t.begin(), t.end());
  }
  return f;
}

}  // namespace

TEST(MidiFile, DeltasScaleTo960AndRunningStatusRepeats) {
  // Division 480: a delta of 240 becomes 480 ticks. Running status carries the
  // note-on; a long delta uses two VLQ bytes (0x81 0x00 = 128).
  const auto f = File(480, {{0x00, 0x90, 60, 100, 0x81, 0x70, 61, 90, 0x00, 0xC3, 5, 0x00, 0xFF, 0x2F, 0x00,
                             0x00, 0x90, 1, 1}});
  Log log;
  EXPECT_EQ(ReadSmf(f, log), "");
  ASSERT_EQ(log.ch.size(), 3u);  // nothing after end of track
  EXPECT_EQ(log.ch[0], std::make_tuple(int64_t{0}, 0x90, 60, 100));
  EXPECT_EQ(log.ch[1], std::make_tuple(int64_t{480}, 0x90, 61, 90));
  EXPECT_EQ(log.ch[2], std::make_tuple(int64_t{480}, 0xC3, 5, 0));
  EXPECT_EQ(ScaleDelta(1, 1920), 0);  // half a tick rounds to even
  EXPECT_EQ(ScaleDelta(3, 1920), 2);
  EXPECT_EQ(ScaleDelta(7, 96), 70);
}

TEST(MidiFile, RefusalsAndDamagedFiles) {
  Log log;
  const std::vector<uint8_t> riff = {'R', 'I', 'F', 'F', 1, 2};
  EXPECT_EQ(ReadSmf(riff, log), "Not a MIDI file 52494646");
  EXPECT_EQ(log.tracks, 0);

  // A data byte with no status before it.
  Log bad;
  EXPECT_EQ(ReadSmf(File(960, {{0x00, 0x90, 60, 1, 0x00, 0xFF, 0x03, 1, 'x'}, {0x00, 0x40, 0x10}}), bad),
            "Invalid file format (3)");
  EXPECT_EQ(bad.ch.size(), 1u);  // what came before stays
  EXPECT_EQ(bad.meta.size(), 1u);

  // A track whose length runs past the end, a sysex, an unknown chunk.
  auto f = File(960, {{0x00, 0xF0, 0x03, 1, 2, 0xF7, 0x10, 0x80, 60, 0}});
  f.insert(f.begin() + 14, {'J', 'U', 'N', 'K', 0, 0, 0, 2, 9, 9});
  f[14 + 10 + 7] = 200;  // claimed track length far beyond the data
  Log cut;
  EXPECT_EQ(ReadSmf(f, cut), "");
  ASSERT_EQ(cut.ch.size(), 1u);
  EXPECT_EQ(std::get<0>(cut.ch[0]), 16);
}

TEST(MidiFile, EventsInSecondsFollowTheTempoMap) {
  // 120 bpm until tick 960, then 60 bpm (1,000,000 us per beat).
  const auto f = File(960, {{0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x87, 0x40, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40},
                            {0x87, 0x40, 0x90, 60, 100, 0x87, 0x40, 0x80, 60, 0}});
  std::vector<TimedMidiEvent> ev;
  EXPECT_EQ(ReadSmfEvents(f, ev), "");
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_DOUBLE_EQ(ev[0].seconds, 0.5);
  EXPECT_DOUBLE_EQ(ev[1].seconds, 1.5);
  EXPECT_EQ(ev[0].msg, 0x643C90u);
}
