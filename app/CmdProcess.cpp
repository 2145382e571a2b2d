// `quillrow process` and `quillrow render`: the project offline, through the
// one offline loop.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "app/Commands.h"
#include "app/Offline.h"
#include "app/Output.h"
#include "app/SongCommands.h"
#include "app/SoundFontCommands.h"
#include "platform/Files.h"
#include "shell/VSTPlug.h"

namespace qr {

namespace {

struct Options {
  std::vector<std::string> positional;
  std::string output, midi, soundfont;
  double tempo = 0.0, seconds = -1.0, rate = 0.0;
  int block = 512, bits = 32, cores = 1;
  bool quiet = false;
};

// A message on failure.
std::string ParseOptions(std::span<const std::string> args, Options& o, const char* cmd) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    auto real = [&](double& v, double lo, double hi) -> std::string {
      if (!hasValue) return a + " needs a value";
      if (!ParseReal(args[++i], lo, hi, v)) return "bad value for " + a + ": " + args[i];
      return {};
    };
    auto whole = [&](int& v, long lo, long hi) -> std::string {
      if (!hasValue) return a + " needs a value";
      long x = 0;
      if (!ParseInteger(args[++i], lo, hi, x))
        return "bad value for " + a + ": " + args[i] + " (a whole number " + std::to_string(lo) + ".." +
               std::to_string(hi) + ")";
      v = static_cast<int>(x);
      return {};
    };
    std::string e;
    if (a == "-o" || a == "--output") {
      if (!hasValue) return a + " needs a file name";
      o.output = args[++i];
    } else if (a == "--midi") {
      if (!hasValue) return a + " needs a file name";
      o.midi = args[++i];
    } else if (a == "--soundfont" && std::string_view(cmd) == "render") {
      if (!hasValue) return a + " needs a file name";
      o.soundfont = args[++i];
    } else if (a == "--cores" && std::string_view(cmd) == "render") {
      e = whole(o.cores, 1, 2);
    } else if (a == "--tempo") {
      e = real(o.tempo, 1.0, 999.0);
    } else if (a == "--seconds") {
      e = real(o.seconds, 0.0, 86400.0);
    } else if (a == "--rate") {
      e = real(o.rate, 1000.0, 768000.0);
    } else if (a == "--block") {
      e = whole(o.block, 1, 8192);
    } else if (a == "--bits") {
      e = whole(o.bits, 16, 32);
      if (e.empty() && o.bits != 16 && o.bits != 24 && o.bits != 32) e = "--bits takes 16, 24 or 32";
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return "unknown option " + a + " (quillrow " + cmd + " --help lists them)";
    } else {
      o.positional.push_back(a);
    }
    if (!e.empty()) return e;
  }
  return {};
}

int Run(std::span<const std::string> args, std::ostream& err, bool with_input) {
  Options o;
  if (std::string e = ParseOptions(args, o, with_input ? "process" : "render"); !e.empty()) {
    err << "quillrow: " << e << "\n";
    return 2;
  }
  // render SONG.mid --soundfont BANK.sf2: the song is the MIDI input of a
  // project made around the bank, and the render lasts until it has died away.
  const bool onBank = !o.soundfont.empty();
  if (onBank && o.positional.size() == 1 && o.midi.empty()) {
    o.midi = o.positional[0];
    if (o.seconds < 0) o.seconds = 0.0;
  }
  const size_t need = with_input ? 2 : 1;
  if (o.positional.size() != need || o.output.empty()) {
    err << "usage: quillrow "
        << (with_input ? "process PROJECT IN.wav -o OUT.wav" : "render PROJECT -o OUT.wav [--seconds N]")
        << " [options]\n";
    return 2;
  }
  const std::string& projectPath = o.positional[0];
  if (IsDirectory(projectPath)) {
    err << "quillrow: " << projectPath << " is a folder, not a project file\n";
    return 1;
  }
  if (!FileExists(projectPath)) {
    err << "quillrow: no such project file: " << projectPath << "\n";
    return 1;
  }
  float rate = o.rate > 0 ? static_cast<float>(o.rate) : 44100.0f;
  std::unique_ptr<AudioSource> input;
  int64_t frames = 0;
  if (with_input) {
    std::string e;
    float fileRate = 0.0f;
    input = OpenWavSource(o.positional[1], fileRate, frames, e);
    if (!input) {
      err << "quillrow: " << e << "\n";
      return 1;
    }
    if (o.rate <= 0) rate = fileRate;
    if (fileRate != rate && !(input = Resampled(std::move(input), fileRate, rate, frames, e))) {
      err << "quillrow: " << e << "\n";
      return 1;
    }
  } else if (o.seconds >= 0) {
    frames = static_cast<int64_t>(std::llround(o.seconds * rate));
  }
  std::vector<TimedMidiEvent> midi;
  if (!o.midi.empty()) {
    std::string e;
    if (!LoadMidiFile(o.midi, midi, e)) {
      err << "quillrow: " << e << "\n";
      return 1;
    }
  }
  if (onBank && !midi.empty())
    frames = std::max(frames, static_cast<int64_t>(std::ceil(midi.back().seconds * rate)));
  StandaloneHost host;
  if (!host.Ok()) {
    err << "quillrow: the engine did not start\n";
    return 1;
  }
  host.Configure(rate, o.block, 2, 2);
  std::string e;
  std::function<bool()> sounding;
  if (onBank) {
    if (!BuildSoundFontProject(host, o.soundfont, sounding, e, o.cores)) {
      err << "quillrow: " << e << "\n";
      return 1;
    }
  } else if (!host.OpenProject(projectPath, e)) {
    if (!e.empty()) err << "quillrow: " << e << "\n";
    return 1;
  }
  if (o.tempo > 0) host.Plugin().Root().SetTempo(static_cast<float>(o.tempo));
  // A song renders from its start; without --seconds, exactly the stretch it plays.
  int64_t songFrames = 0;
  const bool song = !with_input && !onBank && StartSongRender(host.Plugin().Root(), rate, songFrames);
  if (!with_input && o.seconds < 0) {
    if (!song) {
      err << "quillrow: render PROJECT -o OUT.wav --seconds N: the project has no sequencer to say how "
             "long\n";
      return 2;
    }
    frames = songFrames;
  }
  OutputFile file;
  if (!file.Open(o.output, e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  WavWriter wav(file, rate, o.bits, 2, frames);
  OfflineJob job{host, o.block, rate, frames, input.get(), midi, !o.quiet};
  if (onBank) {
    // A release longer than a minute is cut there.
    job.stillSounding = std::move(sounding);
    job.maxTail = static_cast<int64_t>(60.0 * rate);
  }
  OfflineResult result;
  if (!RunOffline(job, wav, result, err)) return 1;
  if (!wav.Finish() || !file.Commit()) {
    err << "quillrow: cannot write " << o.output << "\n";
    return 1;
  }
  ReportOffline(result, result.frames, rate, o.quiet, err);
  return 0;
}

}  // namespace

int CmdProcess(std::span<const std::string> args, std::ostream&, std::ostream& err) {
  return Run(args, err, true);
}
int CmdRender(std::span<const std::string> args, std::ostream&, std::ostream& err) {
  return Run(args, err, false);
}

}  // namespace qr
