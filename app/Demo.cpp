// The built-in demo, made entirely in code: a MIDI part loops a two-bar
// pattern into an audio part whose parts play generated drum and tone samples;
// the audio part feeds the mixer, then the equaliser and the delay (its dry
// signal with the echoes) to the master output. One held note at the master
// input starts the pattern. Written to a WAV file through the offline loop.
#include <cmath>
#include <cstring>
#include <vector>

#include "app/Commands.h"
#include "app/Host.h"
#include "app/Offline.h"
#include "app/Output.h"
#include "audio/AudioPart.h"
#include "graph/Container.h"
#include "midipart/MidiPart2.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "mixer/Mixer.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

constexpr float kTempo = 110.0f;
constexpr double kSeconds = 4 * 4 * 60.0 / kTempo;  // four bars: the pattern twice
constexpr float kSampleRate = 44100.0f;
constexpr int kStartKey = 36;  // the held note that starts the pattern

// Mono 32-bit float sample of `n` frames from f(t) at 44.1 kHz.
template <typename F>
std::unique_ptr<CSample> Generated(const char* name, double seconds, F f) {
  auto s = std::make_unique<CSample>();
  const auto n = static_cast<int32_t>(seconds * kSampleRate);
  s->Allocate(n, 32, 1);
  s->rate = kSampleRate;
  s->fileName = name;
  s->start = s->loopStart = 1;
  s->end = n;
  s->open = 1;
  float* frames = reinterpret_cast<float*>(s->FrameData()) + 1;  // frame 1 is the first real one
  for (int32_t i = 0; i < n; ++i) frames[i] = static_cast<float>(f(i / static_cast<double>(kSampleRate)));
  return s;
}

// The drum and tone samples. The noise comes from a generator of our own with
// a fixed seed, so every run writes the same file.
void AddSamples(CAudioPart2& kit) {
  kit.samples.push_back(Generated("kick", 0.35, [](double t) {
    const double phase = 2 * M_PI * (45.0 * t + 90.0 / 18.0 * (1.0 - std::exp(-18.0 * t)));
    return 0.9 * std::sin(phase) * std::exp(-7.0 * t);
  }));
  uint32_t seed = 0x5EED1234u;
  kit.samples.push_back(Generated("snare", 0.25, [seed](double t) mutable {
    seed = seed * 1664525u + 1013904223u;
    const double noise = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
    return (0.45 * noise + 0.3 * std::sin(2 * M_PI * 190.0 * t)) * std::exp(-16.0 * t);
  }));
  kit.samples.push_back(Generated("hat", 0.06, [seed](double t) mutable {
    seed = seed * 22695477u + 1u;
    const double noise = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
    return 0.25 * noise * std::exp(-60.0 * t);
  }));
  kit.samples.push_back(Generated("tone", 0.6, [](double t) {
    const double f = 220.0;
    return std::exp(-4.0 * t) * (0.35 * std::sin(2 * M_PI * f * t) + 0.12 * std::sin(4 * M_PI * f * t) +
                                 0.05 * std::sin(6 * M_PI * f * t));
  }));
}

// Audio parts, started by keys 36 and up: kick, snare, hat, then the tone at
// four pitches of a minor pentatonic.
void AddParts(CAudioPart2& kit) {
  struct Row {
    int32_t sample, coarse;
  };
  const Row rows[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, 3}, {3, 5}, {3, 7}};
  for (const Row& r : rows) {
    CLiveAudioPart& part = kit.NewPart();
    part.length = 960;
    part.AddLane();
    CAudioClip& clip = part.AppendClip(0);
    clip.sample = r.sample;
    clip.first = 1;
    clip.last = kit.samples[static_cast<size_t>(r.sample)]->frames;
    clip.coarse = r.coarse;
  }
}

// The two-bar pattern of the MIDI part, in keys of the audio part's parts.
void AddPattern(CMIDIPart2& seq) {
  // A new module comes with one empty part; the pattern goes into it.
  auto* part = static_cast<CLiveMIDIPart*>(seq.PartCount() > 0 ? seq.PartAt(0) : seq.AddPart());
  part->key = kStartKey;
  part->name = "Groove";
  auto note = [part](int32_t tick, int32_t key, int32_t length, uint32_t velocity) {
    part->events.Insert(tick, 0x90u | static_cast<uint32_t>(key) << 8 | velocity << 16, length);
  };
  for (int beat = 0; beat < 8; ++beat) {
    const int32_t t = beat * 960;
    note(t, beat % 2 ? 37 : 36, 600, 110);  // kick on 1 and 3, snare on 2 and 4
    note(t + 480, 38, 120, 70);             // hats between the beats
  }
  const int32_t melody[][2] = {{0, 39},    {720, 40},  {1440, 41}, {2400, 42},
                               {3840, 41}, {4560, 40}, {5280, 39}};
  for (const auto& m : melody) note(m[0] + 240, m[1], 700, 90);
}

std::vector<uint8_t> DemoProject() {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(512);
  root.SetTempo(kTempo);
  root.pendingTempo = kTempo;
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->x = 16;
  mi->y = 32;
  auto* in = static_cast<CMasterIn*>(root.AddChild(std::move(mi)));
  root.masterIn = in;

  auto seqModule = std::make_unique<CMIDIPart2>(&root);
  seqModule->id = "Pattern";
  AddPattern(*seqModule);
  auto kitModule = std::make_unique<CAudioPart2>(&root);
  kitModule->id = "Kit";
  AddSamples(*kitModule);
  AddParts(*kitModule);
  auto mixer = std::make_unique<CMixer>(&root);
  mixer->channels[0].volume = 0.8f;
  auto eq = std::make_unique<CEq>(&root);
  eq->id = "Tone";
  eq->SetMode(0, CEqBand::kLowShelf);
  eq->SetBand(0, 120.0f, 3.0f, 1.0f);
  eq->AddBand();
  eq->SetBand(1, 5000.0f, -2.0f, 1.0f);
  auto delay = std::make_unique<CDelay>(&root);
  delay->id = "Echo";
  delay->feedback = 0.3f;
  delay->wet = 0.3f;
  delay->SetDivisions(3, 8);

  CComp* modules[] = {root.AddChild(std::move(seqModule)), root.AddChild(std::move(kitModule)),
                      root.AddChild(std::move(mixer)), root.AddChild(std::move(eq)),
                      root.AddChild(std::move(delay))};
  for (int i = 0; i < 5; ++i) {
    modules[i]->x = 120 + 100 * i;
    modules[i]->y = 32;
  }
  modules[0]->ConnectMidi(in, 0, 0);
  modules[1]->ConnectMidi(modules[0], 0, 0);
  modules[2]->ConnectAudio(modules[1], 0, 0);
  modules[3]->ConnectAudio(modules[2], 0, 0);
  modules[4]->ConnectAudio(modules[3], 0, 0);
  root.ConnectAudio(modules[4], 0, 0);
  CProject project;
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

}  // namespace

int CmdDemo(std::span<const std::string> args, std::ostream&, std::ostream& err) {
  std::string output = "quillrow-demo.wav", projectOut;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "--project" && i + 1 < args.size()) {
      projectOut = args[++i];
    } else {
      err << "usage: quillrow demo [-o OUT.wav] [--project OUT.qrw]\n";
      return 2;
    }
  }
  const int block = 512;
  StandaloneHost host;
  host.Configure(kSampleRate, block, 2, 2);
  std::vector<uint8_t> chunk = DemoProject();
  std::string e;
  if (!projectOut.empty() && !WriteOutput(projectOut, chunk.data(), chunk.size(), e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  host.Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(chunk.size()), chunk.data());
  const auto frames = static_cast<int64_t>(std::llround(kSeconds * kSampleRate));
  OutputFile file;
  if (!file.Open(output, e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  // The note that starts the pattern, held to the end.
  const TimedMidiEvent start[] = {{0.0, 0x90u | kStartKey << 8 | 100u << 16}};
  WavWriter wav(file, kSampleRate, 16, 2, frames);
  OfflineJob job{host, block, kSampleRate, frames, nullptr, start, false};
  OfflineResult result;
  if (!RunOffline(job, wav, result, err)) return 1;
  if (!wav.Finish() || !file.Commit()) {
    err << "quillrow: cannot write " << output << "\n";
    return 1;
  }
  err << "quillrow: demo: a MIDI part plays drums and tones in an audio part, through the mixer, equaliser "
         "and "
         "delay; "
      << kSeconds << " s written to " << output << "\n";
  ReportOffline(result, frames, kSampleRate, false, err);
  return 0;
}

}  // namespace qr
