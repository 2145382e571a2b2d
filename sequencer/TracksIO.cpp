// Saving and loading the song. The records are flat: a marker ("Arr",
// "Track", "TrackVari", "Part", ...) opens a group and the records after it
// fill the newest object of that kind, so the loader is a small state machine
// over "the current arrangement, track, variation, part". Cross references are
// collected as indices and resolved only once every list is complete.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <typeinfo>
#include <unordered_map>

#include "audio/OutputStrip.h"
#include "midifx/Groove.h"
#include "platform/Messages.h"
#include "sequencer/Tracks.h"
#include "stream/RecordStream.h"

namespace qr {

namespace {

// Saves a module as a nested block: its type under `key`, its records, "CEnd".
void SaveModule(CStream& s, std::string_view key, CComp& m) {
  s.WriteKeyString(key, m.TypeKey());
  m.Save(s);
  s.WriteEnd();
}

int32_t RoundToInt(double v) noexcept {
  if (!std::isfinite(v)) return 0;
  v = std::nearbyint(v);  // ties to even under the default rounding mode
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

void WriteCable(CStream& s, std::string_view key, const CableRef& c, bool track_form) {
  if (track_form) {
    s.WriteKey(key, static_cast<int32_t>(20 + c.sourceList.size()));
    s.WriteString(c.sourceList);
    s.WriteInt(c.sourceIndex);
    s.WriteInt(c.sourceOut);
    s.WriteInt(0);
    s.WriteInt(c.destIn);
    return;
  }
  s.WriteKey(key, static_cast<int32_t>(24 + c.sourceList.size() + c.destList.size()));
  s.WriteString(c.sourceList);
  s.WriteInt(c.sourceIndex);
  s.WriteInt(c.sourceOut);
  s.WriteString(c.destList);
  s.WriteInt(c.destIndex);
  s.WriteInt(c.destIn);
}

CableRef ReadCable(CStream& s, bool track_form) {
  CableRef c;
  c.sourceList = s.ReadString();
  c.sourceIndex = s.ReadInt();
  c.sourceOut = s.ReadInt();
  if (track_form) {
    s.ReadInt();
    c.destIn = s.ReadInt();
  } else {
    c.destList = s.ReadString();
    c.destIndex = s.ReadInt();
    c.destIn = s.ReadInt();
  }
  return c;
}

void SaveEnvelopeContent(CStream& s, const CEnvelopePart& e) {
  if (e.tsDenominator != -1) {
    s.WriteKey("PartTS", 4);
    s.WriteShort(e.tsNumerator);
    s.WriteShort(e.tsDenominator);
  }
  for (const auto& p : e.points) {
    s.WriteKeyMarker("EPEv");
    s.WriteKeyInt("EPEvDt", p.delta);
    s.WriteKeyFloat("EPEvDa", p.value);
    s.WriteKeyFloat("EPEvCu", p.curve);
    s.WriteKeyInt("EPEvMo", p.mode);
  }
}

void SaveStrip(CStream& s, const StripOut& o, std::string_view prefix, bool with_freeze) {
  const std::string p(prefix);
  s.WriteKeyMarker(p);
  s.WriteKeyInt(p + "Chs", o.channels);
  s.WriteKeyFloat(p + "Vol", o.volume);
  s.WriteKeyInt(p + "VolCC", o.volumeCC);
  s.WriteKeyFloat(p + "Pan", o.pan);
  s.WriteKeyInt(p + "PanCC", o.panCC);
  s.WriteKeyInt(p + "Mute", o.mute);
  s.WriteKeyInt(p + "Solo", o.solo);
  if (with_freeze) s.WriteKeyInt(p + "FzMode", o.freezeMode);
}

void SaveSends(CStream& s, const std::vector<SendLevel>& sends, std::string_view prefix) {
  const std::string p(prefix);
  for (const auto& l : sends) {
    s.WriteKeyMarker(p);
    s.WriteKeyFloat(p + "Level", l.level);
    s.WriteKeyInt(p + "CC", l.cc);
    s.WriteKeyInt(p + "Pre", l.pre);
  }
}

bool Forwards(const std::string& type) { return type == "CVST" || type == "CSampler" || type == "CTrack"; }

}  // namespace

bool CEnvelopePart::Assign(const CPart& other) {
  const auto* o = dynamic_cast<const CEnvelopePart*>(&other);
  if (!o) return false;
  *this = *o;
  return true;
}

// ---------------------------------------------------------------- save

void CTracks::Save(CStream& s) {
  CComp::Save(s);
  s.WriteKeyString("SampleFolder", sampleFolder);
  s.WriteKeyString("SubFolder", subFolder);
  s.WriteKey("EditPosAndSize", 16);
  for (int32_t v : editRect) s.WriteInt(v);
  s.WriteKeyInt("MidiOutPorts", midiOutPorts);
  s.WriteKeyInt("midiThru", midiThru);
  s.WriteKeyInt("Clock", clock);
  // Under the host's clock the tempo is the host's, not the song's.
  if (clock == 0) s.WriteKeyFloat("Tempo", songTempo);
  s.WriteKeyInt("tempoCC", tempoCC);
  s.WriteKeyInt("tempoCCMin", tempoCCMin);
  s.WriteKeyInt("tempoCCMax", tempoCCMax);
  s.WriteKeyInt("CountIn", countIn);
  s.WriteKeyInt("CountInEnabled", recordStartMode);
  s.WriteKey("TimeSig", 8);
  s.WriteInt(timeSig[0]);
  s.WriteInt(timeSig[1]);
  if (!clickWav.empty()) {
    s.WriteKey("clickWav", static_cast<int32_t>(clickWav.size()));
    s.WriteBytes(clickWav.data(), clickWav.size());
  }
  s.WriteKeyFloat("clickVol", clickVol);
  s.WriteKeyInt("clickEnabled", clickEnabled);
  s.WriteKeyInt("clickCoarse", clickCoarse);
  s.WriteKeyFloat("XZoom", xZoom);
  s.WriteKeyInt("imouts", imouts);
  for (const auto& a : audioInStrips) {
    s.WriteKeyMarker("AudioIn");
    s.WriteKeyInt("AudioInChs", a.channels);
    s.WriteKeyFloat("AudioInVol", a.volume);
    s.WriteKeyInt("AudioInMute", a.mute);
  }
  for (const auto& o : audioOutStrips) {
    SaveStrip(s, o, "AudioOut", false);
    for (const auto& ins : o.inserts) {
      SaveModule(s, "Insert", *ins.module);
      s.WriteKeyFloat("InsWet", ins.wet);
    }
  }
  for (const auto& p : samplePool) {
    if (p.inMemory && p.memory.empty() && p.sample) {
      // A sample made in memory since the load: its block is written fresh.
      const int64_t at = s.BeginSized("TracksSmpmem");
      p.sample->SaveRecords(s);
      s.EndSized(at);
    } else if (p.inMemory) {
      s.WriteKey("TracksSmpmem", static_cast<int32_t>(p.memory.size()));
      if (!p.memory.empty()) s.WriteBytes(p.memory.data(), p.memory.size());
    } else {
      s.WriteKeyMarker("TracksSample");
      s.WriteKeyInt("SampleStyle", p.style);
      s.WriteKeyString("SampleName", p.name);
    }
  }
  for (const auto& m : ccMap) {
    s.WriteKeyMarker("CCMap");
    s.WriteKeyInt("CCMapCC", m[0]);
    s.WriteKeyInt("CCMapParam", m[1]);
  }
  for (auto& c : comps) {
    const std::string type = c.module->TypeKey();
    SaveModule(s, "ArrComp", *c.module);
    s.WriteKeyInt("ELeft", c.left);
    s.WriteKeyInt("ETop", c.top);
    s.WriteKeyInt("EWith", c.width);
    s.WriteKeyInt("EHeight", c.height);
    if (c.module->hasEditorWindow) s.WriteKeyInt("DockPage", c.module->dockPage);
    if (Forwards(type)) s.WriteKeyInt("ArrCompForward", c.forward);
    for (const auto& o : c.outs) {
      s.WriteKeyMarker("ArrCompAudioOut");
      for (const auto& ins : o.inserts) {
        SaveModule(s, "ArrCompInsert", *ins.module);
        s.WriteKeyFloat("ArrCompInsWet", ins.wet);
      }
      SaveSends(s, o.sends, "CompAudioOutSend");
    }
  }
  for (auto& m : sends) SaveModule(s, "ArrSendComp2", *m);
  for (const auto& c : compCables) WriteCable(s, "CompACable2", c, false);
  // MIDI cables into comps (tracks into instruments) in the same layout.
  for (const auto& c : compMidiCables) WriteCable(s, "CompMCable2", c, false);
  s.WriteKeyInt("MultiArr", arrMode);
  s.WriteKeyMarker("Performance");
  s.WriteKeyInt("MultiLeft", multiLeft);
  s.WriteKeyInt("MultiRight", multiRight);
  s.WriteKeyInt("MultiLoop", multiLoop);
  s.WriteKeyFloat("MultiPos", static_cast<float>(playing_ && loopActive_ ? multiLeft : songPos_));
  s.WriteKeyInt("songBeats", songBeats);
  s.WriteKeyInt("ActiveArr", activeArr);

  for (const auto& ap : arrs) {
    const CArr& a = *ap;
    s.WriteKeyMarker("Arr");
    s.WriteKeyString("ArrName", a.name);
    s.WriteKeyInt("ArrMode", a.mode);
    s.WriteKeyInt("ArrMute", a.mute);
    s.WriteKeyInt("ArrSolo", a.solo);
    s.WriteKeyInt("Left", a.left);
    s.WriteKeyInt("Right", a.right);
    s.WriteKeyInt("Left2", a.left2);
    s.WriteKeyInt("Right2", a.right2);
    s.WriteKeyInt("Loop", a.loop);
    const bool at_left = a.playing && a.loopActive && a.position >= a.left;
    s.WriteKeyInt("ArrPos", at_left ? a.left : RoundToInt(a.position));
    // The size states 16 bytes an event although each carries 20: readers
    // have always relied on that.
    s.WriteKey("ArrParts2", static_cast<int32_t>(16 * a.timeline.size()));
    for (const auto& e : a.timeline) {
      s.WriteInt(e.delta);
      s.WriteInt(e.extra1);
      s.WriteInt(e.length);
      s.WriteInt(e.vari);
      s.WriteInt(0);
    }
    s.WriteKeyInt("ArrActiveVari", a.activeVari);
    for (int v = 0; v < a.variCount; ++v) s.WriteKeyMarker("ArrVari");
    for (const auto& g : a.ghosts) {
      if (g.kind == GhostEntry::kMidi) {
        const auto& mp = static_cast<const CMIDIPart&>(*g.part);
        s.WriteKeyMarker("GhostMIDIPart");
        s.WriteKey("GhostPME", static_cast<int32_t>(16 * mp.events.Size()));
        for (const auto& e : mp.events) {
          s.WriteInt(e.delta);
          s.WriteInt(static_cast<int32_t>(e.data));
          s.WriteInt(e.length);
          s.WriteInt(e.flags);
        }
        const std::vector<uint8_t> packed = PackEvents(mp.events);
        s.WriteKey("GhostPartEvents", static_cast<int32_t>(packed.size()));
        if (!packed.empty()) s.WriteBytes(packed.data(), packed.size());
      } else if (g.kind == GhostEntry::kEnvelope) {
        s.WriteKeyMarker("GhostEnvPart");
        SaveEnvelopeContent(s, static_cast<const CEnvelopePart&>(*g.part));
      } else {
        s.WriteKeyMarker("GhostAudioPart");
        static_cast<const CSongAudioPart&>(*g.part).SaveContent(s);
      }
      s.WriteKeyInt("GhostMIDIPartCol", g.part->colour);
    }
    s.WriteKeyInt("ActiveTrack", a.activeTrack);

    for (const auto& tp : a.tracks) {
      const CTrack& t = *tp;
      s.WriteKeyMarker("Track");
      s.WriteKeyString("TrackName", t.name);
      s.WriteKeyInt("TrackMode", t.mode);
      s.WriteKeyInt("TrackRecMode", t.recMode);
      if (t.folder) {
        int32_t idx = 0;
        for (size_t i = 0; i < a.tracks.size(); ++i)
          if (a.tracks[i].get() == t.folder) idx = static_cast<int32_t>(i);
        s.WriteKeyInt("TrackFolder", idx);
      }
      const int32_t ints[] = {t.port,    t.channel,  t.recChannel, t.delay,      t.delayUnit,  t.colour,
                              t.monitor, t.audioIn,  t.cc,         t.cc2,        t.showCC,     t.mapBpm,
                              t.hq,      t.state,    t.height,     t.eheight,    t.offY,       t.az,
                              t.hnote,   t.chHeight, t.edit,       t.mixerStyle, t.forwardMidi};
      static constexpr const char* kIntKeys[] = {
          "TrackPort",    "TrackCh",       "TrackRCh",    "TrackDly",        "TrackDlym",       "TrackCol",
          "TrackMonitor", "TrackAIn",      "TrackCC",     "TrackCC2",        "TrackshowCC",     "Trackmapbpm",
          "TrackHQ",      "TrackState",    "TrackHeight", "TrackEHeight",    "TrackOffY",       "TrackAZ",
          "TrackHNote",   "TrackchHeight", "TrackEdit",   "TrackMixerStyle", "TrackForwardMIDI"};
      for (size_t i = 0; i < std::size(ints); ++i) s.WriteKeyInt(kIntKeys[i], ints[i]);
      for (const auto& m : t.midiInserts) SaveModule(s, "TrackInsertFX", *m);
      if (t.Kind() == TrackKind::kAudio) {
        for (const auto& o : t.strips) {
          SaveStrip(s, o, "TrackAudioOut", true);
          for (const auto& ins : o.inserts) {
            SaveModule(s, "TrackInsert", *ins.module);
            s.WriteKeyFloat("TrackInsWet", ins.wet);
          }
          SaveSends(s, o.sends, "TrackAudioOutSend");
        }
        for (const auto& c : t.audioCables) WriteCable(s, "TrackACable", c, true);
      }
      for (const auto& c : t.midiCables) WriteCable(s, "MCable2", c, true);
      for (const auto& g : t.grooves) {
        // The groove's records are the value; the size follows once known.
        const int64_t at = s.BeginSized("TrackGroove");
        g->Save(s);
        s.EndSized(at);
      }
      for (const auto& vp : t.varis) {
        const CTrackVari& v = *vp;
        s.WriteKeyMarker("TrackVari");
        s.WriteKeyInt("TrackVariState", v.state);
        for (const auto& pp : v.parts) {
          const CPart& p = *pp;
          s.WriteKeyMarker("Part");
          s.WriteKeyString("PartName", p.name);
          s.WriteKeyInt("PartStart", p.start);
          s.WriteKeyInt("PartTicks", p.length);
          s.WriteKeyInt("PartOffset", p.offset);
          s.WriteKeyInt("PartCol", p.colour);
          s.WriteKeyInt("PartStyle", p.style);
          int32_t ghost = -1;
          if (p.ghostSource)
            for (size_t i = 0; i < a.ghosts.size(); ++i)
              if (a.ghosts[i].part.get() == p.ghostSource) ghost = static_cast<int32_t>(i);
          if (const auto* mp = dynamic_cast<const CMIDIPart*>(&p)) {
            if (ghost >= 0)
              s.WriteKeyInt("PartOriginal", ghost);
            else
              SaveEventRecords(s, mp->events);
            s.WriteKeyInt("PartWBeat", RoundToInt(mp->beatWidth));
            s.WriteKeyInt("PartHNote", mp->noteHeight);
          } else if (const auto* ep = dynamic_cast<const CEnvelopePart*>(&p)) {
            if (ghost >= 0)
              s.WriteKeyInt("PartOriginal", ghost);
            else
              SaveEnvelopeContent(s, *ep);
          } else if (const auto* au = dynamic_cast<const CSongAudioPart*>(&p)) {
            if (ghost >= 0)
              s.WriteKeyInt("PartOriginal", ghost);
            else
              au->SaveContent(s);
          }
        }
        // These two have always stated size 0 and carried their int32 after.
        s.WriteKey("TrackVariFzStart", 0);
        s.WriteInt(v.freezeStart);
        s.WriteKey("TrackVariFzTicks", 0);
        s.WriteInt(v.freezeTicks);
        for (const auto& f : v.freeze) {
          if (!f.target) continue;
          s.WriteKeyMarker("TrackVariFz");
          s.WriteKeyString("TrackVariFzName", f.name);
          if (f.compIndex >= 0)
            s.WriteKeyInt("TrackVariFzComp", f.compIndex);
          else
            s.WriteKeyInt("TrackVariFzTrack", f.trackIndex);
          s.WriteKeyInt("TrackVariFzCh", f.channel);
        }
      }
    }
  }
  for (const auto& c : sendCables) WriteCable(s, "SendACable", c, false);
  for (const auto& g : playGroups) {
    s.WriteKeyMarker("playgr");
    s.WriteKeyString("playgrid", g.name);
    s.WriteKeyInt("playgrui", g.ui);
    s.WriteKeyInt("playgrq", g.q);
    s.WriteKeyInt("playgrtrig", g.trig);
    s.WriteKeyInt("playgrex", g.ex);
    s.WriteKeyInt("playgrkey", g.key);
    s.WriteKeyInt("playgrkey2", g.key2);
    s.WriteKeyInt("playgrplay", g.play);
    for (const auto& it : g.items) {
      s.WriteKeyMarker("playgrit");
      s.WriteKeyInt("playgritui", it.ui);
      s.WriteKeyInt("playgritq", it.q);
      s.WriteKeyInt("playgritloop", it.loop);
      s.WriteKeyInt("playgrittrig", it.trig);
      s.WriteKeyInt("playgritex", it.ex);
      s.WriteKeyInt("playgritkey", it.key);
      s.WriteKeyInt("playgritkey2", it.key2);
      s.WriteKeyInt("playgritplay", it.play);
      s.WriteKeyInt("playgritarr", it.arr ? it.arrIndex : -1);
      s.WriteKeyInt("playgritvari", it.vari);
      for (const auto& sub : it.subs) {
        s.WriteKeyMarker("playgritit");
        s.WriteKeyInt("playgrititq", sub.q);
        s.WriteKeyInt("playgritittrig", sub.trig);
        s.WriteKeyInt("playgrititex", sub.ex);
        s.WriteKeyInt("playgrititkey", sub.key);
        s.WriteKeyInt("playgrititkey2", sub.key2);
        s.WriteKeyInt("playgrititplay", sub.play);
        if (it.arr) s.WriteKeyInt("playgritittr", sub.track ? sub.trackIndex : -1);
      }
    }
  }
  for (const auto& ap : arrs)
    for (const auto& tp : ap->tracks)
      for (const auto& vp : tp->varis)
        for (auto& f : vp->freeze) f.saved = 0;
}

// ---------------------------------------------------------------- load

namespace {

// Where the flat records land while a song loads.
struct LoadState {
  CArr* arr = nullptr;
  CTrack* track = nullptr;
  CTrackVari* vari = nullptr;
  CPart* part = nullptr;      // the part or ghost entry whose content follows
  StripOut* strip = nullptr;  // the newest output strip of the current owner
  bool arrParts2 = false;     // "ArrParts2" read for the current arrangement
  bool ghostPME = false;      // the current MIDI ghost's events came with flags
  CFreezeItem* freeze = nullptr;
  CPlayGroup* group = nullptr;
  CPlayItem* item = nullptr;
  CPlaySub* sub = nullptr;
  // Parts that name a ghost pool entry, with the index as stored.
  std::vector<std::tuple<CArr*, CPart*, int32_t>> ghostRefs;
};

CPart* NewPartFor(TrackKind kind) {
  switch (kind) {
    case TrackKind::kMidi:
      return new CMIDIPart();
    case TrackKind::kAudio:
      return new CSongAudioPart();
    case TrackKind::kEnvelope:
      return new CEnvelopePart();
    case TrackKind::kMarker:
      return new CMarkerPart();
    case TrackKind::kFolder:
      break;
  }
  return nullptr;
}

}  // namespace

void CTracks::Load(CStream& s, int) {
  ResetSong();
  const ModuleFactory make = DefaultInsertFactory();
  auto newModule = [&](const std::string& type) -> std::unique_ptr<CComp> {
    std::unique_ptr<CComp> m = make ? make(type, this) : nullptr;
    if (m) {
      m->Load(s, 0);
      return m;
    }
    // A class this build does not have keeps its place in the list (cable
    // indices count it) as a placeholder that skips its records.
    auto u = std::make_unique<CUnknown>(this);
    u->Load(s, 0);
    return u;
  };

  LoadState st;
  std::string key;
  int32_t size = 0;
  while (s.NextRecord(key, size) && key != "CEnd") {
    const int64_t end = s.Position() + size;
    // Most of the comparisons below are settled by the length alone as views;
    // as strings each would compare the text.
    const std::string_view rec = key;
    // The events of MIDI parts are most of a song's records: they go first.
    if (key.starts_with("MPEv")) {
      if (auto* mp = dynamic_cast<CMIDIPart*>(st.part)) LoadEventRecord(s, key, size, mp->events);
      s.Seek(end);
      continue;
    }
    if (LoadBaseRecord(s, key, size, true)) {
      s.Seek(end);
      continue;
    }
    bool consumed_beyond = false;  // the record read past its stated size
    auto I = [&] { return s.ReadInt(); };
    auto F = [&] { return s.ReadFloat(); };

    // ---- the module ----
    if (rec == "SampleFolder")
      sampleFolder = s.ReadString();
    else if (rec == "SubFolder")
      subFolder = s.ReadString();
    else if (rec == "EditPosAndSize") {
      for (auto& v : editRect) v = I();
    } else if (rec == "MidiOutPorts")
      midiOutPorts = std::clamp(I(), 1, 16);
    else if (rec == "midiThru")
      midiThru = I();
    else if (rec == "Clock")
      clock = I();
    else if (rec == "Tempo") {
      const float t = F();
      if (std::isfinite(t) && t > 0.0f)
        songTempo = std::clamp(t, songlimits::kLowestTempo, songlimits::kHighestTempo);
    } else if (rec == "tempoCC")
      tempoCC = I();
    else if (rec == "tempoCCMin")
      tempoCCMin = I();
    else if (rec == "tempoCCMax")
      tempoCCMax = I();
    else if (rec == "CountIn")
      countIn = I();
    else if (rec == "CountInEnabled")
      recordStartMode = I();
    else if (rec == "TimeSig") {
      timeSig[0] = I();
      timeSig[1] = I();
    } else if (rec == "clickWav")
      clickWav = s.ReadRaw(size);
    else if (rec == "clickVol")
      clickVol = F();
    else if (rec == "clickEnabled")
      clickEnabled = I();
    else if (rec == "clickCoarse")
      clickCoarse = I();
    else if (rec == "XZoom")
      xZoom = F();
    else if (rec == "imouts")
      imouts = I();
    else if (rec == "AudioIn")
      audioInStrips.emplace_back();
    else if (rec == "AudioInChs") {
      if (!audioInStrips.empty()) audioInStrips.back().channels = I();
    } else if (rec == "AudioInVol") {
      if (!audioInStrips.empty()) audioInStrips.back().volume = F();
    } else if (rec == "AudioInMute") {
      if (!audioInStrips.empty()) audioInStrips.back().mute = I();
    } else if (rec == "AudioOut")
      st.strip = &audioOutStrips.emplace_back();
    else if (rec == "ArrCompAudioOut")
      st.strip = comps.empty() ? nullptr : &comps.back().outs.emplace_back();
    else if (rec == "TrackAudioOut")
      st.strip = st.track ? &st.track->strips.emplace_back() : nullptr;
    else if (rec == "AudioOutChs" || rec == "TrackAudioOutChs") {
      if (st.strip) st.strip->channels = I();
    } else if (rec == "AudioOutVol" || rec == "TrackAudioOutVol") {
      if (st.strip) st.strip->volume = F();
    } else if (rec == "AudioOutVolCC" || rec == "TrackAudioOutVolCC") {
      if (st.strip) st.strip->volumeCC = I();
    } else if (rec == "AudioOutPan" || rec == "TrackAudioOutPan") {
      if (st.strip) st.strip->pan = F();
    } else if (rec == "AudioOutPanCC" || rec == "TrackAudioOutPanCC") {
      if (st.strip) st.strip->panCC = I();
    } else if (rec == "AudioOutMute" || rec == "TrackAudioOutMute") {
      if (st.strip) st.strip->mute = I();
    } else if (rec == "AudioOutSolo" || rec == "TrackAudioOutSolo") {
      if (st.strip) st.strip->solo = I();
    } else if (rec == "TrackAudioOutFzMode") {
      if (st.strip) st.strip->freezeMode = I();
    } else if (rec == "Insert" || rec == "ArrCompInsert" || rec == "TrackInsert" || rec == "TrackInsertFX" ||
               rec == "ArrComp" || rec == "ArrSendComp2") {
      const std::string type = s.ReadString();
      s.Seek(end);
      std::unique_ptr<CComp> m = newModule(type);
      if (rec == "ArrComp") {
        SongComp& c = comps.emplace_back();
        c.module = std::move(m);
        st.strip = nullptr;
      } else if (rec == "ArrSendComp2") {
        sends.push_back(std::move(m));
      } else if (rec == "TrackInsertFX") {
        if (st.track) st.track->midiInserts.push_back(std::move(m));
      } else if (st.strip) {
        st.strip->inserts.push_back({std::move(m), 1.0f});
      }
      continue;  // the module read its own records
    } else if (rec == "InsWet" || rec == "ArrCompInsWet" || rec == "TrackInsWet") {
      if (st.strip && !st.strip->inserts.empty()) st.strip->inserts.back().wet = F();
    } else if (rec == "CompAudioOutSend" || rec == "TrackAudioOutSend") {
      if (st.strip && st.strip->sends.size() < static_cast<size_t>(kMaxStripSends))
        st.strip->sends.emplace_back();
    } else if (rec == "CompAudioOutSendLevel" || rec == "TrackAudioOutSendLevel") {
      if (st.strip && !st.strip->sends.empty()) st.strip->sends.back().level = F();
    } else if (rec == "CompAudioOutSendCC" || rec == "TrackAudioOutSendCC") {
      if (st.strip && !st.strip->sends.empty()) st.strip->sends.back().cc = I();
    } else if (rec == "CompAudioOutSendPre" || rec == "TrackAudioOutSendPre") {
      if (st.strip && !st.strip->sends.empty()) st.strip->sends.back().pre = I();
    } else if (rec == "TracksSample")
      samplePool.emplace_back();
    else if (rec == "SampleStyle") {
      if (!samplePool.empty()) samplePool.back().style = I();
    } else if (rec == "SampleName") {
      if (!samplePool.empty()) samplePool.back().name = s.ReadString();
    } else if (rec == "TracksSmpmem") {
      PoolSample& p = samplePool.emplace_back();
      p.inMemory = true;
      p.memory = s.ReadRaw(size);
    } else if (rec == "CCMap")
      ccMap.push_back({0, 0});
    else if (rec == "CCMapCC") {
      if (!ccMap.empty()) ccMap.back()[0] = I();
    } else if (rec == "CCMapParam") {
      if (!ccMap.empty()) ccMap.back()[1] = I();
    } else if (rec == "ELeft") {
      if (!comps.empty()) comps.back().left = I();
    } else if (rec == "ETop") {
      if (!comps.empty()) comps.back().top = I();
    } else if (rec == "EWith") {
      if (!comps.empty()) comps.back().width = I();
    } else if (rec == "EHeight") {
      if (!comps.empty()) comps.back().height = I();
    } else if (rec == "DockPage") {
      if (!comps.empty()) {
        comps.back().module->dockPage = I();
        comps.back().module->hasEditorWindow = 1;
      }
    } else if (rec == "ArrCompForward") {
      if (!comps.empty()) comps.back().forward = I();
    } else if (rec == "CompACable2")
      compCables.push_back(ReadCable(s, false));
    else if (rec == "CompMCable2")
      compMidiCables.push_back(ReadCable(s, false));
    else if (rec == "SendACable")
      sendCables.push_back(ReadCable(s, false));
    else if (rec == "MultiArr")
      arrMode = std::clamp(I(), 0, 2);
    else if (rec == "MultiLeft")
      multiLeft = I();
    else if (rec == "MultiRight")
      multiRight = I();
    else if (rec == "MultiLoop")
      multiLoop = I();
    else if (rec == "MultiPos") {
      const float p = F();
      songPos_ = std::isfinite(p) ? p : 0.0;
    } else if (rec == "songBeats")
      songBeats = std::max(1, I());
    else if (rec == "ActiveArr")
      activeArr = I();

    // ---- arrangements ----
    else if (rec == "Arr") {
      arrs.push_back(std::make_unique<CArr>());
      st = LoadState{.ghostRefs = std::move(st.ghostRefs)};
      st.arr = arrs.back().get();
      st.arr->variCount = 0;
    } else if (st.arr && rec == "ArrName")
      st.arr->name = s.ReadString();
    else if (st.arr && rec == "ArrMode")
      st.arr->mode = I();
    else if (st.arr && rec == "ArrMute")
      st.arr->mute = I();
    else if (st.arr && rec == "ArrSolo")
      st.arr->solo = I();
    else if (st.arr && rec == "Left")
      st.arr->left = I();
    else if (st.arr && rec == "Right")
      st.arr->right = I();
    else if (st.arr && rec == "Left2")
      st.arr->left2 = I();
    else if (st.arr && rec == "Right2")
      st.arr->right2 = I();
    else if (st.arr && rec == "Loop")
      st.arr->loop = I();
    else if (st.arr && rec == "ArrPos")
      st.arr->position = I();
    else if (st.arr && (rec == "ArrParts" || rec == "ArrParts2")) {
      const bool second = rec == "ArrParts2";
      if (second || !st.arrParts2) {
        // Each event of the second form is 20 bytes although the size counts
        // 16; the count comes from the size either way.
        const int64_t n = size / 16;
        if (second && n * 20 > s.Remaining()) {
          s.SetFailed();
          break;
        }
        st.arr->timeline.clear();
        for (int64_t i = 0; i < n; ++i) {
          TimelineEvent e;
          e.delta = I();
          e.extra1 = I();
          e.length = I();
          e.vari = I();
          if (second) e.extra2 = I();
          st.arr->timeline.push_back(e);
        }
        if (second) {
          st.arrParts2 = true;
          consumed_beyond = true;
        }
      }
    } else if (st.arr && rec == "ArrActiveVari")
      st.arr->activeVari = I();
    else if (st.arr && rec == "ArrVari")
      ++st.arr->variCount;
    else if (st.arr && (rec == "GhostMIDIPart" || rec == "GhostEnvPart" || rec == "GhostAudioPart")) {
      GhostEntry& g = st.arr->ghosts.emplace_back();
      if (rec == "GhostMIDIPart")
        g.kind = GhostEntry::kMidi, g.part = std::make_unique<CMIDIPart>();
      else if (rec == "GhostEnvPart")
        g.kind = GhostEntry::kEnvelope, g.part = std::make_unique<CEnvelopePart>();
      else
        g.kind = GhostEntry::kAudio, g.part = std::make_unique<CSongAudioPart>();
      st.part = g.part.get();
      st.ghostPME = false;
    } else if (rec == "GhostPME" || rec == "GhostPartEvents") {
      auto* mp = dynamic_cast<CMIDIPart*>(st.part);
      const bool pme = rec == "GhostPME";
      if (mp && (pme || !st.ghostPME)) {
        const int per = pme ? 16 : 12;
        mp->events.Clear();
        for (int64_t i = 0; i < size / per; ++i) {
          PartEvent e;
          e.delta = I();
          e.data = static_cast<uint32_t>(I());
          e.length = I();
          if (pme) e.flags = I();
          mp->events.Append(e);
        }
        if (pme) st.ghostPME = true;
      }
    } else if (rec == "GhostMIDIPartCol") {
      if (st.arr && !st.arr->ghosts.empty()) st.arr->ghosts.back().part->colour = I();
    } else if (st.arr && rec == "ActiveTrack")
      st.arr->activeTrack = I();

    // ---- tracks ----
    else if (st.arr && rec == "Track") {
      st.track = st.arr->tracks.emplace_back(std::make_unique<CTrack>(this)).get();
      st.vari = nullptr;
      st.part = nullptr;
      st.strip = nullptr;
    } else if (st.track && key.starts_with("Track") && rec != "TrackVari" && rec != "TrackGroove" &&
               !key.starts_with("TrackVari") && rec != "TrackACable") {
      CTrack& t = *st.track;
      if (rec == "TrackName")
        t.name = s.ReadString();
      else if (rec == "TrackMode")
        t.mode = std::clamp(I(), 0, 4);
      else if (rec == "TrackRecMode")
        t.recMode = I();
      else if (rec == "TrackFolder")
        t.folderIndex = I();
      else {
        static constexpr std::pair<const char*, int32_t CTrack::*> kInts[] = {
            {"TrackPort", &CTrack::port},
            {"TrackCh", &CTrack::channel},
            {"TrackRCh", &CTrack::recChannel},
            {"TrackDly", &CTrack::delay},
            {"TrackDlym", &CTrack::delayUnit},
            {"TrackCol", &CTrack::colour},
            {"TrackMonitor", &CTrack::monitor},
            {"TrackAIn", &CTrack::audioIn},
            {"TrackCC", &CTrack::cc},
            {"TrackCC2", &CTrack::cc2},
            {"TrackshowCC", &CTrack::showCC},
            {"Trackmapbpm", &CTrack::mapBpm},
            {"TrackHQ", &CTrack::hq},
            {"TrackState", &CTrack::state},
            {"TrackHeight", &CTrack::height},
            {"TrackEHeight", &CTrack::eheight},
            {"TrackOffY", &CTrack::offY},
            {"TrackAZ", &CTrack::az},
            {"TrackHNote", &CTrack::hnote},
            {"TrackchHeight", &CTrack::chHeight},
            {"TrackEdit", &CTrack::edit},
            {"TrackMixerStyle", &CTrack::mixerStyle},
            {"TrackForwardMIDI", &CTrack::forwardMidi}};
        for (const auto& [k, field] : kInts)
          if (key == k) {
            t.*field = I();
            break;
          }
      }
    } else if (st.track && rec == "TrackACable")
      st.track->audioCables.push_back(ReadCable(s, true));
    else if (st.track && rec == "MCable2")
      st.track->midiCables.push_back(ReadCable(s, true));
    else if (st.track && rec == "TrackGroove") {
      // The groove reads from its own value only, whatever it holds.
      CMemStream inner(s.ReadRaw(size));
      auto g = std::make_unique<CGroove>(this);
      g->LoadSecond(inner);
      st.track->grooves.push_back(std::move(g));
    } else if (st.track && rec == "TrackVari") {
      st.vari = st.track->varis.emplace_back(std::make_unique<CTrackVari>()).get();
      st.part = nullptr;
      st.freeze = nullptr;
    } else if (st.vari && rec == "TrackVariState")
      st.vari->state = I();
    else if (st.vari && (rec == "TrackVariFzStart" || rec == "TrackVariFzTicks")) {
      // Size 0 on the record, its int32 after it.
      (rec == "TrackVariFzStart" ? st.vari->freezeStart : st.vari->freezeTicks) = I();
      consumed_beyond = true;
    } else if (st.vari && rec == "TrackVariFz")
      st.freeze = &st.vari->freeze.emplace_back();
    else if (st.freeze && rec == "TrackVariFzName")
      st.freeze->name = s.ReadString();
    else if (st.freeze && rec == "TrackVariFzComp")
      st.freeze->compIndex = I();
    else if (st.freeze && rec == "TrackVariFzTrack")
      st.freeze->trackIndex = I();
    else if (st.freeze && rec == "TrackVariFzCh")
      st.freeze->channel = I();

    // ---- parts ----
    else if (st.vari && rec == "Part") {
      CPart* p = NewPartFor(st.track->Kind());
      st.part = p;
      if (p) st.vari->parts.emplace_back(p);
    } else if (st.part && rec == "PartName")
      st.part->name = s.ReadString();
    else if (st.part && rec == "PartStart")
      st.part->start = I();
    else if (st.part && rec == "PartTicks")
      st.part->length = I();
    else if (st.part && rec == "PartOffset")
      st.part->offset = I();
    else if (st.part && rec == "PartCol")
      st.part->colour = I();
    else if (st.part && rec == "PartStyle")
      st.part->style = I();
    else if (st.part && rec == "PartOriginal")
      st.ghostRefs.emplace_back(st.arr, st.part, I());
    else if (st.part && rec == "PartWBeat") {
      if (auto* mp = dynamic_cast<CMIDIPart*>(st.part)) mp->beatWidth = static_cast<float>(I());
    } else if (st.part && rec == "PartHNote") {
      if (auto* mp = dynamic_cast<CMIDIPart*>(st.part)) mp->noteHeight = I();
    } else if (st.part && rec == "PartTS") {
      if (auto* ep = dynamic_cast<CEnvelopePart*>(st.part)) {
        ep->tsNumerator = s.ReadShort();
        ep->tsDenominator = s.ReadShort();
      }
    } else if (st.part && key.starts_with("EPEv")) {
      if (auto* ep = dynamic_cast<CEnvelopePart*>(st.part)) {
        if (rec == "EPEv")
          ep->points.emplace_back();
        else if (!ep->points.empty()) {
          auto& p = ep->points.back();
          if (rec == "EPEvDt")
            p.delta = I();
          else if (rec == "EPEvDa")
            p.value = F();
          else if (rec == "EPEvCu")
            p.curve = F();
          else if (rec == "EPEvMo")
            p.mode = I();
        }
      }
    } else if (st.part && (key.starts_with("AuEv") || key.starts_with("AuCh"))) {
      if (auto* au = dynamic_cast<CSongAudioPart*>(st.part)) au->LoadContent(s, key, size);
    }

    // ---- play groups ----
    else if (rec == "playgr") {
      st.group = &playGroups.emplace_back();
      st.item = nullptr;
      st.sub = nullptr;
    } else if (st.group && rec == "playgrit") {
      st.item = &st.group->items.emplace_back();
      st.sub = nullptr;
    } else if (st.item && rec == "playgritit")
      st.sub = &st.item->subs.emplace_back();
    else if (key.starts_with("playgr")) {
      static constexpr std::pair<const char*, int32_t CPlayGroup::*> kGroup[] = {
          {"playgrui", &CPlayGroup::ui},     {"playgrq", &CPlayGroup::q},
          {"playgrtrig", &CPlayGroup::trig}, {"playgrex", &CPlayGroup::ex},
          {"playgrkey", &CPlayGroup::key},   {"playgrkey2", &CPlayGroup::key2},
          {"playgrplay", &CPlayGroup::play}};
      static constexpr std::pair<const char*, int32_t CPlayItem::*> kItem[] = {
          {"playgritui", &CPlayItem::ui},        {"playgritq", &CPlayItem::q},
          {"playgritloop", &CPlayItem::loop},    {"playgrittrig", &CPlayItem::trig},
          {"playgritex", &CPlayItem::ex},        {"playgritkey", &CPlayItem::key},
          {"playgritkey2", &CPlayItem::key2},    {"playgritplay", &CPlayItem::play},
          {"playgritarr", &CPlayItem::arrIndex}, {"playgritvari", &CPlayItem::vari}};
      static constexpr std::pair<const char*, int32_t CPlaySub::*> kSub[] = {
          {"playgrititq", &CPlaySub::q},          {"playgritittrig", &CPlaySub::trig},
          {"playgrititex", &CPlaySub::ex},        {"playgrititkey", &CPlaySub::key},
          {"playgrititkey2", &CPlaySub::key2},    {"playgrititplay", &CPlaySub::play},
          {"playgritittr", &CPlaySub::trackIndex}};
      if (rec == "playgrid" && st.group) st.group->name = s.ReadString();
      for (const auto& [k, f] : kGroup)
        if (st.group && key == k) st.group->*f = I();
      for (const auto& [k, f] : kItem)
        if (st.item && key == k) st.item->*f = I();
      for (const auto& [k, f] : kSub)
        if (st.sub && key == k) st.sub->*f = I();
    }
    if (s.Failed()) break;
    if (!consumed_beyond || s.Position() < end) s.Seek(end);
  }

  // Ghost copies: an index outside the pool, or an entry of another kind,
  // leaves the part with no source and nothing to play.
  for (auto& [arr, part, index] : st.ghostRefs) {
    if (index < 0 || static_cast<size_t>(index) >= arr->ghosts.size()) continue;
    CPart* src = arr->ghosts[static_cast<size_t>(index)].part.get();
    if (typeid(*src) != typeid(*part)) continue;
    part->ghostSource = src;
    if (auto* mp = dynamic_cast<CMIDIPart*>(part)) mp->source = static_cast<CMIDIPart*>(src);
    if (auto* au = dynamic_cast<CSongAudioPart*>(part)) au->link = static_cast<CSongAudioPart*>(src);
  }
  ResolveReferences();
  ResolvePool();
  if (s.Failed()) ShowNotice("Sequencer: error reading song");
  tempo = songTempo;
  clicker.LoadSample(clickWav);
  Rebuild();
}

CComp* CTracks::ResolveEnd(const std::string& list, int32_t index) const noexcept {
  if (index < 0) return nullptr;
  const auto i = static_cast<size_t>(index);
  if (list == "comps") return i < comps.size() ? comps[i].module.get() : nullptr;
  if (list == "sends") return i < sends.size() ? sends[i].get() : nullptr;
  if (list == "tracks") {
    // Tracks are counted across the arrangements in their order.
    size_t n = i;
    for (const auto& a : arrs) {
      if (n < a->tracks.size()) return a->tracks[n].get();
      n -= a->tracks.size();
    }
  }
  return nullptr;
}

namespace {
bool FitsKind(const CPart& p, TrackKind kind) {
  switch (kind) {
    case TrackKind::kMidi:
      return dynamic_cast<const CMIDIPart*>(&p) != nullptr;
    case TrackKind::kAudio:
      return dynamic_cast<const CSongAudioPart*>(&p) != nullptr;
    case TrackKind::kEnvelope:
      return dynamic_cast<const CEnvelopePart*>(&p) != nullptr;
    case TrackKind::kMarker:
      return dynamic_cast<const CMarkerPart*>(&p) != nullptr;
    case TrackKind::kFolder:
      break;
  }
  return false;
}
}  // namespace

void CTracks::ResolveReferences() {
  // A part read before its track's kind changed is of the wrong kind: the
  // track could neither play nor store it.
  for (auto& ap : arrs)
    for (auto& tp : ap->tracks)
      for (auto& vp : tp->varis)
        std::erase_if(vp->parts, [&](const auto& p) { return !FitsKind(*p, tp->Kind()); });
  const int32_t nArrs = static_cast<int32_t>(arrs.size());
  for (auto& ap : arrs) {
    CArr& a = *ap;
    const int32_t n = static_cast<int32_t>(a.tracks.size());
    for (auto& tp : a.tracks) {
      CTrack& t = *tp;
      t.folder = nullptr;
      if (t.folderIndex >= 0 && t.folderIndex < n &&
          a.tracks[static_cast<size_t>(t.folderIndex)].get() != &t &&
          a.tracks[static_cast<size_t>(t.folderIndex)]->Kind() == TrackKind::kFolder)
        t.folder = a.tracks[static_cast<size_t>(t.folderIndex)].get();
      for (auto& vp : t.varis)
        for (auto& f : vp->freeze) {
          f.target = nullptr;
          if (f.compIndex >= 0 && static_cast<size_t>(f.compIndex) < comps.size())
            f.target = comps[static_cast<size_t>(f.compIndex)].module.get();
          else if (f.compIndex < 0 && f.trackIndex >= 0 && f.trackIndex < n)
            f.target = a.tracks[static_cast<size_t>(f.trackIndex)].get();
        }
    }
  }
  for (auto& g : playGroups)
    for (auto& it : g.items) {
      it.arr =
          it.arrIndex >= 0 && it.arrIndex < nArrs ? arrs[static_cast<size_t>(it.arrIndex)].get() : nullptr;
      for (auto& sub : it.subs) {
        sub.track = nullptr;
        if (it.arr && sub.trackIndex >= 0 && static_cast<size_t>(sub.trackIndex) < it.arr->tracks.size())
          sub.track = it.arr->tracks[static_cast<size_t>(sub.trackIndex)].get();
      }
    }
  LinkCables();
}

void CTracks::LinkCables() {
  // A cable whose ends do not both exist is dropped, and so is a second copy
  // of one already linked (connecting it twice would take it away again).
  auto link = [&](std::vector<CableRef>& list, CComp* fixed_dest, bool midi) {
    std::vector<CableRef> kept;
    for (auto& c : list) {
      c.source = ResolveEnd(c.sourceList, c.sourceIndex);
      c.dest = fixed_dest ? fixed_dest : ResolveEnd(c.destList, c.destIndex);
      if (!c.source || !c.dest || c.source == c.dest) continue;
      bool dup = false;
      for (const auto& k : kept)
        dup = dup || (k.source == c.source && k.dest == c.dest && k.sourceOut == c.sourceOut &&
                      k.destIn == c.destIn);
      if (dup) continue;
      if (midi) {
        c.dest->ConnectMidi(c.source, c.sourceOut, c.destIn);
      } else if (!c.dest->ConnectAudio(c.source, c.destIn, c.sourceOut)) {
        continue;
      }
      kept.push_back(c);
    }
    list = std::move(kept);
  };
  link(compCables, nullptr, false);
  link(compMidiCables, nullptr, true);
  link(sendCables, nullptr, false);
  for (auto& ap : arrs)
    for (auto& tp : ap->tracks) {
      link(tp->audioCables, tp.get(), false);
      link(tp->midiCables, tp.get(), true);
    }
}

}  // namespace qr
