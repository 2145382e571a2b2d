// The command table of `quillrow` and its dispatch: the general help is built
// from the table, so the list a user sees is the list the program runs.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "app/Commands.h"
#include "app/SongCommands.h"

#ifndef QR_VERSION
#define QR_VERSION "0"
#endif

namespace qr {

namespace {

constexpr const char* kOfflineOptions =
    "  --tempo BPM        tempo of the project (1..999); default: the project's own\n"
    "  --block FRAMES     frames per processing block, a whole number 1..8192 (default 512)\n"
    "  --rate HZ          processing and output rate (1000..768000)\n"
    "  --midi FILE.mid    play a Standard MIDI File into the master input; a program change\n"
    "                     that selects a project file (the program-change list) opens it\n"
    "                     before the next block\n"
    "  --bits 16|24|32    output encoding: 16 or 24-bit PCM, 32-bit float (default 32)\n"
    "  --quiet, -q        no progress bar and no summary (a clipping warning still shows)\n"
    "  -o OUT.wav         the output: a file (written whole, then put in place), a pipe or\n"
    "                     device (written straight), or - for standard output\n"
    "The output is limited to -1..1; peak and clipped samples are reported on standard error.\n"
    "Past 4 GiB the WAV file is written as RF64.\n";

const Command kCommands[] = {
    {"play", "PROJECT [--midi FILE.mid] [--connect] [--inputs N] [--outputs N] [--name CLIENT]",
     "usage: quillrow play PROJECT [options]\n"
     "Plays the project in real time through a running JACK server; Ctrl-C stops.\n"
     "  --midi FILE.mid    play a Standard MIDI File into the project from the start\n"
     "  --connect          connect the outputs to the system's playback ports\n"
     "  --inputs N         audio input ports, 0..32 (default 2)\n"
     "  --outputs N        audio output ports, 1..32 (default 2)\n"
     "  --name CLIENT      the JACK client name (default quillrow)\n"
     "A project that loads is added to the \"Recent\" list of Quillrow.ini.\n",
     &CmdPlay},
    {"process", "PROJECT IN.wav -o OUT.wav [options]",
     "usage: quillrow process PROJECT IN.wav -o OUT.wav [options]\n"
     "Runs a WAV file through the project's master input, as fast as the machine allows.\n"
     "The processing rate is the input's rate unless --rate names another; the input is\n"
     "then resampled to it (high-quality resampling), never relabelled.\n",
     &CmdProcess},
    {"render", "PROJECT -o OUT.wav [--seconds N] [options]",
     "usage: quillrow render PROJECT -o OUT.wav [--seconds N] [options]\n"
     "       quillrow render SONG.mid --soundfont BANK.sf2 -o OUT.wav [options]\n"
     "Renders the project with no audio input (default rate 44100 Hz).\n"
     "  --seconds N        length of the output, 0..86400; a project with a sequencer\n"
     "                     renders without it the active arrangement from its left to its\n"
     "                     right locator (or the performance range)\n"
     "  --soundfont BANK.sf2  play the MIDI file SONG.mid on the bank's presets (chosen by\n"
     "                     channel and program change, General MIDI drums on channel 10)\n"
     "                     until its last note has died away (a minute at most)\n"
     "  --cores N          1 or 2: with 2 the bank's voices are shared with a second core\n"
     "                     (same output bits either way; default 1)\n",
     &CmdRender},
    {"info", "FILE",
     "usage: quillrow info FILE\n"
     "Says what the file is and what it holds: a project or module file (modules, cables,\n"
     "tempo), a WAV file, a Standard MIDI File (format, tracks, division, tempo, length,\n"
     "notes per channel); anything else is named unknown with its first bytes.\n",
     &CmdInfo},
    {"dump", "FILE [-o OUT]",
     "usage: quillrow dump FILE [-o OUT]\n"
     "Writes any record stream (project, module file, skin, chunk) as readable text.\n",
     &CmdDump},
    {"build", "TEXT -o FILE | TEXT --check",
     "usage: quillrow build TEXT -o FILE\n"
     "       quillrow build TEXT --check\n"
     "Builds the record stream back from its text. A value of the wrong kind for a known\n"
     "key is an error; an unknown key in a known module and a repeated cable are warnings.\n"
     "  --check            only report, write nothing\n",
     &CmdBuild},
    {"demo", "[-o OUT.wav] [--project OUT.qrw]",
     "usage: quillrow demo [-o OUT.wav] [--project OUT.qrw]\n"
     "Renders the built-in demo, made in code with no files needed: a MIDI part plays a\n"
     "pattern into an audio part of generated drum and tone samples, through the mixer,\n"
     "the equaliser and the delay (default output quillrow-demo.wav).\n"
     "  --project OUT.qrw  also save the demo project\n",
     &CmdDemo},
    {"new", "[--sequencer] -o FILE.qrw",
     "usage: quillrow new [--sequencer] -o FILE.qrw\n"
     "Writes a new project: the empty one, or with --sequencer one whose sequencer is\n"
     "cabled between the master input and the output.\n",
     &CmdNew},
    {"plugins", "[FOLDER...]",
     "usage: quillrow plugins [FOLDER...]\n"
     "Lists the VST 2 plug-ins in the plug-in folders (the settings' list, VST_PATH, ~/.vst,\n"
     "/usr/local/lib/vst, /usr/lib/vst, ~/.lxvst, /usr/local/lib/lxvst, /usr/lib/lxvst) or in the\n"
     "folders named: name, ID, kind, channels and path. Libraries that cannot be used\n"
     "are named on standard error with the reason.\n",
     &CmdPlugins},
    {"snapshot", "PROJECT [--page NAME] [--size WxH] -o VIEW.png",
     "usage: quillrow snapshot PROJECT [--page NAME] [--size WxH] -o VIEW.png\n"
     "Draws a page of the main window into a PNG, with no display needed.\n"
     "  --page NAME        \"Modules\", \"Mixer\", a module's name (its editor) or \"editor\",\n"
     "                     the page the project last showed (the default)\n"
     "  --size WxH         the window's size, 64..8192 each (default: the project's)\n",
     &CmdSnapshot},
    {"edit", "PROJECT [play options]",
     "usage: quillrow edit PROJECT [play options]\n"
     "Opens the main window on the screen with the project playing through JACK;\n"
     "Ctrl-Q or closing the window stops. Takes the options of `quillrow play`.\n",
     &CmdEdit},
};

void Help(const Command& c, std::ostream& s) {
  s << c.help;
  if (c.run == &CmdProcess || c.run == &CmdRender) s << "options:\n" << kOfflineOptions;
}

void Usage(std::ostream& s) {
  s << "usage: quillrow COMMAND ...\n";
  for (const Command& c : kCommands) s << "  quillrow " << c.name << " " << c.synopsis << "\n";
  s << "  quillrow --version\n"
    << "`quillrow COMMAND --help` describes a command and its options.\n";
}

}  // namespace

std::span<const Command> Commands() { return kCommands; }

bool ParseInteger(const std::string& text, long lo, long hi, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0' && value >= lo && value <= hi;
}

bool ParseReal(const std::string& text, double lo, double hi, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && std::isfinite(value) && value >= lo && value <= hi;
}

int RunQuillrow(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    Usage(err);
    return 2;
  }
  const std::string& cmd = args[0];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    if (args.size() > 1)
      for (const Command& c : kCommands)
        if (c.name == args[1]) return Help(c, out), 0;
    Usage(out);
    return 0;
  }
  if (cmd == "--version" || cmd == "-V") {
    out << "quillrow " << QR_VERSION << "\n";
    return 0;
  }
  for (const Command& c : kCommands) {
    if (c.name != cmd) continue;
    const auto rest = args.subspan(1);
    for (const std::string& a : rest)
      if (a == "--help" || a == "-h") {
        Help(c, out);
        return 0;
      }
    return c.run(rest, out, err);
  }
  err << "quillrow: unknown command " << cmd << "\n";
  Usage(err);
  return 2;
}

}  // namespace qr
