// `quillrow play`: the project in real time through JACK. Audio ports follow the
// host channel counts, one MIDI input and one MIDI output port, tempo and
// transport from JACK, a clean stop on Ctrl-C or when the server goes away.
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <thread>

#include "app/Commands.h"
#include "app/Host.h"
#include "app/Offline.h"
#include "graph/Container.h"
#include "platform/Files.h"
#include "shell/VSTPlug.h"

#ifdef QR_HAVE_JACK
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/transport.h>
#endif

namespace qr {

namespace {

constexpr const char* kPlayUsage =
    "usage: quillrow play PROJECT [--midi FILE.mid] [--connect] [--inputs N] [--outputs N] [--name CLIENT]\n";

struct PlayOptions {
  std::string project, name = "quillrow", midi;
  int inputs = 2, outputs = 2;
  bool connect = false;
};

// Everything that can be checked without a server is checked first, so a
// mistyped name is reported as such and not as a missing JACK server.
int ParsePlay(std::span<const std::string> args, PlayOptions& o, std::vector<TimedMidiEvent>& midi,
              std::ostream& err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto count = [&](int& v, long lo) {
      long x = 0;
      if (i + 1 >= args.size() || !ParseInteger(args[++i], lo, 32, x)) return false;
      v = static_cast<int>(x);
      return true;
    };
    if (a == "--inputs") {
      if (!count(o.inputs, 0)) return err << "quillrow: --inputs takes a whole number 0..32\n", 2;
    } else if (a == "--outputs") {
      if (!count(o.outputs, 1)) return err << "quillrow: --outputs takes a whole number 1..32\n", 2;
    } else if ((a == "--name" || a == "--midi") && i + 1 < args.size()) {
      (a == "--name" ? o.name : o.midi) = args[++i];
    } else if (a == "--connect") {
      o.connect = true;
    } else if (!a.empty() && a[0] != '-' && o.project.empty()) {
      o.project = a;
    } else {
      err << "quillrow: unknown option " << a << "\n" << kPlayUsage;
      return 2;
    }
  }
  if (o.project.empty()) {
    err << kPlayUsage;
    return 2;
  }
  if (IsDirectory(o.project)) {
    err << "quillrow: " << o.project << " is a folder, not a project file\n";
    return 1;
  }
  if (!FileExists(o.project)) {
    err << "quillrow: no such project file: " << o.project << "\n";
    return 1;
  }
  std::string e;
  if (!o.midi.empty() && !LoadMidiFile(o.midi, midi, e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

#ifndef QR_HAVE_JACK
int PlayWith(std::span<const std::string> args, std::ostream&, std::ostream& err,
             const std::function<bool(StandaloneHost&)>&) {
  PlayOptions o;
  std::vector<TimedMidiEvent> midi;
  if (const int code = ParsePlay(args, o, midi, err)) return code;
  err << "quillrow: this build has no JACK support (install libjack-jackd2-dev and rebuild)\n";
  return 1;
}
#else

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop.store(true); }

constexpr int kMaxEvents = 512;

struct JackRun {
  jack_client_t* client = nullptr;
  std::vector<jack_port_t*> ins, outs;
  jack_port_t* midiIn = nullptr;
  jack_port_t* midiOut = nullptr;
  StandaloneHost* host = nullptr;
  TVSTPlug* plug = nullptr;
  std::array<vst2::VstMidiEvent, kMaxEvents> events{};
  struct {
    int32_t numEvents = 0;
    intptr_t reserved = 0;
    std::array<vst2::VstEvent*, kMaxEvents> ptrs{};
  } list;
  std::array<float*, 32> inPtrs{}, outPtrs{};
  void* midiOutBuffer = nullptr;
  // The --midi file, played from the first cycle on.
  std::vector<TimedMidiEvent> file;
  size_t nextFileEvent = 0;
  int64_t elapsed = 0;
  double rate = 44100.0;

  void AddFileEvents(jack_nframes_t n, int& k) {
    while (nextFileEvent < file.size() && k < kMaxEvents) {
      const int64_t at = static_cast<int64_t>(std::floor(file[nextFileEvent].seconds * rate)) - elapsed;
      if (at >= static_cast<int64_t>(n)) break;
      const uint32_t msg = file[nextFileEvent++].msg;
      vst2::VstMidiEvent& m = events[static_cast<size_t>(k)];
      m = vst2::VstMidiEvent{};
      m.type = vst2::kVstMidiType;
      m.byteSize = sizeof m;
      m.deltaFrames = static_cast<int32_t>(std::max<int64_t>(at, 0));
      m.midiData[0] = static_cast<char>(msg & 0xFF);
      m.midiData[1] = static_cast<char>((msg >> 8) & 0xFF);
      m.midiData[2] = static_cast<char>((msg >> 16) & 0xFF);
      list.ptrs[static_cast<size_t>(k)] = reinterpret_cast<vst2::VstEvent*>(&m);
      ++k;
    }
    elapsed += n;
  }

  // The JACK process thread: everything here is preallocated.
  int Process(jack_nframes_t n) {
    void* mb = jack_port_get_buffer(midiIn, n);
    const uint32_t count = jack_midi_get_event_count(mb);
    int k = 0;
    for (uint32_t i = 0; i < count && k < kMaxEvents; ++i) {
      jack_midi_event_t e;
      if (jack_midi_event_get(&e, mb, i) != 0 || e.size < 1 || e.size > 3 || e.buffer[0] < 0x80 ||
          e.buffer[0] >= 0xF0)
        continue;
      vst2::VstMidiEvent& m = events[static_cast<size_t>(k)];
      m = vst2::VstMidiEvent{};
      m.type = vst2::kVstMidiType;
      m.byteSize = sizeof m;
      m.deltaFrames = static_cast<int32_t>(e.time);
      for (size_t b = 0; b < e.size; ++b) m.midiData[b] = static_cast<char>(e.buffer[b]);
      list.ptrs[static_cast<size_t>(k)] = reinterpret_cast<vst2::VstEvent*>(&m);
      ++k;
    }
    AddFileEvents(n, k);
    if (k > 0) {
      list.numEvents = k;
      host->Dispatch(vst2::effProcessEvents, 0, 0, &list);
    }
    // The standalone mode takes no time information from its host; tempo and
    // transport reach the root directly.
    jack_position_t pos;
    const bool rolling = jack_transport_query(client, &pos) == JackTransportRolling;
    CGroup& root = plug->Root();
    if (!root.rebuild.load()) {
      TransportInfo& t = root.transport;
      if (rolling != t.playing) {
        t.playing = rolling;
        t.changed = true;
      }
      if (pos.valid & JackPositionBBT) {
        if (pos.beats_per_minute > 0.0 && static_cast<float>(pos.beats_per_minute) != root.tempo)
          root.SetTempo(static_cast<float>(pos.beats_per_minute));
        const double beats = (pos.bar - 1) * static_cast<double>(pos.beats_per_bar) + (pos.beat - 1) +
                             (pos.ticks_per_beat > 0 ? pos.tick / pos.ticks_per_beat : 0.0);
        t.songTicks = beats * 960.0;
      }
      t.hostSamplePos = pos.frame;
    }
    for (size_t c = 0; c < ins.size(); ++c) inPtrs[c] = static_cast<float*>(jack_port_get_buffer(ins[c], n));
    for (size_t c = 0; c < outs.size(); ++c)
      outPtrs[c] = static_cast<float*>(jack_port_get_buffer(outs[c], n));
    midiOutBuffer = jack_port_get_buffer(midiOut, n);
    jack_midi_clear_buffer(midiOutBuffer);
    host->Process(inPtrs.data(), outPtrs.data(), static_cast<int>(n));
    return 0;
  }
};

int ProcessThunk(jack_nframes_t n, void* arg) { return static_cast<JackRun*>(arg)->Process(n); }
int BufferSizeThunk(jack_nframes_t n, void* arg) {
  auto* r = static_cast<JackRun*>(arg);
  r->host->Dispatch(vst2::effSetBlockSize, 0, static_cast<intptr_t>(n));
  return 0;
}
void ShutdownThunk(void*) { g_stop.store(true); }

}  // namespace

int PlayWith(std::span<const std::string> args, std::ostream& out, std::ostream& err,
             const std::function<bool(StandaloneHost&)>& idle) {
  PlayOptions o;
  std::vector<TimedMidiEvent> midi;
  if (const int code = ParsePlay(args, o, midi, err)) return code;
  const std::string& project = o.project;
  const int inputs = o.inputs, outputs = o.outputs;
  jack_status_t status;
  jack_client_t* client = jack_client_open(o.name.c_str(), JackNoStartServer, &status);
  if (!client) {
    err << "quillrow: cannot reach a JACK server (status 0x" << std::hex << status << std::dec << ")\n";
    return 1;
  }
  StandaloneHost host;
  host.RememberProjects(true);
  auto run = std::make_unique<JackRun>();
  run->file = std::move(midi);
  run->rate = jack_get_sample_rate(client);
  run->client = client;
  run->host = &host;
  run->plug = &host.Plugin();
  host.Configure(static_cast<float>(jack_get_sample_rate(client)),
                 static_cast<int>(jack_get_buffer_size(client)), inputs, outputs);
  std::string e;
  if (!host.OpenProject(project, e)) {
    if (!e.empty()) err << "quillrow: " << e << "\n";
    jack_client_close(client);
    return 1;
  }
  JackRun* r = run.get();
  host.onMidiOut = [r](int32_t delta, uint32_t msg) {
    const uint8_t status = static_cast<uint8_t>(msg & 0xFF);
    const uint8_t bytes[3] = {status, static_cast<uint8_t>((msg >> 8) & 0x7F),
                              static_cast<uint8_t>((msg >> 16) & 0x7F)};
    const size_t size = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
    const jack_nframes_t at = static_cast<jack_nframes_t>(std::max(delta, 0));
    jack_midi_event_write(r->midiOutBuffer, at, bytes, size);
  };
  for (int c = 0; c < inputs; ++c)
    r->ins.push_back(jack_port_register(client, ("in_" + std::to_string(c + 1)).c_str(),
                                        JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
  for (int c = 0; c < outputs; ++c)
    r->outs.push_back(jack_port_register(client, ("out_" + std::to_string(c + 1)).c_str(),
                                         JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0));
  r->midiIn = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  r->midiOut = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_set_process_callback(client, &ProcessThunk, r);
  jack_set_buffer_size_callback(client, &BufferSizeThunk, r);
  jack_on_shutdown(client, &ShutdownThunk, nullptr);
  std::signal(SIGINT, &OnSignal);
  std::signal(SIGTERM, &OnSignal);
  if (jack_activate(client) != 0) {
    err << "quillrow: cannot activate the JACK client\n";
    jack_client_close(client);
    return 1;
  }
  if (o.connect) {
    if (const char** sys =
            jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput)) {
      for (size_t c = 0; c < r->outs.size() && sys[c]; ++c)
        jack_connect(client, jack_port_name(r->outs[c]), sys[c]);
      jack_free(sys);
    }
  }
  out << "quillrow: playing " << project << " as JACK client \"" << jack_get_client_name(client) << "\" at "
      << jack_get_sample_rate(client) << " Hz; Ctrl-C stops\n"
      << std::flush;
  while (!g_stop.load()) {
    host.Idle();
    if (idle && !idle(host)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  jack_deactivate(client);
  jack_client_close(client);
  out << "quillrow: stopped\n";
  return 0;
}
#endif

int CmdPlay(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  return PlayWith(args, out, err, {});
}

}  // namespace qr
