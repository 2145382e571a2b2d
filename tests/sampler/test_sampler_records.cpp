// The sampler's records: their exact order, a byte-identical second save,
// sound files, and damaged input.
#include <gtest/gtest.h>

#include <fstream>

#include "graph/ModuleTypes.h"
#include "mixer/Delay.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "tests/sampler/SamplerRig.h"
#include "tests/support/MessageCapture.h"

using namespace qr;
using namespace qr::test;

namespace {

// A sampler holding one of everything the records carry.
void Fill(CSampler& s) {
  const int smp = s.AddSample(MakeSample(500, 22050.0f, [](int i) { return std::sin(i * 0.1); }));
  CSound* snd = s.NewSound("kit");
  s.BeginEdit();
  snd->sends.push_back(CSoundSend{std::make_unique<CDelay>(&s), 0});
  CClip* c = PlainClip(s, *snd, smp);
  c->fine = 0.25f;
  c->sendLevels = {0.5f};
  c->exclusiveClass = 2;
  auto env = std::make_unique<CFreehand>();
  env->points = {{0.0f, 0.0f, 0.0f}, {480.0f, 1.0f, 2.0f}, {960.0f, 0.0f, 0.0f}};
  env->loop = 1;
  c->modulators.push_back(std::move(env));
  auto gate = std::make_unique<CGate>();
  gate->steps = 3;
  gate->ticks = CGate::TicksOfRate("16");
  c->modulators.push_back(std::move(gate));
  c->modulators.push_back(std::make_unique<CRandom>());
  c->routings.push_back(CMod{ModSourceKind::kCC, 74, kDestCutoff, 0.5f, 0.0f});
  c->routings.push_back(CMod{ModSourceKind::kLFO, 0, (2 << 16) | kDestLevel, 1.0f, 0.5f});
  auto sub = std::make_unique<CSound>();
  sub->name = "inner";
  PlainClip(s, *sub, smp);
  snd->Add(std::move(sub));
  s.bank[0] = std::make_unique<Preset>(Preset{"Kit", {{0, 1, 10}}});
  s.EndEdit();
}

std::vector<std::string> Keys(const std::vector<uint8_t>& bytes) {
  CMemStream s(bytes);
  std::vector<std::string> out;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size)) {
    out.push_back(key);
    s.Skip(size);
  }
  return out;
}

std::vector<uint8_t> Saved(CSampler& s) {
  CMemStream m;
  s.Save(m);
  m.WriteEnd();
  return m.Data();
}

}  // namespace

TEST(SamplerRecords, WrittenInTheirOrderAndReadBackToTheSameBytes) {
  InstallModuleTypes();  // send inserts are made by type, as the loader and the plug-in arrange
  CSampler a(nullptr);
  Fill(a);
  const auto bytes = Saved(a);
  const auto keys = Keys(bytes);
  const std::vector<std::string> clip = {
      "sourceClip",    "clipSample", "clipVoiceMode", "clipBus",        "clipVol",       "clipPan",
      "clipPlayMode",  "clipLeft",   "clipRight",     "clipLoop",       "clipLoopStart", "clipLoopEnd",
      "clipOrgKey",    "clipCoarse", "clipFine",      "clipGlide",      "clipBend",      "clipFilterMode",
      "clipBlend",     "clipCutoff", "clipQ",         "clipDrive",      "clipMapping",   "clipUvcs",
      "clipUTune",     "clipUPan",   "clipUDelay",    "clipVolSustain", "clipVolEnv",    "clipFilterSustain",
      "clipFilterEnv", "clipModi",   "clipEnv",       "envId",          "envWBeat",      "envSync",
      "envLoop",       "envLeft",    "envRight",      "envUnit",        "envHz",         "envMul",
      "envDiv",        "envPoints",  "clipGate",      "gateId",         "gateStepc",     "gateTicks",
      "gateWBeat",     "gatePoints", "clipRnd"};
  const std::vector<std::string> sound = {
      "soundMode", "soundSample", "soundLeft",   "soundRight", "soundBpm", "soundBeats",  "soundSliceRoot",
      "soundVol",  "soundPan",    "soundCutoff", "soundExp",   "soundId",  "soundMapping"};
  // Module records, the strip, the sample, then the sound.
  auto at = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) - keys.begin(); };
  EXPECT_LT(at("multimode"), at("core"));
  EXPECT_LT(at("core"), at("AudioOut"));
  EXPECT_LT(at("AudioOut"), at("sample"));
  EXPECT_LT(at("sample"), at("sound"));
  const auto first = keys.begin() + at("sound") + 1;
  EXPECT_TRUE(std::equal(sound.begin(), sound.end(), first));
  EXPECT_EQ(*(first + static_cast<long>(sound.size())), "soundSend");
  const auto clipAt = std::find(keys.begin(), keys.end(), "sourceClip");
  EXPECT_TRUE(std::equal(clip.begin(), clip.end(), clipAt));
  // The random generator's rate and loop follow its marker as envelope records.
  const auto routing = std::find(clipAt, keys.end(), "clipMod");
  EXPECT_EQ(*(clipAt + static_cast<long>(clip.size())), "envId");
  EXPECT_EQ(std::vector<std::string>(routing, routing + 5),
            (std::vector<std::string>{"clipMod", "modSource", "modDest", "modA", "modC"}));
  // A bank's exclusive class follows the clip's send levels; a clip without one writes none.
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "clipExclusive"), 1);
  EXPECT_EQ(*(std::find(clipAt, keys.end(), "sendLevels") + 1), "clipExclusive");
  const std::vector<std::string> tail = {"subSoundEnd",   "bank",        "preset",
                                         "presetId",      "presetSound", "presetSoundOn",
                                         "presetSoundCh", "sourcei",     "CEnd"};
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), keys.end() - static_cast<long>(tail.size())));

  // The gate's "16" is stored as 240 ticks.
  CMemStream m(bytes);
  std::string key;
  int32_t size = 0;
  int32_t ticks = 0;
  while (m.NextRecord(key, size))
    if (key == "gateTicks")
      ticks = m.ReadInt();
    else
      m.Skip(size);
  EXPECT_EQ(ticks, 240);

  MessageCapture msgs;
  CSampler b(nullptr);
  CMemStream in(bytes);
  b.Load(in, 0);
  EXPECT_EQ(Saved(b), bytes);
  EXPECT_TRUE(msgs.messages.empty());
  ASSERT_EQ(b.sounds.size(), 1u);
  EXPECT_EQ(b.sounds[0]->sends.size(), 1u);
  EXPECT_EQ(DestinationName(static_cast<const CClip&>(*b.sounds[0]->children[0]).routings[1].dest,
                            static_cast<const CClip&>(*b.sounds[0]->children[0]).modulators),
            "Rnd.Level");
  EXPECT_EQ(static_cast<const CClip&>(*b.sounds[0]->children[0]).exclusiveClass, 2);
}

TEST(SamplerRecords, ABadRecordIsNamedAndTheRestStillLoads) {
  CSampler a(nullptr);
  Fill(a);
  auto bytes = Saved(a);
  // "clipFine" with a size of 8: the record is skipped whole and named.
  CMemStream s;
  CMemStream src(bytes);
  std::string key;
  int32_t size = 0;
  while (src.NextRecord(key, size)) {
    std::vector<uint8_t> v = src.ReadRaw(size);
    if (key == "clipFine") {
      v.resize(8);
      size = 8;
    }
    s.WriteKey(key, size);
    s.WriteBytes(v.data(), v.size());
  }
  MessageCapture msgs;
  CSampler b(nullptr);
  s.Rewind();
  b.Load(s, 0);
  EXPECT_EQ(msgs.Texts(), std::vector<std::string>(2, "Sampler: error reading block 'clipFine' size 8"));
  ASSERT_EQ(b.sounds.size(), 1u);
  EXPECT_EQ(b.sounds[0]->children.size(), 2u);
  EXPECT_EQ(static_cast<const CClip&>(*b.sounds[0]->children[0]).fine, 0.0f);
}

TEST(SamplerRecords, SoundFilesCarryTheirSamplesAndRefuseDamage) {
  InstallModuleTypes();
  CSampler a(nullptr);
  a.AddSample(MakeSample(100, 44100.0f, [](int) { return 0.1; }));  // not used by the sound
  Fill(a);
  CMemStream file;
  a.SaveSoundFile(*a.sounds[0], file);
  if (const char* dir = std::getenv("QR_WRITE_SEEDS")) {
    std::ofstream(std::string(dir) + "/kit.qrs", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.Data().data()),
               static_cast<std::streamsize>(file.Data().size()));
  }
  CSampler b(nullptr);
  b.AddSample(MakeSample(10, 44100.0f, [](int) { return 0.0; }));
  file.Rewind();
  ASSERT_TRUE(b.LoadSoundFile(file));
  ASSERT_EQ(b.samples.size(), 2u);  // its own, then the one the sound uses
  ASSERT_EQ(b.sounds.size(), 1u);
  EXPECT_EQ(static_cast<const CClip&>(*b.sounds[0]->children[0]).sample, 1);
  CMemStream again;
  b.SaveSoundFile(*b.sounds[0], again);
  EXPECT_EQ(again.Data(), file.Data());
  // Cut short anywhere, the file changes nothing.
  for (size_t cut = 0; cut < file.Data().size(); cut += 7) {
    CMemStream part(file.Data().data(), cut);
    EXPECT_FALSE(b.LoadSoundFile(part)) << "cut at " << cut;
    EXPECT_EQ(b.sounds.size(), 1u);
    EXPECT_EQ(b.samples.size(), 2u);
  }
}

TEST(SamplerRecords, TheTypeTableMakesASampler) {
  auto m = CreateModule("CSampler", nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->TypeKey(), "CSampler");
}
