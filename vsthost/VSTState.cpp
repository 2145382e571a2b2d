// The hosted plug-in's stored state: banks and programs in the published
// layout, their files, and the module's records in the project.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "graph/BusyFlag.h"
#include "graph/Container.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"
#include "vsthost/VST.h"

namespace qr {

// The type table lives with the project loader, above the modules; referenced
// weakly so this library links without it (inserts are then passed over).
std::unique_ptr<CComp> CreateModule(std::string_view type_key, CContainer* parent) __attribute__((weak));

namespace {

using namespace vst2;

constexpr int32_t kMaxPrograms = 1 << 14;
constexpr int32_t kMaxParams = 1 << 16;
constexpr uint64_t kMaxFxFileBytes = uint64_t{1} << 28;

// Plug-ins write names of up to 24 characters, many write more: the buffer is
// generous and the result is cut to the field.
std::string ProgramName(const CVST& m, int32_t index, bool current) {
  char buf[256] = {};
  if (current)
    const_cast<CVST&>(m).PluginDispatch(effGetProgramName, 0, 0, buf, 0.0f, 0, 0);
  else
    const_cast<CVST&>(m).PluginDispatch(effGetProgramNameIndexed, index, -1, buf, 0.0f, 0, 0);
  buf[sizeof buf - 1] = '\0';
  return buf;
}

}  // namespace

FxProgram CVST::MakeProgram() {
  FxProgram p;
  if (!effect_) return p;
  p.fxID = effect_->uniqueID;
  p.fxVersion = effect_->version;
  p.SetName(ProgramName(*this, 0, true));
  if (effect_->flags & effFlagsProgramChunks) {
    p.chunk = true;
    p.count = effect_->numPrograms;
    void* data = nullptr;
    const intptr_t n = Dispatch(effGetChunk, 1, 0, &data);
    if (data && n > 0)
      p.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
  } else {
    const int32_t n = std::clamp(effect_->numParams, 0, kMaxParams);
    p.count = n;
    p.params.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
      p.params[static_cast<size_t>(i)] = effect_->getParameter ? effect_->getParameter(effect_, i) : 0.0f;
  }
  return p;
}

FxBank CVST::MakeBank() {
  FxBank b;
  if (!effect_) return b;
  b.fxID = effect_->uniqueID;
  b.fxVersion = effect_->version;
  b.numPrograms = std::clamp(effect_->numPrograms, 0, kMaxPrograms);
  if (effect_->flags & effFlagsProgramChunks) {
    b.chunk = true;
    void* data = nullptr;
    const intptr_t n = Dispatch(effGetChunk, 0, 0, &data);
    if (data && n > 0)
      b.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
    return b;
  }
  const intptr_t current = Dispatch(effGetProgram);
  for (int32_t i = 0; i < b.numPrograms; ++i) {
    Dispatch(effSetProgram, 0, i);
    b.programs.push_back(MakeProgram());
  }
  Dispatch(effSetProgram, 0, current);
  return b;
}

bool CVST::ApplyProgram(const FxProgram& p) {
  if (!effect_) return false;
  if (p.fxID != effect_->uniqueID) {
    ShowNotice("Plugin id doesn't match id in file");
    return false;
  }
  const bool chunky = (effect_->flags & effFlagsProgramChunks) != 0;
  if (p.chunk != chunky) return false;
  releaseHeld_ = 1;
  Dispatch(effBeginSetProgram);
  if (p.chunk) {
    Dispatch(effSetChunk, 1, static_cast<intptr_t>(p.data.size()), const_cast<uint8_t*>(p.data.data()));
  } else {
    std::string name = p.Name();
    Dispatch(effSetProgramName, 0, 0, name.data());
    const int32_t n = std::min<int32_t>(static_cast<int32_t>(p.params.size()), effect_->numParams);
    for (int32_t i = 0; i < n && effect_->setParameter; ++i)
      effect_->setParameter(effect_, i, p.params[static_cast<size_t>(i)]);
  }
  Dispatch(effEndSetProgram);
  return true;
}

bool CVST::ApplyBank(const FxBank& b) {
  if (!effect_) return false;
  if (b.fxID != effect_->uniqueID) {
    ShowNotice(file + " - Plugin id doesn't match id in file");
    return false;
  }
  const bool chunky = (effect_->flags & effFlagsProgramChunks) != 0;
  if (b.chunk != chunky) return false;
  releaseHeld_ = 1;
  if (b.chunk) {
    Dispatch(effSetChunk, 0, static_cast<intptr_t>(b.data.size()), const_cast<uint8_t*>(b.data.data()));
    return true;
  }
  const intptr_t current = Dispatch(effGetProgram);
  const int32_t n = std::min<int32_t>(static_cast<int32_t>(b.programs.size()), effect_->numPrograms);
  for (int32_t i = 0; i < n; ++i) {
    const FxProgram& p = b.programs[static_cast<size_t>(i)];
    if (p.chunk) continue;
    Dispatch(effSetProgram, 0, i);
    std::string name = p.Name();
    Dispatch(effSetProgramName, 0, 0, name.data());
    const int32_t np = std::min<int32_t>(static_cast<int32_t>(p.params.size()), effect_->numParams);
    for (int32_t k = 0; k < np && effect_->setParameter; ++k)
      effect_->setParameter(effect_, k, p.params[static_cast<size_t>(k)]);
  }
  Dispatch(effSetProgram, 0, current);
  return true;
}

bool CVST::ApplyBankBytes(std::span<const uint8_t> bytes, bool tell) {
  FxBank b;
  std::string error;
  if (!ReadFxBank(bytes, b, error)) {
    if (tell) ShowError("Error", file + ": " + error);
    return false;
  }
  return ApplyBank(b);
}

bool CVST::SaveBankFile(const std::string& path) {
  if (!effect_) return false;
  if (!WriteFileAtomically(path, WriteFxBank(MakeBank()))) {
    ShowError("Save error", "Error saving file " + path);
    return false;
  }
  return true;
}

bool CVST::SaveProgramFile(const std::string& path) {
  if (!effect_) return false;
  if (!WriteFileAtomically(path, WriteFxProgram(MakeProgram()))) {
    ShowError("Save error", "Error saving file " + path);
    return false;
  }
  return true;
}

bool CVST::LoadBankFile(const std::string& path) {
  if (!effect_) return false;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, kMaxFxFileBytes)) {
    ShowError("Error", "Error reading file " + path);
    return false;
  }
  return ApplyBankBytes(bytes, true);
}

bool CVST::LoadProgramFile(const std::string& path) {
  if (!effect_) return false;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes, kMaxFxFileBytes)) {
    ShowError("Error", "Error reading file " + path);
    return false;
  }
  FxProgram p;
  std::string error;
  if (!ReadFxProgram(bytes, p, error)) {
    ShowError("Error", FileNameOf(path) + ": " + error);
    return false;
  }
  return ApplyProgram(p);
}

// ---------------------------------------------------------------- project records

void CVST::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyInt("RCh", channelFilter);
  s.WriteKeyInt("core", coreIndex);
  s.WriteKeyString("FXFolder", folder);
  s.WriteKeyString("File", file);
  if (snapshotWidth > 0 && snapshotHeight > 0 &&
      snapshot.size() == static_cast<size_t>(snapshotWidth) * static_cast<size_t>(snapshotHeight)) {
    s.WriteKey("Bmp2", static_cast<int32_t>(8 + snapshot.size() * 4));
    s.WriteInt(snapshotWidth);
    s.WriteInt(snapshotHeight);
    for (uint32_t px : snapshot) s.WriteInt(static_cast<int32_t>(px));
  }
  for (const auto& p : audioIns) {
    s.WriteKeyMarker("AudioIn");
    s.WriteKeyInt("AudioInChs", p->channels);
  }
  auto conf = [&](const char* key, auto& ports) {
    int entries = 0;
    for (const auto& p : ports) entries += p->channels == 1 ? 1 : 2;
    s.WriteKey(key, 4 + 4 * entries);
    s.WriteInt(entries);
    for (const auto& p : ports) {
      s.WriteInt(p->channels == 1 ? 1 : 2);
      if (p->channels != 1) s.WriteInt(0);
    }
  };
  conf("AInConf", audioIns);
  for (const auto& p : audioOuts) {
    s.WriteKeyMarker("AudioOut2");
    s.WriteKeyInt("AudioOutChs", p->channels);
    s.WriteKeyFloat("AudioOutVol2", p->volume);
    s.WriteKeyInt("AudioOutVolCC2", p->volumeCC);
    s.WriteKeyFloat("AudioOutPan2", p->pan);
    s.WriteKeyInt("AudioOutPanCC2", p->panCC);
    s.WriteKeyInt("AudioOutSolo2", p->solo);
    s.WriteKeyInt("AudioOutMute2", p->mute);
    s.WriteKeyInt("AudioOutFzMode", 0);
    // Inside the sequencer the track's own strip carries the inserts.
    if (parent && !parent->isGroup) continue;
    for (const auto& ins : p->inserts) {
      s.WriteKeyString("Insert", ins->TypeKey());
      ins->Save(s);
      s.WriteEnd();
      s.WriteKeyFloat("InsWet", p->insertWet);
    }
  }
  conf("AOutConf", audioOuts);
  for (const auto& p : audioOuts)
    for (int c = 0; c < p->channels; ++c) {
      s.WriteKeyMarker("AudioOut");
      s.WriteKeyFloat("AudioOutVol", p->volume);
      s.WriteKeyInt("AudioOutVolCC", p->volumeCC);
      s.WriteKeyFloat("AudioOutPan", p->pan);
      s.WriteKeyInt("AudioOutSolo", p->solo);
      s.WriteKeyInt("AudioOutMute", p->mute);
    }
  if (loaded_) {
    const std::vector<uint8_t> bank = WriteFxBank(MakeBank());
    const int64_t at = s.BeginSized("Data");
    s.WriteBytes(bank.data(), bank.size());
    s.WriteInt(static_cast<int32_t>(Dispatch(effGetProgram)));
    s.EndSized(at);
  } else if (!storedData_.empty()) {
    s.WriteKey("Data", static_cast<int32_t>(storedData_.size()));
    s.WriteBytes(storedData_.data(), storedData_.size());
  }
  for (const CCMapEntry& e : ccMap) {
    s.WriteKeyMarker("CCMap");
    s.WriteKeyInt("CCMapCC", e.cc);
    s.WriteKeyInt("CCMapCCMin", e.min);
    s.WriteKeyInt("CCMapCCMax", e.max);
    s.WriteKeyInt("CCMapParam", e.param);
  }
}

void CVST::Load(CStream& s, int) {
  Unload();
  std::vector<int32_t> ins;
  std::vector<StoredOut> outs;
  std::vector<uint8_t> data;
  ccMap.clear();
  std::string key;
  int32_t size = 0;
  auto readInt = [&](int32_t& v) {
    if (size == 4)
      v = s.ReadInt();
    else
      s.Skip(size);
  };
  auto readFloat = [&](float& v) {
    if (size == 4)
      v = s.ReadFloat();
    else
      s.Skip(size);
  };
  int32_t dummy = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    if (LoadBaseRecord(s, key, size, true)) continue;
    if (key == "RCh")
      readInt(channelFilter);
    else if (key == "core")
      readInt(coreIndex);
    else if (key == "FXFolder")
      folder = s.ReadString();
    else if (key == "File")
      file = s.ReadString();
    else if (key == "Bmp2") {
      int32_t w = 0, h = 0;
      if (size >= 8) {
        w = s.ReadInt();
        h = s.ReadInt();
      }
      const int64_t want = int64_t{w} * h * 4;
      if (w > 0 && h > 0 && want == size - 8) {
        snapshot.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
        for (uint32_t& px : snapshot) px = static_cast<uint32_t>(s.ReadInt());
        snapshotWidth = w;
        snapshotHeight = h;
      } else {
        s.Skip(std::max<int64_t>(size - (size >= 8 ? 8 : 0), 0));
      }
    } else if (key == "AudioIn") {
      ins.push_back(2);
      s.Skip(size);
    } else if (key == "AudioInChs") {
      int32_t n = 2;
      readInt(n);
      if (!ins.empty()) ins.back() = n == 1 ? 1 : 2;
    } else if (key == "AudioOut2") {
      outs.emplace_back();
      s.Skip(size);
    } else if (!outs.empty() && key == "AudioOutChs") {
      readInt(outs.back().channels);
      outs.back().channels = outs.back().channels == 1 ? 1 : 2;
    } else if (!outs.empty() && key == "AudioOutVol2")
      readFloat(outs.back().vol);
    else if (!outs.empty() && key == "AudioOutVolCC2")
      readInt(outs.back().volCC);
    else if (!outs.empty() && key == "AudioOutPan2")
      readFloat(outs.back().pan);
    else if (!outs.empty() && key == "AudioOutPanCC2")
      readInt(outs.back().panCC);
    else if (!outs.empty() && key == "AudioOutSolo2")
      readInt(outs.back().solo);
    else if (!outs.empty() && key == "AudioOutMute2")
      readInt(outs.back().mute);
    else if (!outs.empty() && key == "AudioOutFzMode")
      readInt(outs.back().freeze);
    else if (!outs.empty() && key == "InsWet")
      readFloat(outs.back().wet);
    else if (key == "Insert") {
      const std::string type = s.ReadString();
      std::unique_ptr<CComp> m = CreateModule ? CreateModule(type, parent) : nullptr;
      if (m) {
        m->Load(s, 0);
        if (!outs.empty()) outs.back().inserts.push_back(std::move(m));
      } else {
        std::string k;
        int32_t n = 0;
        while (s.NextRecord(k, n) && k != "CEnd") s.Skip(n);
      }
    } else if (key == "Data")
      data = s.ReadRaw(size);
    else if (key == "CCMap") {
      ccMap.emplace_back();
      s.Skip(size);
    } else if (!ccMap.empty() && key == "CCMapCC")
      readInt(ccMap.back().cc);
    else if (!ccMap.empty() && key == "CCMapCCMin")
      readInt(ccMap.back().min);
    else if (!ccMap.empty() && key == "CCMapCCMax")
      readInt(ccMap.back().max);
    else if (!ccMap.empty() && key == "CCMapParam")
      readInt(ccMap.back().param);
    else {
      (void)dummy;
      s.Skip(size);
    }
  }
  channelFilter = std::clamp(channelFilter, -1, 15);
  storedIns_ = ins;
  storedOuts_ = std::move(outs);
  storedData_ = data;
  const int32_t wantEnabled = enabled;
  if (!file.empty() && LoadPlugin(JoinPath(folder, file))) {
    storedData_.clear();
    if (data.size() >= 4) {
      int32_t program = 0;
      std::memcpy(&program, data.data() + data.size() - 4, 4);  // the record stream's byte order
      if (ApplyBankBytes(std::span<const uint8_t>(data.data(), data.size() - 4), false))
        Dispatch(effSetProgram, 0, program);
    }
    ApplyOutputSettings();
    if (wantEnabled != 1) {
      Dispatch(effMainsChanged, 0, 0);
      enabled = 0;
    }
    return;
  }
  // The plug-in is missing: the stored ports stand in for its pins so the
  // project's cables still have somewhere to go.
  BusyLock lock(busy);
  FreeBuffers();
  audioIns.clear();
  audioOuts.clear();
  for (int32_t w : ins) AddAudioIn(w);
  for (const StoredOut& o : storedOuts_) AddAudioOut(o.channels);
  AllocBuffers();
  ApplyOutputSettings();
  enabled = wantEnabled;
}

void CVST::ApplyOutputSettings() {
  if (storedOuts_.empty()) return;
  bool fits = storedOuts_.size() == audioOuts.size();
  for (size_t i = 0; fits && i < audioOuts.size(); ++i)
    fits = audioOuts[i]->channels == storedOuts_[i].channels;
  if (!fits) {
    ShowNotice("Audio out channels have changed, using default settings");
    return;
  }
  for (size_t i = 0; i < audioOuts.size(); ++i) {
    CAudioOut& p = *audioOuts[i];
    const StoredOut& o = storedOuts_[i];
    p.SetVolume(o.vol, false);
    p.SetPan(o.pan, false);
    p.volumeCC = o.volCC;
    p.panCC = o.panCC;
    p.solo = o.solo;
    p.mute = o.mute;
    p.insertWet = std::isfinite(o.wet) ? o.wet : 1.0f;
    for (auto& m : storedOuts_[i].inserts) {
      m->SetSampleRate(sampleRate);
      m->SetTempo(tempo);
      m->SetBlockSize(blockSize);
      p.inserts.push_back(std::move(m));
    }
    storedOuts_[i].inserts.clear();
  }
}

}  // namespace qr
