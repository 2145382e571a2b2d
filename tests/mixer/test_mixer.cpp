// The mixer: pan, mute and solo on the main and send outputs, controllers cut
// at their own sample, the channel limit, pins, records and the pan law.
#include <gtest/gtest.h>

#include "mixer/Mixer.h"
#include "stream/RecordStream.h"
#include "tests/mixer/Signals.h"
#include "tests/support/MessageCapture.h"

using namespace qr;
using namespace qr::test;

namespace {

// A mixer fed by constant sources (channel k: left 0.5 x (k+1), right 1.0 x (k+1))
// and pulled by the master outputs.
struct Rig {
  std::unique_ptr<CGroup> root = MakeRoot(256);
  CMixer* mixer = nullptr;
  StubMidiSource* ctl = nullptr;
  Rig(int channels, int sends) {
    mixer = Add<CMixer>(*root);
    for (int k = 1; k < channels; ++k) mixer->NewChannel();
    for (int j = 0; j < sends; ++j) mixer->NewSend();
    for (int k = 0; k < channels; ++k) {
      auto* s = Add<StubSource>(*root, std::vector<int>{2}, 0.5f * static_cast<float>(k + 1));
      mixer->ConnectAudio(s, k, 0);
    }
    root->ConnectAudio(mixer, 0, 0);
    ctl = Add<StubMidiSource>(*root);
    mixer->ConnectMidi(ctl, 0, 0);
  }
  float Out(int ch, int i = 10) const { return mixer->outCh[static_cast<size_t>(ch)][i]; }
};

}  // namespace

TEST(Mixer, PanIsLinearWithBothSidesAtUnityInTheCentre) {
  Rig r(1, 1);
  auto& ch = r.mixer->channels[0];
  ch.volume = 0.5f;
  ch.sends[0].level = 0.25f;
  const struct {
    float pan, l, r;
  } cases[] = {{-1.0f, 2 * 0.5f * 0.5f, 0.0f}, {1.0f, 0.0f, 2 * 1.0f * 0.5f}, {0.0f, 0.25f, 0.5f}};
  for (const auto& k : cases) {
    ch.pan = k.pan;
    RunBlock(*r.root, 256);
    EXPECT_FLOAT_EQ(r.Out(0), k.l) << k.pan;
    EXPECT_FLOAT_EQ(r.Out(1), k.r) << k.pan;
    // Post send: the same panned signal times the level; the master sees the main output.
    EXPECT_FLOAT_EQ(r.Out(2), k.l * 0.25f) << k.pan;
    EXPECT_FLOAT_EQ(r.Out(3), k.r * 0.25f) << k.pan;
    EXPECT_FLOAT_EQ(r.root->inCh[0][10], k.l);
  }
  EXPECT_FLOAT_EQ(ch.holdLeft, 0.5f);
  EXPECT_FLOAT_EQ(ch.holdRight, 1.0f);
  r.mixer->SetFader(0, 127);
  EXPECT_EQ(ch.volume, 1.0f);
  EXPECT_EQ(ch.holdLeft, 0.0f);
}

TEST(Mixer, SoloSilencesOthersEverywhereAndPreSendsIgnoreTheFader) {
  Rig r(2, 2);
  for (auto& ch : r.mixer->channels) ch.sends[0].level = ch.sends[1].level = 1.0f;
  r.mixer->channels[1].solo = 1;
  RunBlock(*r.root, 256);
  // Only channel 1 (left 1.0, right 2.0) is heard on the main and both sends.
  for (int o = 0; o < 3; ++o) {
    EXPECT_FLOAT_EQ(r.Out(2 * o), 1.0f) << o;
    EXPECT_FLOAT_EQ(r.Out(2 * o + 1), 2.0f) << o;
  }

  r.mixer->channels[1].solo = 0;
  r.mixer->channels[1].mute = 1;
  auto& ch = r.mixer->channels[0];
  ch.volume = 0.0f;
  ch.sends[0].pre = 1;
  RunBlock(*r.root, 256);
  EXPECT_EQ(r.Out(0), 0.0f);
  EXPECT_FLOAT_EQ(r.Out(2), 0.5f);  // pre send keeps sending
  EXPECT_FLOAT_EQ(r.Out(3), 1.0f);
  EXPECT_EQ(r.Out(4), 0.0f);  // post send follows the fader down
  ch.sends[0].on = 0;
  RunBlock(*r.root, 256);
  EXPECT_EQ(r.Out(2), 0.0f);
}

TEST(Mixer, ControllersChangeSettingsFromTheirOwnSampleOn) {
  Rig r(1, 1);
  auto& ch = r.mixer->channels[0];
  ch.volumeCC = 7;
  ch.panCC = 10;
  ch.sends[0].cc = 91;
  ch.volume = 0.5f;
  // Cuts at odd samples leave stretches that are not whole vectors.
  r.ctl->events = {{102.7f, midi::Make(0xB0, 7, 127)},  // truncated to sample 102
                   {150.0f, midi::Make(0xB0, 1, 0)},    // unmapped: cuts nothing
                   {201.0f, midi::Make(0xB0, 10, 0)},
                   {223.0f, midi::Make(0xB0, 91, 127)}};
  RunBlock(*r.root, 256);
  EXPECT_FLOAT_EQ(r.Out(0, 101), 0.25f);
  EXPECT_FLOAT_EQ(r.Out(0, 102), 0.5f);
  EXPECT_EQ(ch.volume, 1.0f);
  EXPECT_FLOAT_EQ(r.Out(1, 200), 1.0f);
  EXPECT_EQ(r.Out(1, 201), 0.0f);  // pan -1: right silent
  EXPECT_FLOAT_EQ(r.Out(0, 201), 1.0f);
  EXPECT_EQ(ch.pan, -1.0f);
  EXPECT_EQ(r.Out(2, 222), 0.0f);
  EXPECT_FLOAT_EQ(r.Out(2, 223), 1.0f);
  EXPECT_EQ(ch.sends[0].level, 1.0f);
  EXPECT_FLOAT_EQ(ch.holdLeft, 1.0f);

  r.ctl->events = {{0.0f, midi::Make(0xB0, 10, 127)}};
  RunBlock(*r.root, 256);
  EXPECT_EQ(ch.pan, 1.0f);
}

TEST(Mixer, SixteenChannelsAtMostAndPinsFollowTheLists) {
  MessageCapture sink;
  auto root = MakeRoot(64);
  auto* m = Add<CMixer>(*root);
  EXPECT_EQ(m->OutputName(0), "Audio out");
  for (int k = 1; k < 16; ++k) EXPECT_TRUE(m->NewChannel());
  EXPECT_TRUE(sink.Texts().empty());
  EXPECT_FALSE(m->NewChannel());
  ASSERT_EQ(sink.Texts().size(), 1u);
  EXPECT_EQ(sink.Texts()[0], "no more mixer channels available");
  EXPECT_EQ(m->ChannelCount(), 16);
  EXPECT_EQ(m->audioIns.size(), 16u);

  EXPECT_TRUE(m->NewSend());
  EXPECT_EQ(m->audioOuts.size(), 2u);
  EXPECT_EQ(m->OutputName(1), "Send out");
  for (const auto& ch : m->channels) EXPECT_EQ(ch.sends.size(), 1u);
}

TEST(Mixer, DeletingAChannelKeepsTheOtherCablesOnTheirChannels) {
  Rig r(3, 1);
  r.mixer->channels[2].volume = 0.5f;
  r.mixer->DeleteChannel(0);
  ASSERT_EQ(r.mixer->ChannelCount(), 2);
  EXPECT_EQ(r.mixer->audioIns.size(), 2u);
  EXPECT_EQ(r.mixer->audioInCables.size(), 2u);
  RunBlock(*r.root, 256);
  // Sources 2 (1.0) and 3 (1.5 x 0.5) remain.
  EXPECT_FLOAT_EQ(r.Out(0), 1.0f + 0.75f);
  r.mixer->DeleteSend(0);
  EXPECT_EQ(r.mixer->audioOuts.size(), 1u);
  EXPECT_TRUE(r.mixer->channels[0].sends.empty());
}

TEST(Mixer, RecordsComeInTheirOrderAndLoadBack) {
  auto root = MakeRoot(64);
  auto* m = Add<CMixer>(*root);
  m->NewChannel();
  m->NewSend();
  m->channels[1] = {0.7f, -0.25f, 7, 10, 1, 1, 0, 0, 0, 0, {{0.3f, 91, 1, 0}}};
  CMemStream s;
  m->Save(s);
  s.WriteEnd();

  s.Rewind();
  std::vector<std::string> keys;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (key != "Id" && key != "X" && key != "Y" && key != "Enabled" && key != "CData") keys.push_back(key);
    s.Skip(size);
  }
  const std::vector<std::string> ch = {"Ch",          "ChVol",    "ChVolCC",   "ChPan",
                                       "ChPanCC",     "ChMute",   "ChSolo",    "ChSend",
                                       "ChSendLevel", "ChSendOn", "ChSendPre", "ChSendCC"};
  std::vector<std::string> want = {"Sends"};
  want.insert(want.end(), ch.begin(), ch.end());
  want.insert(want.end(), ch.begin(), ch.end());
  EXPECT_EQ(keys, want);

  s.Rewind();
  auto* n = Add<CMixer>(*root);
  n->Load(s, 0);
  ASSERT_EQ(n->ChannelCount(), 2);
  EXPECT_EQ(n->audioIns.size(), 2u);
  EXPECT_EQ(n->audioOuts.size(), 2u);
  // Channel 1's settings all differ from a new channel's: the same records
  // saved again prove each was read back.
  n->id = m->id;
  CMemStream again;
  n->Save(again);
  again.WriteEnd();
  EXPECT_EQ(again.Data(), s.Data());
}

TEST(Mixer, ExcessChannelsAndSendsInAFileAreCappedAtTheLimits) {
  CMemStream s;
  s.WriteKeyInt("Sends", 1000);
  for (int k = 0; k < 40; ++k) {
    s.WriteKeyMarker("Ch");
    s.WriteKeyFloat("ChVol", static_cast<float>(k));
  }
  s.WriteKey("ChVol", 2);  // wrong size: skipped whole
  s.WriteShort(0);
  s.WriteEnd();
  s.Rewind();
  auto root = MakeRoot(64);
  auto* m = Add<CMixer>(*root);
  m->Load(s, 0);
  EXPECT_EQ(m->ChannelCount(), CMixer::kMaxChannels);
  EXPECT_EQ(m->SendCount(), CMixer::kMaxSends);
  EXPECT_EQ(m->TotalOutputChannels(), 64);
  EXPECT_EQ(m->channels[15].volume, 15.0f);
  root->ConnectAudio(m, 0, 0);
  RunBlock(*root, 64);
}

TEST(PanLaw, AppliesToEveryOutputOfTheMixerIncludingLaterSends) {
  Rig r(1, 0);
  r.root->SetPanLaw(1);  // "-3dB"
  r.mixer->NewSend();
  r.mixer->channels[0].sends[0].level = 1.0f;
  for (auto& p : r.mixer->audioOuts) p->SetPan(1.0f, false);
  RunBlock(*r.root, 256);
  EXPECT_EQ(r.Out(0), 0.0f);
  EXPECT_FLOAT_EQ(r.Out(1), 1.5f);
  EXPECT_EQ(r.Out(2), 0.0f);
  EXPECT_FLOAT_EQ(r.Out(3), 1.5f);

  r.root->SetPanLaw(2);  // "-0dB"
  RunBlock(*r.root, 256);
  EXPECT_FLOAT_EQ(r.Out(1), 1.0f);
  EXPECT_FLOAT_EQ(r.Out(3), 1.0f);
  r.root->SetPanLaw(0);  // "-6dB", hard left this time
  for (auto& p : r.mixer->audioOuts) p->SetPan(-1.0f, false);
  RunBlock(*r.root, 256);
  EXPECT_FLOAT_EQ(r.Out(0), 1.0f);
  EXPECT_EQ(r.Out(1), 0.0f);
}
