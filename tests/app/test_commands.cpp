// Finding one's way through `quillrow`: help, version, what each command says
// about bad input, and what `info` recognises.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "app/Commands.h"
#include "tests/app/AppTestSupport.h"

using namespace qr;
using namespace qr::test;

namespace {

// The source tree: QR_TEST_DATA_DIR is its tests/data, which need not exist.
std::string SourceDir() {
  const std::string data = QR_TEST_DATA_DIR;
  return data.substr(0, data.rfind("/tests/"));
}

size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(QuillrowCommands, EveryCommandHasHelpAndTheReadmeListsWhatHelpLists) {
  const std::string dir = TempDir();
  RunResult r = RunQuillrowBinary("--version", dir);
  EXPECT_EQ(r.code, 0);
  const std::string v = r.out.substr(0, std::min<size_t>(r.out.size(), 9));
  EXPECT_TRUE(v == "quillrow " && r.out.size() > 12 && std::isdigit(static_cast<unsigned char>(r.out[9])) &&
              r.out.find('.') != std::string::npos && r.out.back() == '\n')
      << r.out;

  r = RunQuillrowBinary("--help", dir);
  ASSERT_EQ(r.code, 0);
  const std::string readme = Slurp(SourceDir() + "/README.md");
  std::istringstream lines(r.out);
  int listed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  quillrow ", 0) != 0) continue;
    ++listed;
    EXPECT_NE(readme.find("    " + line.substr(2) + "\n"), std::string::npos) << "README lacks: " << line;
  }
  EXPECT_EQ(listed, static_cast<int>(Commands().size()) + 1);

  // `COMMAND --help` wherever it stands, never an error about the other arguments.
  for (const Command& c : Commands()) {
    for (const std::string& args :
         {std::string(c.name) + " --help", std::string(c.name) + " nothere.qrw -h"}) {
      r = RunQuillrowBinary(args, dir);
      EXPECT_EQ(r.code, 0) << args << "\n" << r.err;
      EXPECT_EQ(r.out.rfind("usage: quillrow " + std::string(c.name), 0), 0u) << args << "\n" << r.out;
    }
  }
  // Every option of play is described.
  r = RunQuillrowBinary("play --help", dir);
  for (const char* opt : {"--connect", "--inputs", "--outputs", "--name", "--midi"})
    EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
  // How a rate change is handled is said.
  EXPECT_NE(RunQuillrowBinary("process --help", dir).out.find("resampled"), std::string::npos);
}

// Usage mistakes exit 2 and failures 1; a failure, or a mistake with its own
// message, is said on one line, and a failed run leaves no output behind.
TEST(QuillrowCommands, MistakesAreCaughtEarlyAndSaidOnce) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  ASSERT_TRUE(WriteBytes(dir + "/garbage.wav", {'R', 'I', 'F', 'F', 1, 2, 3}));
  // A project that starts well and breaks: one message, not two.
  std::vector<uint8_t> broken = ChainProject({});
  broken.resize(broken.size() / 2);
  ASSERT_TRUE(WriteBytes(dir + "/broken.qrw", broken));
  struct Case {
    std::string args, says;
    int code;
  };
  const std::string o = " -o " + dir + "/o.wav", out = o + " --seconds 0.1 --quiet";
  const Case cases[] = {
      {"", "", 2},
      {"frobnicate", "", 2},
      {"process", "", 2},
      {"process " + dir + "/p.qrw " + dir + "/missing.wav" + o, "", 1},
      {"process " + dir + "/p.qrw " + dir + "/garbage.wav" + o, "", 1},
      {"render " + dir + "/p.qrw" + o, "", 2},
      {"render " + dir + "/p.qrw" + o + " --seconds 1 --block 0", "", 2},
      {"render " + dir + "/p.qrw" + o + " --seconds 1 --midi " + dir + "/p.qrw", "", 1},
      {"render " + dir + "/nothere.qrw" + o + " --seconds 1", "", 1},
      {"info " + dir + "/nothere", "", 1},
      {"dump " + dir + "/nothere", "", 1},
      {"build " + dir + "/p.qrw", "", 2},  // neither -o nor --check
      // Before any JACK server is looked for.
      {"play " + dir + "/nothere.qrw", "no such project file", 1},
      {"play " + dir, "is a folder", 1},
      {"render " + dir + "/p.qrw" + out + " --block 1.5", "bad value for --block", 2},
      {"render " + dir + "/p.qrw" + out + " --block 64x", "bad value for --block", 2},
      {"render " + dir + "/broken.qrw" + out, "", 1},
      {"info " + dir, "is a folder", 1},
  };
  for (const Case& c : cases) {
    const RunResult r = RunQuillrowBinary(c.args, dir);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << c.args;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    if (c.code == 1 || !c.says.empty()) {
      EXPECT_EQ(Count(r.err, "\n"), 1u) << c.args << "\n" << r.err;
    }
  }
  EXPECT_FALSE(FileExists(dir + "/o.wav"));
}

TEST(QuillrowCommands, ACorruptMidiFileStopsTheRunWithItsMessage) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  std::vector<uint8_t> good = MidiFileBytes({{0, 0x90, 60, 100}, {480, 0x80, 60, 0}});
  // A data byte where the first status should be.
  std::vector<uint8_t> bad = good;
  bad[23] = 0x3C;
  // The track runs past the end of the file.
  std::vector<uint8_t> cut(good.begin(), good.end() - 3);
  ASSERT_TRUE(WriteBytes(dir + "/good.mid", good));
  ASSERT_TRUE(WriteBytes(dir + "/bad.mid", bad));
  ASSERT_TRUE(WriteBytes(dir + "/cut.mid", cut));
  const std::string render = "render " + dir + "/p.qrw -o " + dir + "/o.wav --seconds 0.1 --quiet --midi ";
  EXPECT_EQ(RunQuillrowBinary(render + dir + "/good.mid", dir).code, 0);
  RunResult r = RunQuillrowBinary(render + dir + "/bad.mid", dir);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.mid: Invalid file format (3)"), std::string::npos) << r.err;
  r = RunQuillrowBinary(render + dir + "/cut.mid", dir);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cut.mid: "), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir + "/o.wav.part"));
}

TEST(QuillrowCommands, InfoNamesWhatItIsGiven) {
  const std::string dir = TempDir();
  // Two beats at 120 bpm, a tempo event of 1,000,000 µs a beat, two beats at
  // 60 bpm: 1 s + 2 s. Notes on channels 1 and 10.
  std::vector<uint8_t> trk = {0x00, 0x90, 60,   100,  0x00, 0x99, 36,   100,  0x83, 0x60, 0x80, 60,
                              0,    0x83, 0x60, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, 0x00, 0x90, 62,
                              90,   0x87, 0x40, 0x80, 62,   0,    0x00, 0xFF, 0x2F, 0x00};
  std::vector<uint8_t> file = {
      'M', 'T',  'h',  'd', 0,   0,   0,   6, 0, 0, 0,
      1,   0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0, 0, static_cast<uint8_t>(trk.size())};
  file.insert(file.end(), trk.begin(), trk.end());
  ASSERT_TRUE(WriteBytes(dir + "/song.mid", file));
  RunResult r = RunQuillrowBinary("info " + dir + "/song.mid", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* want :
       {"format: 0", "tracks: 1", "division: 480 ticks per quarter note", "tempo: 120.00 bpm",
        "length: 3.000 s, 1.00 bars of 4/4", "notes: 3", "channel 1: 2", "channel 10: 1"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;

  ASSERT_TRUE(WriteBytes(dir + "/notes.txt", {'h', 'e', 'l', 'l', 'o', 0}));
  r = RunQuillrowBinary("info " + dir + "/notes.txt", dir);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("unknown kind of file; first bytes 68 65 6c 6c 6f 00 |hello.|"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("project"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("error reading"), std::string::npos) << r.err;

  // A module file is named as one, with its type.
  CMemStream m;
  m.WriteKeyString("CType", "CDelay");
  m.WriteKeyString("Id", "Echo");
  m.WriteKeyInt("X", 5);
  m.WriteEnd();
  ASSERT_TRUE(WriteBytes(dir + "/echo.qrm", m.Data()));
  r = RunQuillrowBinary("info " + dir + "/echo.qrm", dir);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("module file"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("type: CDelay"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("id: \"Echo\""), std::string::npos) << r.out;
}

TEST(QuillrowCommands, TheProgressBarEndsItsLineBeforeTheSummary) {
  if (!HaveProgram("script")) GTEST_SKIP() << "script (util-linux) is not installed";
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  // A terminal for standard error, as a user has.
  const std::string cmd = "script -qec '" + std::string(QR_QUILLROW) + " render " + dir + "/p.qrw -o " + dir +
                          "/o.wav --seconds 2' /dev/null > " + dir + "/tty.txt";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string tty = Slurp(dir + "/tty.txt");
  EXPECT_NE(tty.find("100%"), std::string::npos) << tty;
  EXPECT_EQ(tty.find("%quillrow"), std::string::npos) << tty;
  // The bar's line ends before the summary starts: "100%", perhaps "\r", then newlines.
  const size_t bar = tty.find("100%");
  ASSERT_NE(bar, std::string::npos) << tty;
  size_t at = bar + 4;
  if (at < tty.size() && tty[at] == '\r') ++at;
  const size_t text = tty.find_first_not_of('\n', at);
  EXPECT_TRUE(text > at && text != std::string::npos &&
              tty.compare(text, 24, "quillrow: 2.0 s of audio") == 0)
      << tty;
}
