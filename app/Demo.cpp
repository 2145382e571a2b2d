// The built-in demo: a project made in memory (master input -> equaliser ->
// tempo-synchronised delay -> master output) plays a short generated phrase,
// written to a WAV file. Needs no file from outside.
#include <cmath>
#include <vector>

#include "app/Commands.h"
#include "app/Host.h"
#include "app/Offline.h"
#include "app/Output.h"
#include "graph/Container.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "platform/Files.h"

namespace qr {

namespace {

constexpr double kDemoSeconds = 6.0;

class PhraseSource final : public AudioSource {
 public:
  explicit PhraseSource(std::vector<std::vector<float>> ch) : ch_(std::move(ch)) {}
  void Read(int64_t pos, int n, float* l, float* r) override {
    for (int i = 0; i < n; ++i) {
      const auto at = static_cast<size_t>(pos + i);
      l[i] = at < ch_[0].size() ? ch_[0][at] : 0.0f;
      r[i] = at < ch_[1].size() ? ch_[1][at] : 0.0f;
    }
  }

 private:
  std::vector<std::vector<float>> ch_;
};

std::vector<uint8_t> DemoProject() {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(512);
  root.SetTempo(110.0f);
  root.pendingTempo = 110.0f;
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->x = 16;
  mi->y = 32;
  auto* in = static_cast<CMasterIn*>(root.AddChild(std::move(mi)));
  root.masterIn = in;
  auto eq = std::make_unique<CEq>(&root);
  eq->id = "Tone";
  eq->SetMode(0, CEqBand::kLowShelf);
  eq->SetBand(0, 200.0f, 4.0f, 1.0f);
  eq->AddBand();
  eq->SetBand(1, 3000.0f, -3.0f, 1.0f);
  eq->x = 120;
  eq->y = 32;
  auto* e = root.AddChild(std::move(eq));
  auto delay = std::make_unique<CDelay>(&root);
  delay->id = "Echo";
  delay->feedback = 0.35f;
  delay->wet = 0.4f;
  delay->SetDivisions(3, 4);
  delay->x = 220;
  delay->y = 32;
  auto* d = root.AddChild(std::move(delay));
  e->ConnectAudio(in, 0, 0);
  d->ConnectAudio(e, 0, 0);
  root.ConnectAudio(d, 0, 0);
  CProject project;
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

// A plucked phrase: decaying partials on a minor pentatonic, left and right
// slightly apart so the echo has room.
std::vector<std::vector<float>> Phrase(float rate, double seconds) {
  const size_t n = static_cast<size_t>(seconds * rate);
  std::vector<std::vector<float>> ch(2, std::vector<float>(n, 0.0f));
  const int notes[] = {57, 60, 62, 64, 67, 64, 62, 60};
  const double beat = 60.0 / 110.0 / 2.0;
  for (int k = 0; k < 8; ++k) {
    const double f = 440.0 * std::pow(2.0, (notes[k] - 69) / 12.0);
    const size_t start = static_cast<size_t>(k * beat * rate);
    for (size_t i = 0; start + i < n && i < static_cast<size_t>(rate); ++i) {
      const double t = static_cast<double>(i) / rate;
      const double env = std::exp(-t * 6.0);
      const double v = env * (0.5 * std::sin(2 * M_PI * f * t) + 0.2 * std::sin(4 * M_PI * f * t) +
                              0.1 * std::sin(6 * M_PI * f * t));
      ch[0][start + i] += static_cast<float>(v * (k % 2 ? 0.6 : 0.9));
      ch[1][start + i] += static_cast<float>(v * (k % 2 ? 0.9 : 0.6));
    }
  }
  return ch;
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
  const float rate = 44100.0f;
  const int block = 512;
  StandaloneHost host;
  host.Configure(rate, block, 2, 2);
  std::vector<uint8_t> chunk = DemoProject();
  std::string e;
  if (!projectOut.empty() && !WriteOutput(projectOut, chunk.data(), chunk.size(), e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  host.Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(chunk.size()), chunk.data());
  PhraseSource input(Phrase(rate, kDemoSeconds));
  const auto frames = static_cast<int64_t>(kDemoSeconds * rate);
  OutputFile file;
  if (!file.Open(output, e)) {
    err << "quillrow: " << e << "\n";
    return 1;
  }
  WavWriter wav(file, rate, 16, 2, frames);
  OfflineJob job{host, block, rate, frames, &input, {}, false};
  OfflineResult result;
  if (!RunOffline(job, wav, result, err)) return 1;
  if (!wav.Finish() || !file.Commit()) {
    err << "quillrow: cannot write " << output << "\n";
    return 1;
  }
  err << "quillrow: demo: master input -> equaliser -> delay -> master output, " << kDemoSeconds << " s at "
      << rate << " Hz, written to " << output << "\n";
  ReportOffline(result, frames, rate, false, err);
  return 0;
}

}  // namespace qr
