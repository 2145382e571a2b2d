// Where `-o` writes, what the output level report says, and program changes
// that switch project files in the middle of an offline run.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "app/WavOut.h"
#include "shell/ProgFiles.h"
#include "tests/app/AppTestSupport.h"

extern char** environ;

using namespace qr;
using namespace qr::test;

namespace {

bool IsLink(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

mode_t TypeOf(const std::string& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

constexpr size_t kFrames = 4410;  // 0.1 s at 44.1 kHz
const std::string kRender = " -o OUT --seconds 0.1 --quiet";

std::string Render(const std::string& dir, const std::string& out) {
  std::string a = "render " + dir + "/p.qrw" + kRender;
  return a.replace(a.find("OUT"), 3, out);
}

}  // namespace

TEST(QuillrowOutput, SpecialTargetsAreWrittenStraightAndLinksFollowed) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  const size_t bytes = WavHeader(44100.0f, 32, 2, kFrames).size() + kFrames * 8;

  // Standard output, usable in a pipe.
  RunResult r = RunQuillrowBinary(Render(dir, "-"), dir);
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(r.out.size(), bytes);
  EXPECT_EQ(r.out.substr(0, 4), "RIFF");
  if (HaveProgram("sox")) {
    EXPECT_EQ(std::system((std::string(QR_QUILLROW) + " " + Render(dir, "-") + " | sox -t wav - " + dir +
                           "/piped.wav 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(std::system(("test \"$(soxi -s " + dir + "/piped.wav)\" = " + std::to_string(kFrames)).c_str()),
              0);
  }

  // A symlink stays a link; the file it names gets the audio.
  ASSERT_TRUE(WriteBytes(dir + "/target.wav", {1, 2, 3}));
  ASSERT_EQ(::symlink("target.wav", (dir + "/link.wav").c_str()), 0);
  r = RunQuillrowBinary(Render(dir, dir + "/link.wav"), dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(IsLink(dir + "/link.wav"));
  EXPECT_EQ(Slurp(dir + "/target.wav").size(), bytes);

  // A FIFO stays a FIFO and its reader gets the whole file.
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  const std::string cmd = "cat " + dir + "/fifo > " + dir + "/fromfifo.wav & " + std::string(QR_QUILLROW) +
                          " " + Render(dir, dir + "/fifo") + "; wait";
  ASSERT_EQ(std::system(("bash -c '" + cmd + "'").c_str()), 0);
  EXPECT_EQ(TypeOf(dir + "/fifo"), S_IFIFO);
  EXPECT_EQ(Slurp(dir + "/fromfifo.wav").size(), bytes);

  // A character device (a private twin of /dev/null, where we may make one).
  if (::mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    r = RunQuillrowBinary(Render(dir, dir + "/null"), dir);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(TypeOf(dir + "/null"), S_IFCHR);
  }

  // A regular file is replaced whole, keeping its permissions; no temporary file stays.
  ASSERT_TRUE(WriteBytes(dir + "/plain.wav", {1}));
  ASSERT_EQ(::chmod((dir + "/plain.wav").c_str(), 0640), 0);
  ASSERT_EQ(RunQuillrowBinary(Render(dir, dir + "/plain.wav"), dir).code, 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/plain.wav").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(static_cast<size_t>(st.st_size), bytes);
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}

TEST(QuillrowOutput, TheLimitToOneIsExactAndClippedSamplesAreReported) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  const float above = std::nextafter(1.0f, 2.0f);
  // Exactly ±1 passes untouched and uncounted; the next float out is clamped and counted.
  const std::vector<float> in = {0.5f, 1.0f, -1.0f, above, -above, 2.0f, -3.0f, 0.25f};
  ASSERT_TRUE(WriteFloatWav(dir + "/in.wav", in, 44100));
  RunResult r =
      RunQuillrowBinary("process " + dir + "/p.qrw " + dir + "/in.wav -o " + dir + "/out.wav --quiet", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<float> want = {0.5f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 0.25f};
  const auto out = ReadFloatWavData(dir + "/out.wav");
  ASSERT_EQ(out.size(), want.size() * 2);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(out[i * 2], want[i]) << i;
  EXPECT_NE(r.err.find("clipped 8 samples"), std::string::npos) << r.err;  // 4 a channel
  EXPECT_NE(r.err.find("+9.5 dBFS"), std::string::npos) << r.err;          // the peak of 3.0

  // A signal that touches ±1 but never passes it gives no warning, and the
  // summary names its peak.
  ASSERT_TRUE(WriteFloatWav(dir + "/full.wav", {1.0f, -1.0f, 0.5f}, 44100));
  r = RunQuillrowBinary("process " + dir + "/p.qrw " + dir + "/full.wav -o " + dir + "/out.wav", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("clipped"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("peak +0.0 dBFS"), std::string::npos) << r.err;
}

TEST(QuillrowOutput, PastFourGibibytesTheHeaderIsRf64) {
  // Four gibibytes of audio are out of reach for a test; the limit is moved
  // down so that a few frames cross it, and sox reads what we wrote.
  const std::string dir = TempDir();
  OutputFile f;
  std::string e;
  ASSERT_TRUE(f.Open(dir + "/big.wav", e)) << e;
  const int64_t frames = 1000;
  WavWriter w(f, 48000.0f, 32, 2, frames, /*riffLimit=*/4000);
  std::vector<float> l(frames, 0.5f), r(frames, -0.5f);
  const float* ch[2] = {l.data(), r.data()};
  ASSERT_TRUE(w.Append(ch, static_cast<int>(frames)));
  ASSERT_TRUE(w.Finish() && f.Commit());
  const std::string b = Slurp(dir + "/big.wav");
  ASSERT_EQ(b.substr(0, 4), "RF64");
  uint64_t data = 0, count = 0;
  std::memcpy(&data, b.data() + 28, 8);
  std::memcpy(&count, b.data() + 36, 8);
  EXPECT_EQ(data, 8000u);
  EXPECT_EQ(count, 1000u);
  // Right below the limit the plain header stays.
  const uint64_t plainRiff = WavHeader(48000.0f, 32, 2, 1000).size() - 8 + 8000;
  EXPECT_EQ(WavHeader(48000.0f, 32, 2, 1000, plainRiff)[1], 'I');
  EXPECT_EQ(WavHeader(48000.0f, 32, 2, 1000, plainRiff - 1)[1], 'F');
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  EXPECT_EQ(std::system(("test \"$(soxi -s " + dir + "/big.wav)\" = 1000").c_str()), 0);
}

TEST(QuillrowOutput, AProgramChangeSwitchesTheProjectFromTheNextBlock) {
  const std::string dir = TempDir();
  // "silent" lets nothing through; "through" passes the input on.
  {
    CGroup root(nullptr);
    root.AddAudioIn(2);
    auto mi = std::make_unique<CMasterIn>(&root);
    root.masterIn = static_cast<CMasterIn*>(root.AddChild(std::move(mi)));
    CProject project;
    CMemStream s;
    SaveProject(root, project, s);
    ASSERT_TRUE(WriteBytes(dir + "/silent.qrw", s.Data()));
  }
  ASSERT_TRUE(WriteBytes(dir + "/through.qrw", ChainProject({})));
  ASSERT_EQ(::mkdir((dir + "/cfg").c_str(), 0700), 0);
  CProgFiles list;
  list.enabled = 1;
  list.files = {{dir + "/through.qrw"}};
  ASSERT_TRUE(list.Save(dir + "/cfg/memory.dat"));
  // Program change 0 one second in (tick 960 at 120 bpm).
  ASSERT_TRUE(WriteBytes(dir + "/pc.mid", MidiFileBytes({{960, 0xC0, 0, 0}})));
  for (const uint32_t rate : {44100u, 48000u}) {
    ASSERT_TRUE(WriteFloatWav(dir + "/in.wav", std::vector<float>(rate * 3 / 2, 0.5f), rate));
    for (const int block : {1, 7, 64, 4096}) {
      const RunResult r =
          RunQuillrowBinary("process " + dir + "/silent.qrw " + dir + "/in.wav -o " + dir +
                                "/out.wav --quiet --midi " + dir + "/pc.mid --block " + std::to_string(block),
                            dir, "QUILLROW_CONFIG_DIR=" + dir + "/cfg");
      ASSERT_EQ(r.code, 0) << r.err;
      const auto out = ReadFloatWavData(dir + "/out.wav");
      const size_t changeBlock = rate / static_cast<size_t>(block);  // the block holding frame `rate`
      const size_t first = (changeBlock + 1) * static_cast<size_t>(block);
      ASSERT_GT(out.size(), first * 2);
      EXPECT_EQ(out[(first - 1) * 2], 0.0f) << rate << " " << block;
      EXPECT_EQ(out[first * 2], 0.5f) << rate << " " << block;
    }
  }
  // Offline runs leave the "Recent" list alone.
  EXPECT_EQ(Slurp(dir + "/cfg/Quillrow.ini").find("through.qrw"), std::string::npos);
}

TEST(QuillrowOutput, AnInputAtAnotherRateIsResampledNotRelabelled) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  std::vector<float> sine(44100);
  for (size_t i = 0; i < sine.size(); ++i)
    sine[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * i / 44100.0));
  ASSERT_TRUE(WriteFloatWav(dir + "/in.wav", sine, 44100));
  for (const int rate : {48000, 22050}) {
    const RunResult r = RunQuillrowBinary("process " + dir + "/p.qrw " + dir + "/in.wav -o " + dir +
                                              "/out.wav --quiet --rate " + std::to_string(rate),
                                          dir);
    ASSERT_EQ(r.code, 0) << r.err;
    const auto out = ReadFloatWavData(dir + "/out.wav");
    ASSERT_EQ(out.size(), 2u * static_cast<size_t>(rate));  // still one second
    // Rising zero crossings over the middle half second: 1 kHz stays 1 kHz
    // (a relabelled file would give 1088 or 500).
    int rising = 0;
    for (size_t i = rate / 4; i < static_cast<size_t>(rate) * 3 / 4; ++i)
      rising += out[(i - 1) * 2] < 0.0f && out[i * 2] >= 0.0f;
    EXPECT_NEAR(rising, 500, 1) << rate;
    const std::string b = Slurp(dir + "/out.wav");
    uint32_t headerRate = 0;
    std::memcpy(&headerRate, b.data() + 24, 4);
    EXPECT_EQ(headerRate, static_cast<uint32_t>(rate));
  }
}

TEST(QuillrowOutput, CtrlCDuringARenderLeavesNeitherTheOutputNorItsTemporaryFile) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  ASSERT_TRUE(WriteBytes(dir + "/long.wav", {'o', 'l', 'd'}));
  // A day of audio: still running when the interrupt comes.
  const std::string project = dir + "/p.qrw", out = dir + "/long.wav";
  const char* argv[] = {QR_QUILLROW, "render", project.c_str(), "-o",   out.c_str(),
                        "--seconds", "86400",  "--quiet",       nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, QR_QUILLROW, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(Slurp(dir + "/long.wav"), "old");
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}
