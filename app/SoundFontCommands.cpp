#include "app/SoundFontCommands.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "app/Host.h"
#include "graph/Container.h"
#include "sampler/Sampler.h"
#include "sampler/SoundFont.h"
#include "shell/VSTPlug.h"

namespace qr {

bool IsSoundFontFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char b[12] = {};
  const size_t n = std::fread(b, 1, 12, f);
  std::fclose(f);
  return n == 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "sfbk", 4) == 0;
}

bool BuildSoundFontProject(StandaloneHost& host, const std::string& bank, std::function<bool()>& sounding,
                           std::string& error, int cores) {
  TSF2 sf2;
  if (!sf2.Open(bank)) {
    error = bank + ": " + sf2.error;
    return false;
  }
  CGroup& root = host.Plugin().Root();
  if (!root.masterIn) {
    error = "the engine has no master input";
    return false;
  }
  auto made = std::make_unique<CSampler>(&root);
  made->SetSampleRate(root.sampleRate);
  made->SetTempo(root.tempo);
  made->SetBlockSize(root.blockSize);
  made->id = "SoundFont";
  made->core = cores > 1 ? 1 : 0;
  SF2Importer importer(*made, sf2);
  if (!importer.ImportGeneralMidiBank()) {
    error = bank + ": the bank holds no presets";
    return false;
  }
  auto* sampler = static_cast<CSampler*>(root.AddChild(std::move(made)));
  sampler->ConnectMidi(root.masterIn, 0, 0);
  root.ConnectAudio(sampler, 0, 0);
  sounding = [sampler] { return sampler->PlayingVoices() > 0; };
  return true;
}

int SoundFontInfo(const std::string& path, std::ostream& out, std::ostream& err) {
  TSF2 sf2;
  if (!sf2.Open(path)) {
    err << "quillrow: " << path << ": " << sf2.error << "\n";
    return 1;
  }
  out << "SoundFont: " << path << "\n";
  if (!sf2.name.empty()) out << "name: " << sf2.name << "\n";
  out << "version: " << sf2.versionMajor << "." << sf2.versionMinor << "\n";
  out << "presets: " << sf2.PresetCount() << "\n";
  out << "instruments: " << sf2.InstrumentCount() << "\n";
  out << "samples: " << sf2.SampleCount() << "\n";
  out << "sample data: " << sf2.sampleDataBytes << " bytes\n";
  for (int i = 0; i < sf2.PresetCount(); ++i) {
    const TSF2Preset& p = sf2.presets[static_cast<size_t>(i)];
    char num[32];
    std::snprintf(num, sizeof num, "%03d:%03d", p.bank, p.preset);
    out << "  " << num << "  " << p.name << "\n";
  }
  return 0;
}

}  // namespace qr
