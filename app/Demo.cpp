// The built-in demo: a project made in memory (master input -> equaliser ->
// tempo-synchronised delay -> master output) plays a short generated phrase,
// written to a WAV file. Needs no file from outside.
#include <cmath>
#include <vector>

#include "app/Commands.h"
#include "app/Host.h"
#include "audio/WriteSample.h"
#include "graph/Container.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "platform/Files.h"

namespace qr {

namespace {

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

int CmdDemo(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::string output = "quillrow-demo.wav", projectOut;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (args[i] == "--project" && i + 1 < args.size()) {
      projectOut = args[++i];
    } else {
      err << "quillrow: demo [-o OUT.wav] [--project OUT.qrw]\n";
      return 2;
    }
  }
  const float rate = 44100.0f;
  const int block = 512;
  StandaloneHost host;
  host.Configure(rate, block, 2, 2);
  std::vector<uint8_t> chunk = DemoProject();
  if (!projectOut.empty() && !WriteFileAtomically(projectOut, chunk)) {
    err << "quillrow: cannot write " << projectOut << "\n";
    return 1;
  }
  host.Dispatch(vst2::effSetChunk, 0, static_cast<intptr_t>(chunk.size()), chunk.data());
  const auto input = Phrase(rate, 6.0);
  const std::string tmp = output + ".part";
  CWriteSample wav(tmp, rate, 16, 2);
  if (!wav.IsOpen()) {
    err << "quillrow: cannot write " << output << "\n";
    return 1;
  }
  std::vector<float> il(block), ir(block), ol(block), orr(block);
  float* ip[2] = {il.data(), ir.data()};
  float* op[2] = {ol.data(), orr.data()};
  double peak = 0, energy = 0;
  const size_t total = input[0].size();
  for (size_t pos = 0; pos < total; pos += block) {
    const int n = static_cast<int>(std::min<size_t>(block, total - pos));
    std::copy_n(input[0].begin() + static_cast<long>(pos), n, il.begin());
    std::copy_n(input[1].begin() + static_cast<long>(pos), n, ir.begin());
    host.Process(ip, op, n);
    for (int i = 0; i < n; ++i) {
      peak = std::max<double>(peak, std::fabs(ol[static_cast<size_t>(i)]));
      energy += static_cast<double>(ol[static_cast<size_t>(i)]) * ol[static_cast<size_t>(i)];
    }
    wav.AppendFloatFrames(op, n);
  }
  if (!wav.Close() || std::rename(tmp.c_str(), output.c_str()) != 0) {
    err << "quillrow: cannot write " << output << "\n";
    return 1;
  }
  out << "demo: master input -> equaliser -> delay -> master output, 6.0 s at 44100 Hz\n"
      << "wrote " << output << " (peak " << peak << ", rms " << std::sqrt(energy / static_cast<double>(total))
      << ")\n";
  return 0;
}

}  // namespace qr
