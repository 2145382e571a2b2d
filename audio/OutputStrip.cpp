#include "audio/OutputStrip.h"

#include <cmath>

#include "graph/Container.h"
#include "graph/ModuleTypes.h"
#include "stream/RecordStream.h"

namespace qr {

ModuleFactory DefaultInsertFactory() noexcept { return InstalledModuleFactory(); }

void SaveOutputStrips(CComp& owner, CStream& s, bool with_inserts) {
  for (auto& pp : owner.audioOuts) {
    CAudioOut& p = *pp;
    s.WriteKeyMarker("AudioOut");
    s.WriteKeyInt("AudioOutChs", p.channels);
    s.WriteKeyFloat("AudioOutVol", p.volumeTarget);
    s.WriteKeyInt("AudioOutVolCC", p.volumeCC);
    s.WriteKeyFloat("AudioOutPan", p.pan);
    s.WriteKeyInt("AudioOutPanCC", p.panCC);
    if (!with_inserts) continue;
    for (auto& ins : p.inserts) {
      s.WriteKeyString("Insert", ins->TypeKey());
      ins->Save(s);
      s.WriteEnd();
      s.WriteKeyFloat("InsWet", p.insertWet);
    }
  }
}

OutputStripReader::~OutputStripReader() = default;

bool OutputStripReader::Read(CComp& owner, CStream& s, const std::string& key, int32_t size) {
  const int64_t record_end = s.Position() + size;
  auto done = [&] {
    s.Seek(record_end);
    return true;
  };
  if (key == "AudioOut") {
    outs_.emplace_back();
    return done();
  }
  const bool strip_key = key == "AudioOutChs" || key == "AudioOutVol" || key == "AudioOutVolCC" ||
                         key == "AudioOutPan" || key == "AudioOutPanCC" || key == "Insert" || key == "InsWet";
  if (!strip_key) return false;
  if (outs_.empty() && key != "Insert") return done();
  if (key == "Insert") {
    const std::string type = s.ReadString();
    s.Seek(record_end);
    CContainer* parent = dynamic_cast<CContainer*>(&owner);
    if (!parent) parent = owner.parent;
    std::unique_ptr<CComp> m = factory_ ? factory_(type, parent) : nullptr;
    if (m) {
      m->Load(s, 0);
    } else {
      // An effect we cannot create: pass over its records.
      std::string k;
      int32_t n = 0;
      while (s.NextRecord(k, n) && k != "CEnd") s.Skip(n);
    }
    if (m && !outs_.empty()) outs_.back().inserts.push_back(std::move(m));
    return true;
  }
  Pending& o = outs_.back();
  if (size == 4) {
    if (key == "AudioOutChs")
      o.channels = s.ReadInt() == 1 ? 1 : 2;
    else if (key == "AudioOutVol")
      o.volume = s.ReadFloat();
    else if (key == "AudioOutVolCC")
      o.volumeCC = s.ReadInt();
    else if (key == "AudioOutPan")
      o.pan = s.ReadFloat();
    else if (key == "AudioOutPanCC")
      o.panCC = s.ReadInt();
    else if (key == "InsWet")
      o.wet = s.ReadFloat();
  }
  return done();
}

void OutputStripReader::Apply(CComp& owner) {
  owner.FreeBuffers();
  owner.audioOuts.clear();
  for (Pending& o : outs_) {
    CAudioOut* p = owner.AddAudioOut(o.channels);
    if (!p) break;
    p->SetVolume(std::isfinite(o.volume) ? o.volume : 1.0f, false);
    p->SetPan(std::isfinite(o.pan) ? o.pan : 0.0f, false);
    p->insertWet = std::isfinite(o.wet) ? o.wet : 1.0f;
    p->volumeCC = o.volumeCC;
    p->panCC = o.panCC;
    for (auto& m : o.inserts) {
      m->SetSampleRate(owner.sampleRate);
      m->SetTempo(owner.tempo);
      m->SetBlockSize(owner.blockSize);
      p->inserts.push_back(std::move(m));
    }
  }
  outs_.clear();
  owner.AllocBuffers();
}

}  // namespace qr
