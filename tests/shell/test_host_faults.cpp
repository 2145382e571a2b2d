// Faults a host ran into, each pinned through the built library and its
// dispatcher exactly as the host drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/Files.h"
#include "tests/shell/TestHost.h"
#include "tests/support/Projects.h"

using namespace qr;
using namespace qr::test;
namespace fs = std::filesystem;

namespace {

constexpr int kBlock = 64;

// What a host sends after loading the library, before any block.
void HostStart(TestHost& h) {
  h.Dispatch(vst2::effOpen);
  h.Dispatch(vst2::effSetSampleRate, 0, 0, nullptr, 48000.0f);
  h.Dispatch(vst2::effSetBlockSize, 0, kBlock);
  h.Dispatch(vst2::effMainsChanged, 0, 1);
}

// One block of a ramp on the left input and 0.25 on the right; returns the outputs.
std::vector<std::vector<float>> OneBlock(TestHost& h, std::vector<std::vector<float>>* in_out = nullptr) {
  std::vector<std::vector<float>> in(2, std::vector<float>(kBlock, 0.25f)),
      out(2, std::vector<float>(kBlock, 9.0f));
  for (int i = 0; i < kBlock; ++i) in[0][static_cast<size_t>(i)] = 0.01f * static_cast<float>(i + 1);
  h.Process(in, out, kBlock);
  if (in_out) *in_out = in;
  return out;
}

// A copy of the effect library in a folder of its own, "default.qrw" beside it:
// the template feeds the left input, mono, half to each side.
class TemplateBesideLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("qr-template-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    lib_ = (dir_ / "quillrow.so").string();
    fs::copy_file(PluginPath(false), lib_, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(WriteFileAtomically((dir_ / "default.qrw").string(), WiredProject({1})));
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string lib_;
};

}  // namespace

TEST_F(TemplateBesideLibrary, SongRestoredRightAfterOpenIsNotRefusedByTheTemplate) {
  const std::vector<uint8_t> song = WiredProject({2});
  TestHost h(lib_);
  ASSERT_TRUE(h.Loaded()) << h.Error();
  ASSERT_NE(h.Open(), nullptr);
  HostStart(h);
  h.SetChunk(song);
  // No idle call anywhere: hosts send none while no editor is open.
  EXPECT_EQ(h.Chunk(), song);
  std::vector<std::vector<float>> in;
  const auto out = OneBlock(h, &in);
  EXPECT_EQ(out, in);  // the song's stereo wiring, not the template's
}

TEST_F(TemplateBesideLibrary, WithoutAChunkTheTemplatePlaysAtOnce) {
  TestHost h(lib_);
  ASSERT_NE(h.Open(), nullptr);
  HostStart(h);
  std::vector<std::vector<float>> in;
  const auto out = OneBlock(h, &in);
  for (size_t i : {size_t{0}, size_t{kBlock - 1}}) {
    EXPECT_FLOAT_EQ(out[0][i], 0.5f * in[0][i]);
    EXPECT_FLOAT_EQ(out[1][i], 0.5f * in[0][i]);
  }
}

TEST(HostFaults, RoundingOfDisplayAndTempoGoesToEven) {
  TestHost h(PluginPath(false));
  vst2::AEffect* e = h.Open();
  ASSERT_NE(e, nullptr);
  HostStart(h);
  struct Case {
    float value;
    const char* shown;
  };
  for (const Case c : {Case{0.125f, "12"}, Case{0.375f, "38"}, Case{0.0f, "0"}, Case{1.0f, "100"}}) {
    e->setParameter(e, 3, c.value);
    char text[16] = {};
    h.Dispatch(vst2::effGetParamDisplay, 3, 0, text);
    EXPECT_STREQ(text, c.shown) << c.value;
  }
  h.timeInfo.flags = vst2::kVstTempoValid;
  for (const auto& [tempo, rounded] : {std::pair{120.5, 120}, std::pair{121.5, 122}, std::pair{99.25, 99}}) {
    h.timeInfo.tempo = tempo;
    OneBlock(h);
    OneBlock(h);  // the root takes a new tempo at the next block
    EXPECT_EQ(h.Dispatch(-108), rounded) << tempo;
  }
}

TEST(HostFaults, MasterInputChangesAreToldToTheHost) {
  TestHost h(PluginPath(false));
  ASSERT_NE(h.Open(), nullptr);
  HostStart(h);
  auto told = [&] { return std::count(h.requests.begin(), h.requests.end(), vst2::audioMasterIOChanged); };
  const auto before = told();
  h.SetChunk(WiredProject({2, 1}));
  EXPECT_GT(told(), before);
}
