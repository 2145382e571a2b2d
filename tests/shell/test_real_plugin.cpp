// Our declarations of the plug-in interface against a plug-in built by others:
// a reverb from Debian's packages loads, answers, processes and closes through
// the same record layout our own libraries hand out.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Files.h"
#include "tests/shell/TestHost.h"

using namespace qr::test;

TEST(RealPlugin, ADebianReverbRunsThroughOurInterfaceDeclarations) {
  const std::string path = "/usr/lib/lxvst/DragonflyRoomReverb-vst.so";
  if (!qr::FileExists(path)) GTEST_SKIP() << "install dragonfly-reverb-vst (see .ci/setup)";
  TestHost h(path);
  ASSERT_TRUE(h.Loaded()) << h.Error();
  vst2::AEffect* e = h.Open();
  if (!e) e = h.Open("main");  // older plug-ins export only "main"
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->magic, vst2::kEffectMagic);
  EXPECT_EQ(e->numInputs, 2);
  EXPECT_EQ(e->numOutputs, 2);
  EXPECT_TRUE(e->flags & vst2::effFlagsCanReplacing);
  char name[vst2::kMaxEffectNameLen + 1] = {};
  h.Dispatch(vst2::effGetEffectName, 0, 0, name);
  EXPECT_STREQ(name, "Dragonfly Room Reverb");
  h.Dispatch(vst2::effOpen);
  h.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 44100.0f);
  h.Dispatch(vst2::effSetBlockSize, 0, 512);
  h.Dispatch(vst2::effMainsChanged, 0, 1);
  std::vector<std::vector<float>> in(2, std::vector<float>(512)), out(2, std::vector<float>(512));
  in[0][0] = in[1][0] = 1.0f;
  double energy = 0.0;
  for (int b = 0; b < 40; ++b) {
    h.Process(in, out, 512);
    for (const auto& c : out)
      for (float v : c) energy += static_cast<double>(v) * v;
    in[0][0] = in[1][0] = 0.0f;
  }
  EXPECT_GT(energy, 0.01);  // an impulse comes back as a tail
  void* chunk = nullptr;
  EXPECT_GT(h.Dispatch(vst2::effGetChunk, 0, 0, &chunk), 0);
  EXPECT_NE(chunk, nullptr);
  h.Dispatch(vst2::effMainsChanged, 0, 0);
}
