// The text form as `quillrow dump` and `quillrow build` show it to a user.
#include <gtest/gtest.h>

#include "audio/AudioPart.h"
#include "graph/ModuleTypes.h"
#include "midifx/Chords.h"
#include "midipart/MidiPart2.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ModuleBlock.h"

using namespace qr;
using namespace qr::test;

namespace {

// A sample's audio, the one record the text form leaves as hex: "data hex ...".
bool IsRawAudioLine(const std::string& line) {
  const size_t at = line.find_first_not_of(' ');
  return at != std::string::npos && line.compare(at, 9, "data hex ") == 0;
}

// Every module type with some of everything it can hold.
std::vector<std::unique_ptr<CComp>> EveryModule(CGroup& root, const std::string& dir) {
  std::vector<std::unique_ptr<CComp>> all;
  for (const char* key : {"CArp", "CChords", "CMPatcher", "CMIDIChs", "CMixer", "CAPart", "CMPart", "CEnv",
                          "CDelay", "Ceq", "CGroove"}) {
    std::unique_ptr<CComp> m = CreateModule(key, &root);
    if (!m) continue;  // a type this build does not have yet
    if (auto* mp = dynamic_cast<CMIDIPart2*>(m.get())) {
      auto* part = static_cast<CMIDIPart*>(mp->AddPart());
      part->events.Insert(0, 0x643C90, 240);
      part->events.Insert(480, 0x7F40B0, 0);
    } else if (auto* ap = dynamic_cast<CAudioPart2*>(m.get())) {
      WriteFloatWav(dir + "/s.wav", {0.25f, -0.5f, 0.75f, 0.0f}, 44100);
      ap->InsertSample(dir + "/s.wav");
      auto* part = static_cast<CAudioPart3*>(ap->AddPart());
      part->AddLane();
      CAudioClip& clip = part->AppendClip(0);
      clip.last = 4;
      clip.AddRampPoint(1.0f, 0.5f);
    } else if (auto* ch = dynamic_cast<CChords*>(m.get())) {
      CChord& c = ch->AddChord(60);
      c.Offset(4) = 100;
      c.events.Insert(0, 0x643C90, 120);
    }
    all.push_back(std::move(m));
  }
  return all;
}

}  // namespace

TEST(QuillrowDump, EveryRecordOfEveryModuleReadsByNameAndKind) {
  const std::string dir = TempDir();
  CGroup root(nullptr);
  int checked = 0;
  for (auto& m : EveryModule(root, dir)) {
    const std::string file = dir + "/" + m->TypeKey() + ".qrm";
    ASSERT_TRUE(WriteBytes(file, SaveBlock(*m)));
    const RunResult r = RunQuillrowBinary("dump " + file, dir);
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      // Only the frames of an embedded sample stay hex.
      const bool rawAudio = IsRawAudioLine(line);
      EXPECT_TRUE(rawAudio || line.find(" hex ") == std::string::npos) << m->TypeKey() << ": " << line;
      EXPECT_EQ(line.find("!tail"), std::string::npos) << m->TypeKey() << ": " << line;
    }
    // It all builds back to the same bytes, every key known where it stands.
    ASSERT_EQ(RunQuillrowBinary("dump " + file + " -o " + dir + "/m.txt", dir).code, 0);
    const RunResult b = RunQuillrowBinary("build " + dir + "/m.txt -o " + dir + "/m.qrm", dir);
    ASSERT_EQ(b.code, 0);
    EXPECT_EQ(b.err, "") << m->TypeKey();
    EXPECT_EQ(Slurp(dir + "/m.qrm"), Slurp(file)) << m->TypeKey();
    ++checked;
  }
  EXPECT_GE(checked, 11);

  // A whole project: the root, the master input, cables and host parameters.
  ASSERT_EQ(RunQuillrowBinary("demo -o " + dir + "/d.wav --project " + dir + "/d.qrw", dir).code, 0);
  const RunResult project = RunQuillrowBinary("dump " + dir + "/d.qrw", dir);
  std::istringstream lines(project.out);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(IsRawAudioLine(line) || line.find(" hex ") == std::string::npos) << line;
}

TEST(QuillrowDump, NotesReadAsNamesAtTheirTicksAndSampleHeadersAsFields) {
  const std::string dir = TempDir();
  CGroup root(nullptr);
  for (auto& m : EveryModule(root, dir))
    ASSERT_TRUE(WriteBytes(dir + "/" + m->TypeKey() + ".qrm", SaveBlock(*m)));
  const std::string part = RunQuillrowBinary("dump " + dir + "/CMPart.qrm", dir).out;
  EXPECT_NE(part.find("MPartEvents events {\n    @0 on 1 C3 100 len 240\n    @480 cc 1 64 127\n  }\n"),
            std::string::npos)
      << part;
  EXPECT_NE(part.find("MPEvDa midi on 1 C3 100\n"), std::string::npos) << part;
  const std::string chords = RunQuillrowBinary("dump " + dir + "/CChords.qrm", dir).out;
  EXPECT_NE(chords.find("ChordEvents events {\n    @0 on 1 C3 100 len 120\n  }"), std::string::npos)
      << chords;
  const std::string audio = RunQuillrowBinary("dump " + dir + "/CAPart.qrm", dir).out;
  for (const char* want :
       {"    rate float 44100\n", "    chs int 2\n", "    frames int 4\n", "    data hex 0000803e"})
    EXPECT_NE(audio.find(want), std::string::npos) << want << "\n" << audio;

  // Hand-written events and messages build to the stored form.
  const std::string text =
      "CType str \"CMPart\"\n"
      "  MPEvDa midi bend 16 8192 port 2\n"
      "  MPartEvents events {\n"
      "    @960 on 10 C#-2 1 len 10\n"
      "    @900 raw 000000f8\n"
      "  }\n"
      "CEnd\n";
  ASSERT_TRUE(WriteBytes(dir + "/hand.txt", std::vector<uint8_t>(text.begin(), text.end())));
  ASSERT_EQ(RunQuillrowBinary("build " + dir + "/hand.txt -o " + dir + "/hand.qrm", dir).code, 0);
  CMemStream want;
  want.WriteKeyString("CType", "CMPart");
  want.WriteKeyInt("MPEvDa", static_cast<int32_t>(0x024000EFu));
  want.WriteKey("MPartEvents", 24);
  for (int32_t v : {960, 0x00010199, 10, -60, 0xF8, 0}) want.WriteInt(v);
  want.WriteEnd();
  const std::vector<uint8_t>& w = want.Data();
  EXPECT_EQ(Slurp(dir + "/hand.qrm"), std::string(w.begin(), w.end()));
}

TEST(QuillrowDump, BuildRefusesWrongKindsAndWarnsOfUnknownKeysAndRepeatedCables) {
  const std::string dir = TempDir();
  auto write = [&](const std::string& name, const std::string& text) {
    ASSERT_TRUE(WriteBytes(dir + "/" + name, std::vector<uint8_t>(text.begin(), text.end())));
  };
  write("kind.txt", "panlaw int 0\nCType str \"CGroup\"\n  Tempo int 120\nCEnd\n");
  RunResult r = RunQuillrowBinary("build " + dir + "/kind.txt -o " + dir + "/kind.qrw", dir);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("line 3: Tempo takes a value of kind float, not int"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(dir + "/kind.qrw"));

  write("warn.txt",
        "panlaw int 0\n"
        "CType str \"CGroup\"\n"
        "  Tmepo float 120\n"
        "CEnd\n"
        "CType str \"CMidiIn\"\n"
        "CEnd\n"
        "ACable2 ints 0 0 1 0\n"
        "MCable ints 0 0 1 0\n"
        "ACable2 ints 0 0 1 0\n"
        "Homemade int 3\n");  // at the top level, outside any module: no warning
  r = RunQuillrowBinary("build " + dir + "/warn.txt --check", dir);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: line 3: unknown key 'Tmepo' in a CGroup block"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("warning: line 9: the same cable as on line 7"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_FALSE(FileExists(dir + "/warn.qrw"));
  r = RunQuillrowBinary("build " + dir + "/warn.txt -o " + dir + "/warn.qrw", dir);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(FileExists(dir + "/warn.qrw"));
}

TEST(QuillrowDump, HostParametersAtTheirDefaultFoldIntoOneLineAndBuildBack) {
  const std::string dir = TempDir();
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  const RunResult r = RunQuillrowBinary("dump " + dir + "/p.qrw -o " + dir + "/p.txt", dir);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string text = Slurp(dir + "/p.txt");
  EXPECT_NE(text.find("\n#x128 prccv float 0\n"), std::string::npos) << text;
  size_t lines = 0;
  for (size_t p = text.find("prccv"); p != std::string::npos; p = text.find("prccv", p + 1)) ++lines;
  EXPECT_EQ(lines, 1u);
  ASSERT_EQ(RunQuillrowBinary("build " + dir + "/p.txt -o " + dir + "/q.qrw", dir).code, 0);
  EXPECT_EQ(Slurp(dir + "/q.qrw"), Slurp(dir + "/p.qrw"));
}
