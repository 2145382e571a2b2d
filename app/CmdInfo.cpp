// `quillrow info FILE`: recognises what it is given by its first bytes and
// describes it. A new kind of file joins the list kKinds with one row.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <map>
#include <sstream>
#include <vector>

#include "app/Commands.h"
#include "app/Host.h"
#include "app/SongCommands.h"
#include "app/SoundFontCommands.h"
#include "audio/WavFile.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "sequencer/MidiFile.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

constexpr uint64_t kMaxInfoBytes = uint64_t{1} << 30;

using Head = std::span<const uint8_t>;

bool HeadIs(Head h, size_t at, const char* magic) {
  const size_t n = std::strlen(magic);
  return h.size() >= at + n && std::memcmp(h.data() + at, magic, n) == 0;
}

int32_t I32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The first record's key, when the bytes start like a record stream.
std::string FirstKey(Head h) {
  if (h.size() < 8) return {};
  const int32_t n = I32(h.data());
  if (n < 1 || n > 64 || h.size() < 8 + static_cast<size_t>(n)) return {};
  std::string key(reinterpret_cast<const char*>(h.data() + 4), static_cast<size_t>(n));
  for (char c : key)
    if (c < 0x21 || c > 0x7E) return {};
  return key;
}

// "CType" as first record: a module file, unless it is the root group of a
// project saved without its leading records.
std::string ModuleFileType(Head h) {
  if (FirstKey(h) != "CType" || h.size() < 17) return {};
  const int32_t len = I32(h.data() + 13);
  if (len < 1 || len > 64 || h.size() < 17 + static_cast<size_t>(len)) return {};
  return std::string(reinterpret_cast<const char*>(h.data() + 17), static_cast<size_t>(len));
}

bool IsProject(Head h) {
  const std::string key = FirstKey(h);
  return key == "panlaw" || key == "Page" || (key == "CType" && ModuleFileType(h) == "CGroup");
}
bool IsModuleFile(Head h) {
  const std::string t = ModuleFileType(h);
  return !t.empty() && t != "CGroup";
}
bool IsWav(Head h) { return (HeadIs(h, 0, "RIFF") || HeadIs(h, 0, "RF64")) && HeadIs(h, 8, "WAVE"); }
bool IsMidi(Head h) { return HeadIs(h, 0, "MThd"); }

bool ReadAll(const std::string& path, std::vector<uint8_t>& bytes, std::ostream& err) {
  if (ReadWholeFile(path, bytes, kMaxInfoBytes)) return true;
  err << "quillrow: cannot read " << path << "\n";
  return false;
}

int DescribeProject(const std::string& path, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> bytes;
  if (!ReadAll(path, bytes, err)) return 1;
  ConsoleSink sink;
  IMessageSink* prev = SetMessageSink(&sink);
  CGroup root(nullptr);
  root.AddAudioIn(2);
  CProject project;
  CMemStream s(std::move(bytes));
  const bool ok = LoadProject(root, project, s);
  SetMessageSink(prev);
  out << "project: " << path << "\n";
  out << "tempo: " << root.pendingTempo << " bpm\n";
  out << "modules: " << root.children.size() << "\n";
  for (size_t i = 0; i < root.children.size(); ++i) {
    const CComp& m = *root.children[i];
    out << "  " << (i + 1) << "  " << m.TypeKey() << "  \"" << m.id << "\"  at " << m.x << ", " << m.y
        << "\n";
    if (const auto* song = dynamic_cast<const CTracks*>(&m)) DescribeSong(*song, out);
  }
  auto name = [&](const CComp* m) { return std::to_string(root.NumberOf(m)); };
  size_t audio = 0, midiCables = 0;
  std::vector<const CComp*> all{&root};
  for (auto& c : root.children) all.push_back(c.get());
  for (const CComp* m : all) audio += m->audioInCables.size(), midiCables += m->midiIn.size();
  out << "audio cables: " << audio << "\n";
  for (const CComp* m : all)
    for (auto& c : m->audioInCables)
      out << "  " << name(c->Source()) << ":" << c->sourceOut << " -> " << name(m) << ":" << c->destIn
          << "\n";
  out << "midi cables: " << midiCables << "\n";
  for (const CComp* m : all)
    for (auto& c : m->midiIn)
      out << "  " << name(c->Source()) << ":" << c->sourcePort << " -> " << name(m) << ":" << c->destPort
          << "\n";
  if (!ok || sink.errors > 0) {
    err << "quillrow: " << path << " did not load completely\n";
    return 1;
  }
  return 0;
}

int DescribeModuleFile(const std::string& path, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> bytes;
  if (!ReadAll(path, bytes, err)) return 1;
  out << "module file: " << path << "\n";
  out << "type: " << ModuleFileType(bytes) << "\n";
  // The base records name and place the module; the rest is the module's own.
  size_t pos = 0, records = 0;
  while (pos + 8 <= bytes.size()) {
    const int32_t kl = I32(bytes.data() + pos);
    if (kl < 0 || static_cast<size_t>(kl) > bytes.size() - pos - 8) break;
    const std::string key(reinterpret_cast<const char*>(bytes.data() + pos + 4), static_cast<size_t>(kl));
    const int32_t sz = I32(bytes.data() + pos + 4 + kl);
    const size_t v = pos + 8 + static_cast<size_t>(kl);
    if (sz < 0 || static_cast<size_t>(sz) > bytes.size() - v) break;
    ++records;
    if (key == "Id" && sz >= 4 && I32(bytes.data() + v) == sz - 4)
      out << "id: \""
          << std::string(reinterpret_cast<const char*>(bytes.data() + v + 4), static_cast<size_t>(sz - 4))
          << "\"\n";
    pos = v + static_cast<size_t>(sz);
    if (key == "CEnd") break;
  }
  out << "records: " << records << "\n";
  return 0;
}

int DescribeWavFile(const std::string& path, std::ostream& out, std::ostream&) {
  out << DescribeWav(path) << "\n";
  return 0;
}

// What a Standard MIDI File holds, from the one reader the program plays with.
class MidiSummary final : public SmfHandler {
 public:
  void Header(int format, int tracks, int division) override {
    format_ = format, tracks_ = tracks, division_ = division;
  }
  void Meta(int64_t tick, int type, std::span<const uint8_t> d) override {
    last_ = std::max(last_, tick);
    if (type == 0x51 && d.size() == 3) tempos_[tick] = (d[0] << 16) | (d[1] << 8) | d[2];
    if (type == 0x58 && d.size() >= 2 && !haveMeter_) {
      haveMeter_ = true;
      num_ = d[0];
      den_ = 1 << std::min<int>(d[1], 6);
    }
  }
  void Channel(int64_t tick, uint8_t status, uint8_t, uint8_t data2) override {
    last_ = std::max(last_, tick);
    if ((status & 0xF0) == 0x90 && data2 > 0) ++notes_[status & 15];
  }
  void Print(std::ostream& out) const {
    out << "format: " << format_ << "\ntracks: " << tracks_ << "\n";
    if (division_ & 0x8000)
      out << "division: SMPTE " << -static_cast<int8_t>(division_ >> 8) << " frames/s, " << (division_ & 0xFF)
          << " ticks/frame\n";
    else
      out << "division: " << division_ << " ticks per quarter note\n";
    const int first = tempos_.empty() || tempos_.begin()->first > 0 ? 500000 : tempos_.begin()->second;
    out << std::fixed << std::setprecision(2) << "tempo: " << 60e6 / first << " bpm";
    const size_t changes = tempos_.size() - (tempos_.empty() || tempos_.begin()->first > 0 ? 0 : 1);
    if (changes > 0) out << ", " << changes << " change" << (changes > 1 ? "s" : "") << " later";
    out << "\n";
    // Seconds through the tempo map; 120 bpm until the first tempo event.
    double secs = 0.0;
    int64_t at = 0;
    int usec = 500000;
    for (const auto& [tick, t] : tempos_) {
      if (tick >= last_) break;
      secs += static_cast<double>(tick - at) / kTicksPerBeat * usec / 1e6;
      at = tick;
      usec = t;
    }
    secs += static_cast<double>(last_ - at) / kTicksPerBeat * usec / 1e6;
    const double barTicks = kTicksPerBeat * 4.0 * num_ / den_;
    out << std::setprecision(3) << "length: " << secs << " s, " << std::setprecision(2)
        << static_cast<double>(last_) / barTicks << " bars of " << num_ << "/" << den_ << "\n";
    int total = 0;
    for (int n : notes_) total += n;
    out << "notes: " << total << "\n";
    for (int c = 0; c < 16; ++c)
      if (notes_[static_cast<size_t>(c)])
        out << "  channel " << (c + 1) << ": " << notes_[static_cast<size_t>(c)] << "\n";
    out << std::defaultfloat;
  }

 private:
  int format_ = 0, tracks_ = 0, division_ = 0, num_ = 4, den_ = 4;
  bool haveMeter_ = false;
  int64_t last_ = 0;
  std::map<int64_t, int> tempos_;
  std::array<int, 16> notes_{};
};

int DescribeMidiFile(const std::string& path, std::ostream& out, std::ostream& err) {
  std::vector<uint8_t> bytes;
  if (!ReadAll(path, bytes, err)) return 1;
  MidiSummary summary;
  const std::string e = ReadSmf(bytes, summary);
  if (!e.empty()) {
    err << "quillrow: " << path << ": " << e << "\n";
    return 1;
  }
  out << "MIDI file: " << path << "\n";
  summary.Print(out);
  return 0;
}

struct FileKind {
  bool (*matches)(Head head);
  int (*describe)(const std::string& path, std::ostream& out, std::ostream& err);
};

// Checked in order; the first match describes the file.
bool IsSoundFont(Head h) {
  return h.size() >= 12 && std::memcmp(h.data(), "RIFF", 4) == 0 && std::memcmp(h.data() + 8, "sfbk", 4) == 0;
}

constexpr FileKind kKinds[] = {
    {&IsProject, &DescribeProject}, {&IsSoundFont, &SoundFontInfo}, {&IsModuleFile, &DescribeModuleFile},
    {&IsWav, &DescribeWavFile},     {&IsMidi, &DescribeMidiFile},
};

constexpr size_t kHeadBytes = 64;

}  // namespace

int CmdInfo(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "usage: quillrow info FILE\n";
    return 2;
  }
  const std::string& path = args[0];
  if (IsDirectory(path)) {
    err << "quillrow: " << path << " is a folder\n";
    return 1;
  }
  std::vector<uint8_t> head(kHeadBytes);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    err << "quillrow: no such file: " << path << "\n";
    return 1;
  }
  head.resize(std::fread(head.data(), 1, head.size(), f));
  std::fclose(f);
  for (const FileKind& k : kKinds)
    if (k.matches(head)) return k.describe(path, out, err);
  std::ostringstream hex, text;
  const size_t shown = std::min<size_t>(head.size(), 16);
  for (size_t i = 0; i < shown; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", head[i]);
    hex << (i ? " " : "") << b;
    text << (head[i] >= 0x20 && head[i] < 0x7F ? static_cast<char>(head[i]) : '.');
  }
  err << "quillrow: " << path << ": unknown kind of file; "
      << (shown ? "first bytes " + hex.str() + " |" + text.str() + "|" : std::string("it is empty")) << "\n";
  return 1;
}

}  // namespace qr
