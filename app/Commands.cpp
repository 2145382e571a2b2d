#include "app/Commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <memory>
#include <vector>

#include "app/Host.h"
#include "audio/WavFile.h"
#include "audio/WriteSample.h"
#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "persist/TextTool.h"
#include "platform/Files.h"
#include "sequencer/MidiFile.h"
#include "shell/VSTPlug.h"
#include "app/SongCommands.h"
#include "sequencer/Tracks.h"

namespace qr {

namespace {

constexpr const char* kUsage =
    "usage: quillrow COMMAND ...\n"
    "  play PROJECT                         play in real time through JACK (Ctrl-C stops)\n"
    "  process PROJECT IN.wav -o OUT.wav    run a WAV file through the project's master input\n"
    "  render PROJECT -o OUT.wav --seconds N  render with no audio input (a song: --seconds optional)\n"
    "      options: --tempo BPM --block FRAMES --rate HZ --midi FILE.mid --bits 16|24|32 --quiet\n"
    "  info FILE                            what a project or a WAV file holds\n"
    "  dump FILE [-o OUT]                   a record stream as readable text\n"
    "  build TEXT -o FILE                   the record stream back from its text\n"
    "  demo [-o OUT.wav] [--project OUT.qrw]  render the built-in demo project (and save it)\n"
    "  new [--sequencer] -o FILE.qrw         an empty project, or one with a sequencer\n";

struct Options {
  std::vector<std::string> positional;
  std::string output, midi;
  double tempo = 0.0, seconds = -1.0, rate = 0.0;
  int block = 512, bits = 32;
  bool quiet = false;
};

bool ParseNumber(const std::string& s, double& v) {
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end && *end == '\0' && !s.empty() && std::isfinite(v);
}

// Parses the options every offline command shares; a message on failure.
std::string ParseOptions(std::span<const std::string> args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](double& v, double lo, double hi) -> std::string {
      if (i + 1 >= args.size()) return a + " needs a value";
      if (!ParseNumber(args[++i], v) || v < lo || v > hi) return "bad value for " + a + ": " + args[i];
      return {};
    };
    std::string e;
    double v = 0;
    if (a == "-o" || a == "--output") {
      if (i + 1 >= args.size()) return a + " needs a file name";
      o.output = args[++i];
    } else if (a == "--midi") {
      if (i + 1 >= args.size()) return a + " needs a file name";
      o.midi = args[++i];
    } else if (a == "--tempo") {
      e = value(o.tempo, 1.0, 999.0);
    } else if (a == "--seconds") {
      e = value(o.seconds, 0.0, 86400.0);
    } else if (a == "--rate") {
      e = value(o.rate, 1000.0, 768000.0);
    } else if (a == "--block") {
      e = value(v, 1.0, 8192.0);
      o.block = static_cast<int>(v);
    } else if (a == "--bits") {
      e = value(v, 16.0, 32.0);
      o.bits = static_cast<int>(v);
      if (o.bits != 16 && o.bits != 24 && o.bits != 32) e = "--bits takes 16, 24 or 32";
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown option " + a;
    } else {
      o.positional.push_back(a);
    }
    if (!e.empty()) return e;
  }
  return {};
}

class Progress {
 public:
  explicit Progress(bool show) : show_(show && isatty(STDERR_FILENO)) {}
  void Update(double fraction) {
    if (!show_) return;
    const int pct = static_cast<int>(fraction * 100.0);
    if (pct == last_) return;
    last_ = pct;
    const int filled = pct * 40 / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(40 - filled), ' ').c_str(), pct);
    std::fflush(stderr);
  }
  ~Progress() {
    if (show_ && last_ >= 0) std::fprintf(stderr, "\n");
  }

 private:
  bool show_;
  int last_ = -1;
};

// Writes float channels to a WAV file through a temporary file in the same
// folder, renamed over the target only when complete.
class WavOut {
 public:
  WavOut(const std::string& path, float rate, int bits, int channels) : path_(path), tmp_(TempName(path)) {
    writer_ = std::make_unique<CWriteSample>(tmp_, rate, bits, channels);
  }
  bool Ok() const { return writer_ && writer_->IsOpen(); }
  // Collects blocks and writes them in large pieces: one write per engine block
  // would cost more in system calls than the engine costs in work.
  bool Append(const float* const* ch, int n) {
    for (int c = 0; c < 2; ++c) pending_[c].insert(pending_[c].end(), ch[c], ch[c] + n);
    return pending_[0].size() < kFlushFrames || Flush();
  }
  bool Finish() {
    const bool ok = Flush() && writer_->Close();
    writer_.reset();
    if (!ok || std::rename(tmp_.c_str(), path_.c_str()) != 0) {
      std::remove(tmp_.c_str());
      return false;
    }
    return true;
  }
  bool Flush() {
    const float* ch[2] = {pending_[0].data(), pending_[1].data()};
    const bool ok = pending_[0].empty() || writer_->AppendFloatFrames(ch, static_cast<int32_t>(pending_[0].size()));
    pending_[0].clear();
    pending_[1].clear();
    return ok;
  }
  static std::string TempName(const std::string& path) {
    std::string name(".");
    name.append(FileNameOf(path)).append(".part");
    const std::string folder = FolderOf(path);
    return JoinPath(folder.empty() ? std::string(".") : folder, name);
  }
  ~WavOut() {
    if (writer_) {
      writer_->Close();
      writer_.reset();
      std::remove(tmp_.c_str());
    }
  }

 private:
  static constexpr size_t kFlushFrames = 32768;
  std::string path_, tmp_;
  std::unique_ptr<CWriteSample> writer_;
  std::vector<float> pending_[2];
};

// Streams a WAV file's frames block by block, so a long file costs neither the
// memory nor the time of loading it whole. Reads what the sample store reads:
// 16-bit and 24-bit PCM and 32-bit float, one or two channels.
class WavIn {
 public:
  bool Open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      error = "cannot read " + path + ": no such file";
      return false;
    }
    scan_ = ScanWav(fd_, st.st_size, WavScanMode::Disk);
    const bool pcm = scan_.formatTag == 1 && (scan_.bits == 16 || scan_.bits == 24);
    const bool flt = scan_.formatTag == 3 && scan_.bits == 32;
    if (!scan_.ok || !(pcm || flt) || scan_.channels < 1 || scan_.channels > 2 || scan_.frames <= 0) {
      std::string why = scan_.error;
      if (why.empty()) why = "not a WAV file the system reads";
      const std::string d = DescribeWav(path);
      if (const auto k = d.find("refused: "); k != std::string::npos) why = d.substr(k + 9, d.find('\n', k) - k - 9);
      error = "cannot read " + path + ": " + why;
      return false;
    }
    return true;
  }
  ~WavIn() {
    if (fd_ >= 0) ::close(fd_);
  }
  float Rate() const { return scan_.rate; }
  int64_t Frames() const { return scan_.frames; }
  // Frames [pos, pos + n) into two channels (a mono file fills both); zeros past the end.
  void Read(int64_t pos, int n, float* l, float* r) {
    const int fb = scan_.bits / 8 * scan_.channels;
    const int64_t have = std::max<int64_t>(0, std::min<int64_t>(n, scan_.frames - pos));
    // Reads ahead in large windows: one read per engine block would cost more
    // in system calls than the block costs in work.
    if (have > 0 && (pos < winStart_ || pos + have > winStart_ + winFrames_)) {
      const int64_t want = std::min<int64_t>(std::max<int64_t>(have, kWindowFrames), scan_.frames - pos);
      raw_.resize(static_cast<size_t>(want * fb));
      const ssize_t got = ::pread(fd_, raw_.data(), raw_.size(), scan_.dataOffset + pos * fb);
      winStart_ = pos;
      winFrames_ = got > 0 ? got / fb : 0;
    }
    const int64_t frames = have > 0 ? std::max<int64_t>(0, std::min<int64_t>(have, winStart_ + winFrames_ - pos)) : 0;
    for (int64_t i = 0; i < frames; ++i) {
      const uint8_t* f = raw_.data() + (pos - winStart_ + i) * fb;
      for (int c = 0; c < 2; ++c) {
        const uint8_t* v = f + (c < scan_.channels ? c : 0) * (scan_.bits / 8);
        float x;
        if (scan_.bits == 16) {
          x = static_cast<float>(static_cast<int16_t>(v[0] | (v[1] << 8))) / 32768.0f;
        } else if (scan_.bits == 24) {
          const int32_t s24 = static_cast<int32_t>((uint32_t{v[0]} << 8) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 24)) >> 8;
          x = static_cast<float>(s24) / 8388608.0f;
        } else {
          std::memcpy(&x, v, 4);
        }
        (c == 0 ? l : r)[i] = x;
      }
    }
    for (int64_t i = frames; i < n; ++i) l[i] = r[i] = 0.0f;
  }

 private:
  static constexpr int64_t kWindowFrames = 32768;
  int fd_ = -1;
  WavScan scan_;
  std::vector<uint8_t> raw_;
  int64_t winStart_ = 0, winFrames_ = 0;
};

// Runs `frames` frames through the plug-in: input from `in` (may be empty),
// output to `wav`, MIDI file events at their frames.
struct OfflineRun {
  StandaloneHost& host;
  int block;
  float rate;
  WavIn* in;
  std::vector<TimedMidiEvent> midi;

  bool Run(int64_t frames, WavOut& wav, bool quiet, std::ostream& err) {
    std::vector<std::vector<float>> ib(2, std::vector<float>(static_cast<size_t>(block)));
    std::vector<std::vector<float>> ob(2, std::vector<float>(static_cast<size_t>(block)));
    float* ip[2] = {ib[0].data(), ib[1].data()};
    float* op[2] = {ob[0].data(), ob[1].data()};
    size_t nextMidi = 0;
    std::vector<std::pair<int32_t, uint32_t>> due;
    Progress bar(!quiet);
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t pos = 0; pos < frames; pos += block) {
      const int n = static_cast<int>(std::min<int64_t>(block, frames - pos));
      if (in) {
        in->Read(pos, n, ib[0].data(), ib[1].data());
      } else {
        std::memset(ib[0].data(), 0, sizeof(float) * static_cast<size_t>(n));
        std::memset(ib[1].data(), 0, sizeof(float) * static_cast<size_t>(n));
      }
      due.clear();
      while (nextMidi < midi.size()) {
        const int64_t at = static_cast<int64_t>(std::floor(midi[nextMidi].seconds * rate));
        if (at >= pos + n) break;
        due.emplace_back(static_cast<int32_t>(std::max<int64_t>(0, at - pos)), midi[nextMidi].msg);
        ++nextMidi;
      }
      host.SendMidi(due);
      host.Process(ip, op, n);
      if (!wav.Append(op, n)) {
        err << "quillrow: error writing the output file\n";
        return false;
      }
      if ((pos / block) % 64 == 0) host.Idle();
      bar.Update(static_cast<double>(pos + n) / static_cast<double>(std::max<int64_t>(frames, 1)));
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!quiet) {
      const double audio = static_cast<double>(frames) / rate;
      err << std::fixed << std::setprecision(1) << "quillrow: " << audio << " s of audio in " << secs << " s ("
          << (secs > 0 ? audio / secs : 0.0) << "x real time)\n";
    }
    return true;
  }
};

bool IsWav(const std::string& path) {
  std::vector<uint8_t> head;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char b[4] = {};
  const size_t n = std::fread(b, 1, 4, f);
  std::fclose(f);
  return n == 4 && std::memcmp(b, "RIFF", 4) == 0;
}

}  // namespace

int CmdProcess(std::span<const std::string> args, std::ostream&, std::ostream& err, bool with_input) {
  Options o;
  if (std::string e = ParseOptions(args, o); !e.empty()) {
    err << "quillrow: " << e << "\n";
    return 2;
  }
  const size_t need = with_input ? 2 : 1;
  if (o.positional.size() != need || o.output.empty()) {
    err << "quillrow: " << (with_input ? "process PROJECT IN.wav -o OUT.wav" : "render PROJECT -o OUT.wav --seconds N")
        << " [options]\n";
    return 2;
  }
  WavIn input;
  float rate = o.rate > 0 ? static_cast<float>(o.rate) : 44100.0f;
  if (with_input) {
    std::string e;
    if (!input.Open(o.positional[1], e)) {
      err << "quillrow: " << e << "\n";
      return 1;
    }
    if (o.rate <= 0) rate = input.Rate();
  }
  std::vector<TimedMidiEvent> midi;
  if (!o.midi.empty()) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(o.midi, bytes, uint64_t{1} << 28)) {
      err << "quillrow: cannot read " << o.midi << "\n";
      return 1;
    }
    const std::string e = ReadSmfEvents(bytes, midi);
    if (e.rfind("Not a MIDI file", 0) == 0 || (midi.empty() && !e.empty())) {
      err << "quillrow: " << o.midi << ": " << e << "\n";
      return 1;
    }
  }
  StandaloneHost host;
  if (!host.Ok()) {
    err << "quillrow: the engine did not start\n";
    return 1;
  }
  host.Configure(rate, o.block, 2, 2);
  std::string e;
  if (!host.OpenProject(o.positional[0], e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  if (o.tempo > 0) host.Plugin().Root().SetTempo(static_cast<float>(o.tempo));
  // A song renders from its start; without --seconds, exactly the stretch it plays.
  int64_t songFrames = 0;
  const bool song = !with_input && StartSongRender(host.Plugin().Root(), rate, songFrames);
  if (!with_input && o.seconds < 0 && !song) {
    err << "quillrow: render PROJECT -o OUT.wav --seconds N: the project has no sequencer\n";
    return 2;
  }
  if (!with_input && o.seconds < 0) o.seconds = static_cast<double>(songFrames) / rate;
  WavOut wav(o.output, rate, o.bits, 2);
  if (!wav.Ok()) {
    err << "quillrow: cannot write " << o.output << "\n";
    return 1;
  }
  const int64_t frames = with_input ? input.Frames() : static_cast<int64_t>(std::llround(o.seconds * rate));
  OfflineRun run{host, o.block, rate, with_input ? &input : nullptr, std::move(midi)};
  if (!run.Run(frames, wav, o.quiet, err)) return 1;
  if (!wav.Finish()) {
    err << "quillrow: cannot write " << o.output << "\n";
    return 1;
  }
  return 0;
}

int CmdInfo(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "quillrow: info FILE\n";
    return 2;
  }
  const std::string& path = args[0];
  if (!FileExists(path)) {
    err << "quillrow: no such file: " << path << "\n";
    return 1;
  }
  if (IsWav(path)) {
    out << DescribeWav(path) << "\n";
    return 0;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, uint64_t{1} << 30)) {
    err << "quillrow: cannot read " << path << "\n";
    return 1;
  }
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
    out << "  " << (i + 1) << "  " << m.TypeKey() << "  \"" << m.id << "\"  at " << m.x << ", " << m.y << "\n";
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
      out << "  " << name(c->Source()) << ":" << c->sourceOut << " -> " << name(m) << ":" << c->destIn << "\n";
  out << "midi cables: " << midiCables << "\n";
  for (const CComp* m : all)
    for (auto& c : m->midiIn)
      out << "  " << name(c->Source()) << ":" << c->sourcePort << " -> " << name(m) << ":" << c->destPort << "\n";
  if (!ok) {
    err << "quillrow: " << path << " did not load completely\n";
    return 1;
  }
  return 0;
}

int RunQuillrow(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    (args.empty() ? err : out) << kUsage;
    return args.empty() ? 2 : 0;
  }
  const std::string& cmd = args[0];
  const auto rest = args.subspan(1);
  if (cmd == "process") return CmdProcess(rest, out, err, true);
  if (cmd == "render") return CmdProcess(rest, out, err, false);
  if (cmd == "info") return CmdInfo(rest, out, err);
  if (cmd == "dump") return RunDump(rest, out, err);
  if (cmd == "build") return RunBuild(rest, out, err);
  if (cmd == "demo") return CmdDemo(rest, out, err);
  if (cmd == "new") return CmdNew(rest, out, err);
  if (cmd == "play") return CmdPlay(rest, out, err);
  err << "quillrow: unknown command " << cmd << "\n" << kUsage;
  return 2;
}

}  // namespace qr
