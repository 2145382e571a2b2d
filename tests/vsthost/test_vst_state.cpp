// The hosted plug-in's stored state: program and bank files, and its block in
// a project, including a project whose plug-in has gone missing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "graph/Container.h"
#include "mixer/Delay.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "stream/RecordStream.h"
#include "tests/support/FuzzSeeds.h"
#include "tests/support/MessageCapture.h"
#include "tests/vsthost/ProbeRig.h"
#include "vsthost/FxFile.h"

using namespace qr;
using namespace qr::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> b;
  EXPECT_TRUE(ReadWholeFile(path, b));
  return b;
}

std::vector<float> Params(CVST& v) {
  std::vector<float> p;
  for (int i = 0; i < 4; ++i) p.push_back(v.Effect()->getParameter(v.Effect(), i));
  return p;
}

void SetParams(CVST& v, float base) {
  for (int i = 0; i < 4; ++i) v.Effect()->setParameter(v.Effect(), i, base + 0.01f * static_cast<float>(i));
}

// The keys of one module block, in the order written.
std::vector<std::string> Keys(CMemStream& s) {
  s.Rewind();
  std::vector<std::string> keys;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size)) {
    keys.push_back(key);
    s.Skip(size);
  }
  return keys;
}

CVST* FindVst(CGroup& root) {
  CVST* w = nullptr;
  for (auto& c : root.children)
    if (auto* x = dynamic_cast<CVST*>(c.get())) w = x;
  return w;
}

}  // namespace

TEST(VstFiles, ProgramsAndBanksRoundTripByteForByte) {
  for (int chunks : {0, 1}) {
    probe::Config cfg;
    cfg.chunks = chunks;
    ProbeRig r(cfg);
    ASSERT_TRUE(r.loaded);
    CVST& v = *r.vst;
    const std::string dir = ::testing::TempDir();
    const std::string fxb = dir + "/probe.fxb", fxp = dir + "/probe.fxp";
    SetParams(v, 0.25f);
    v.PluginDispatch(vst2::effSetProgram, 0, 1, nullptr, 0.0f, 0, 0);
    SetParams(v, 0.5f);
    const std::vector<float> second = Params(v);
    ASSERT_TRUE(v.SaveBankFile(fxb));
    ASSERT_TRUE(v.SaveProgramFile(fxp));
    const std::vector<uint8_t> bank = ReadAll(fxb), program = ReadAll(fxp);
    KeepFuzzSeed("vsthost", chunks ? "chunk.fxb" : "regular.fxb", bank);
    KeepFuzzSeed("vsthost", chunks ? "chunk.fxp" : "regular.fxp", program);

    // The reader and writer alone give back every byte.
    FxBank b;
    FxProgram p;
    std::string error;
    ASSERT_TRUE(ReadFxBank(bank, b, error)) << error;
    ASSERT_TRUE(ReadFxProgram(program, p, error)) << error;
    EXPECT_EQ(WriteFxBank(b), bank);
    EXPECT_EQ(WriteFxProgram(p), program);
    EXPECT_EQ(b.chunk, chunks == 1);
    EXPECT_EQ(b.fxID, 0x51725062);
    if (!chunks) {
      EXPECT_EQ(b.programs[1].Name(), "Program 2");
    }

    // Through the plug-in: state scrambled, files loaded, the same bytes saved.
    SetParams(v, 0.9f);
    v.PluginDispatch(vst2::effSetProgram, 0, 0, nullptr, 0.0f, 0, 0);
    SetParams(v, 0.9f);
    v.PluginDispatch(vst2::effSetProgram, 0, 1, nullptr, 0.0f, 0, 0);
    ASSERT_TRUE(v.LoadBankFile(fxb));
    EXPECT_EQ(Params(v), second);
    ASSERT_TRUE(v.SaveBankFile(fxb));
    EXPECT_EQ(ReadAll(fxb), bank) << "chunks " << chunks;
    SetParams(v, 0.7f);
    ASSERT_TRUE(v.LoadProgramFile(fxp));
    EXPECT_EQ(Params(v), second);
    ASSERT_TRUE(v.SaveProgramFile(fxp));
    EXPECT_EQ(ReadAll(fxp), program);

    // Another plug-in's state is refused and changes nothing.
    b.fxID = p.fxID = 0x12345678;
    ASSERT_TRUE(WriteFileAtomically(fxb, WriteFxBank(b)));
    ASSERT_TRUE(WriteFileAtomically(fxp, WriteFxProgram(p)));
    SetParams(v, 0.1f);
    const std::vector<float> before = Params(v);
    MessageCapture m;
    EXPECT_FALSE(v.LoadBankFile(fxb));
    EXPECT_FALSE(v.LoadProgramFile(fxp));
    EXPECT_EQ(m.Texts(), (std::vector<std::string>{"probe.so - Plugin id doesn't match id in file",
                                                   "Plugin id doesn't match id in file"}));
    EXPECT_EQ(Params(v), before);
  }
}

TEST(VstFiles, ReadersRefuseEveryCutAndHostileCount) {
  FxBank b;
  b.fxID = 7;
  for (int i = 0; i < 3; ++i) {
    FxProgram p;
    p.fxID = 7;
    p.params = {0.1f, 0.2f};
    p.SetName("a name longer than the twenty-eight byte field");
    b.programs.push_back(p);
  }
  const std::vector<uint8_t> whole = WriteFxBank(b);
  EXPECT_EQ(whole.size(), 156u + 3 * (56 + 8));
  std::string error;
  for (size_t n = 0; n < whole.size(); ++n) {
    FxBank out;
    EXPECT_FALSE(ReadFxBank(std::span(whole.data(), n), out, error)) << n;
    EXPECT_FALSE(error.empty());
  }
  // A count of 2^30 programs in a file of a few hundred bytes.
  std::vector<uint8_t> hostile = whole;
  hostile[24] = 0x40;
  FxBank out;
  EXPECT_FALSE(ReadFxBank(hostile, out, error));
  EXPECT_EQ(error, "program count does not fit the file");
  // A program is not a bank, and a bank not a program.
  FxProgram prog;
  EXPECT_FALSE(ReadFxProgram(whole, prog, error));
  EXPECT_FALSE(ReadFxBank(WriteFxProgram(b.programs[0]), out, error));
  EXPECT_EQ(b.programs[0].Name(), "a name longer than the twen");
}

TEST(VstProject, RecordsComeInTheirOrderAndTheStateRoundTrips) {
  ProbeRig r;
  CVST& v = *r.vst;
  v.channelFilter = 3;
  v.coreIndex = 1;
  v.ccMap.push_back({7, 0, 100, 1});
  v.audioOuts[0]->SetVolume(0.5f, false);
  auto echo = std::make_unique<CDelay>(r.root.get());
  echo->feedback = 0.25f;
  CMemStream echoBlock;
  echo->Save(echoBlock);
  v.audioOuts[0]->inserts.push_back(std::move(echo));
  v.audioOuts[0]->insertWet = 0.5f;
  SetParams(v, 0.3f);
  v.PluginDispatch(vst2::effSetProgram, 0, 2, nullptr, 0.0f, 0, 0);
  CMemStream block;
  v.Save(block);
  // clang-format off
  std::vector<std::string> want = {
      "Id", "X", "Y", "Enabled", "RCh", "core", "FXFolder", "File", "AudioIn", "AudioInChs", "AInConf",
      "AudioOut2", "AudioOutChs", "AudioOutVol2", "AudioOutVolCC2", "AudioOutPan2", "AudioOutPanCC2",
      "AudioOutSolo2", "AudioOutMute2", "AudioOutFzMode", "Insert", "CEnd", "InsWet", "AOutConf",
      "AudioOut", "AudioOutVol", "AudioOutVolCC", "AudioOutPan", "AudioOutSolo", "AudioOutMute",
      "AudioOut", "AudioOutVol", "AudioOutVolCC", "AudioOutPan", "AudioOutSolo", "AudioOutMute",
      "Data", "CCMap", "CCMapCC", "CCMapCCMin", "CCMapCCMax", "CCMapParam"};
  // clang-format on
  std::vector<std::string> inner = Keys(echoBlock);
  std::erase(inner, "CData");
  want.insert(std::find(want.begin(), want.end(), "Insert") + 1, inner.begin(), inner.end());
  std::vector<std::string> keys = Keys(block);
  std::erase(keys, "CData");  // the base's attributes, however many
  EXPECT_EQ(keys, want);
  KeepFuzzSeed("vsthost", "module.rec", block.Data());

  CProject project;
  CMemStream saved;
  ASSERT_TRUE(SaveProject(*r.root, project, saved));
  auto root2 = MakeRoot(256);
  CProject project2;
  saved.Rewind();
  MessageCapture m;
  ASSERT_TRUE(LoadProject(*root2, project2, saved));
  EXPECT_TRUE(m.messages.empty());
  CVST* w = FindVst(*root2);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(w->Loaded());
  // Every setting above is away from its default, so the same block saved
  // again proves each was read back, the insert's own records included.
  EXPECT_EQ(w->PluginDispatch(vst2::effGetProgram, 0, 0, nullptr, 0.0f, 0, 0), 2);
  EXPECT_EQ(Params(*w), Params(v));
  CMemStream again;
  w->Save(again);
  EXPECT_EQ(again.Data(), block.Data());
}

TEST(VstProject, AMissingPluginKeepsItsStateUntilItComesBack) {
  const fs::path dir = fs::path(::testing::TempDir()) / "qr-away";
  fs::create_directories(dir);
  const fs::path copy = dir / "probe-away.so";
  fs::copy_file(kProbePath, copy, fs::copy_options::overwrite_existing);
  auto root = MakeRoot(256);
  auto* v = Add<CVST>(*root);
  ASSERT_TRUE(v->LoadPlugin(copy.string()));
  SetParams(*v, 0.6f);
  const std::vector<float> params = Params(*v);
  auto* src = Add<StubSource>(*root, std::vector<int>{2});
  v->ConnectAudio(src, 0, 0);
  root->ConnectAudio(v, 0, 0);
  CProject project;
  CMemStream first;
  ASSERT_TRUE(SaveProject(*root, project, first));
  CMemStream block;
  v->Save(block);

  fs::remove(copy);
  auto away = MakeRoot(256);
  first.Rewind();
  MessageCapture m;
  ASSERT_TRUE(LoadProject(*away, project, first));
  EXPECT_EQ(m.Texts(), std::vector<std::string>{"probe-away.so not found"});
  CVST* w = FindVst(*away);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(w->Loaded());
  EXPECT_EQ(w->Problem(), "probe-away.so not found");
  EXPECT_EQ(w->audioInCables.size(), 1u);  // the stored ports keep the cables
  EXPECT_EQ(w->audioOutCables.size(), 1u);
  RunBlock(*away, 256);
  CMemStream kept;
  w->Save(kept);
  EXPECT_EQ(kept.Data(), block.Data());

  fs::copy_file(kProbePath, copy);
  auto back = MakeRoot(256);
  CMemStream second;
  ASSERT_TRUE(SaveProject(*away, project, second));
  second.Rewind();
  ASSERT_TRUE(LoadProject(*back, project, second));
  w = FindVst(*back);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(w->Loaded());
  EXPECT_EQ(Params(*w), params);
}
