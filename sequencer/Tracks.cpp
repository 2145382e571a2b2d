// The sequencer's block: requests, incoming MIDI and its own controls, the
// performance timeline and its queue, the arrangements' clocks and loops, the
// tracks, and the modules they play into run in two phases.
//
// Time: every arrangement and the performance keep a TickWalker, so a
// position is always worked out from an anchor and never summed block by
// block. A loop wraps on the sample its right locator falls on (the walker's
// SampleOf), so an event at the loop's start sounds exactly where it would if
// the song were written out end to end.
#include "sequencer/Tracks.h"

#include <algorithm>
#include <cmath>

#include "graph/BusyFlag.h"
#include "graph/Denormals.h"
#include "graph/WorkerPool.h"
#include "midifx/Groove.h"
#include "midipart/MidiPart2.h"
#include "platform/Messages.h"
#include "vsthost/VST.h"

namespace qr {

namespace {

// A sample count from a song position: a damaged song may stand anywhere, so
// the count saturates, and a NaN counts 0.
int64_t SamplesAt(double samples) noexcept {
  return samples == samples ? static_cast<int64_t>(std::clamp(samples, -0x1p62, 0x1p62)) : 0;
}
constexpr double kBeat = 960.0;
constexpr int kMaxCutsPerStretch = 4096;  // a loop shorter than a sample cannot spin the block
// The number of the queue entry that ends a play item without loop.
constexpr int32_t kOneShotEnd = 1;
}  // namespace

CTracks::CTracks(CContainer* parent) : CPartComp(parent) {
  id = "Sequencer";
  for (auto& q : out_) q = std::make_unique<CMIDIQ>();
  AddAudioIn(2);
  AddAudioOut(2);
  songTempo = tempo;
  auto& a = AddArr();
  AddTrack(a, TrackKind::kMidi);
}

CTracks::~CTracks() {
  // Comps may hold cables from tracks; they go before the song they point into.
  sends.clear();
  comps.clear();
}

void CTracks::ResetSong() {
  // The old song's notes end in the first block of the new one.
  orphanOffs_.Clear();
  for (CTrack* t : allTracks_)
    t->held_.ReleaseAll(
        [&](uint32_t msg) { orphanOffs_.Push(midi::WithPort(msg, static_cast<uint32_t>(t->port))); });
  allTracks_.clear();
  sends.clear();
  comps.clear();
  arrs.clear();
  audioInStrips.clear();
  audioOutStrips.clear();
  samplePool.clear();
  ccMap.clear();
  compCables.clear();
  compMidiCables.clear();
  sendCables.clear();
  playGroups.clear();
  clickWav.clear();
  sampleFolder.clear();
  subFolder.clear();
  midiOutPorts = 1;
  midiThru = 1;
  clock = 0;
  songTempo = tempo;  // a song under the host's clock keeps the tempo it has
  tempoCC = -1, tempoCCMin = 80, tempoCCMax = 160;
  countIn = 4, recordStartMode = 1;
  timeSig = {4, 4};
  clickVol = 1.0f, clickEnabled = 0, clickCoarse = 0;
  xZoom = 64.0f, imouts = 1;
  arrMode = kSingle, multiLeft = 0, multiRight = 960, multiLoop = 1, songBeats = 1, activeArr = 0;
  playing_ = performance_ = loopActive_ = false;
  // The parts step recording wrote into are gone with the old song.
  stepRecording_.store(false);
  stepTarget_ = nullptr;
  stepCount_ = 0;
  haveSteps_.store(false);
  clicker.Clear();
  songPos_ = 0.0;
  beatCounter_ = 0;
  queue_.Clear();
}

CArr& CTracks::AddArr() {
  BusyLock lock(busy);
  arrs.push_back(std::make_unique<CArr>());
  arrs.back()->name = "Arrangement " + std::to_string(arrs.size());
  return *arrs.back();
}

CTrack& CTracks::AddTrack(CArr& arr, TrackKind kind) {
  auto t = std::make_unique<CTrack>(this, kind);
  BusyLock lock(busy);
  for (int v = 0; v < std::max(1, arr.variCount); ++v) t->varis.push_back(std::make_unique<CTrackVari>());
  arr.tracks.push_back(std::move(t));
  Rebuild();
  return *arr.tracks.back();
}

void CTracks::ReleaseNotes(NoteOffSink& sink) noexcept {
  // Each note leaves by the port the block would have sent it on.
  const int last = std::clamp(midiOutPorts, 1, 16) - 1;
  for (const MidiEvent& e : orphanOffs_) sink.NoteOff(0, e.msg & 0x00FFFFFFu);
  orphanOffs_.Clear();
  for (CTrack* t : allTracks_) {
    const int port = std::clamp(t->port, 0, last);
    t->held_.ReleaseAll([&](uint32_t off) { sink.NoteOff(port, off); });
  }
}

void CTracks::DeleteTrack(CArr& arr, int index) {
  if (index < 0 || static_cast<size_t>(index) >= arr.tracks.size()) return;
  BusyLock lock(busy);
  CTrack* t = arr.tracks[static_cast<size_t>(index)].get();
  t->held_.ReleaseAll(
      [&](uint32_t msg) { orphanOffs_.Push(midi::WithPort(msg, static_cast<uint32_t>(t->port))); });
  for (auto& other : arr.tracks)
    if (other->folder == t) other->folder = nullptr;
  arr.tracks.erase(arr.tracks.begin() + index);
  Rebuild();
}

CComp* CTracks::AddComp(std::unique_ptr<CComp> module) {
  BusyLock lock(busy);
  SongComp& c = comps.emplace_back();
  c.module = std::move(module);
  c.module->parent = this;
  c.outs.resize(c.module->audioOuts.size());
  Rebuild();
  return c.module.get();
}

CComp* CTracks::AddSend(std::unique_ptr<CComp> module) {
  BusyLock lock(busy);
  sends.push_back(std::move(module));
  sends.back()->parent = this;
  Rebuild();
  return sends.back().get();
}

void CTracks::Rebuild() {
  allTracks_.clear();
  audioTracks_.clear();
  for (auto& a : arrs)
    for (auto& t : a->tracks) {
      t->blockSize = blockSize;
      t->sampleRate = sampleRate;
      t->tempo = tempo;
      t->SetUpAudio();
      t->SetUpInserts();
      for (auto& o : t->strips) SetUpStrip(o);
      allTracks_.push_back(t.get());
      if (t->Kind() == TrackKind::kAudio) audioTracks_.push_back(t.get());
    }
  poolView_.clear();
  for (auto& p : samplePool) poolView_.push_back(p.sample.get());
  phase1_.clear();
  phase2_.clear();
  jobs_.clear();
  jobList_.clear();
  for (auto& c : comps) {
    for (auto& o : c.outs) SetUpStrip(o);
    CComp* m = c.module.get();
    if (auto* mp = dynamic_cast<CMIDIPart2*>(m)) mp->transport = &transport;
    // A hosted plug-in asks for the time: inside the song it is the song's.
    if (auto* vst = dynamic_cast<CVST*>(m)) vst->SetTransport(&transport, true);
    phase1_.push_back(m);
    // A comp fed by audio cables pulls its sources while it runs, so only a
    // comp without them may run beside the audio thread.
    if (m->coreIndex >= 1 && m->audioInCables.empty()) {
      auto job = std::make_unique<CCoreJob>(this);
      job->target = m;
      job->coreIndex = m->coreIndex;
      job->blockSize = std::max(1, blockSize);
      job->buffersAllocated = 1;
      jobList_.push_back(job.get());
      jobs_.push_back(std::move(job));
    }
  }
  for (auto& s : sends) phase2_.push_back(s.get());
  for (auto& o : audioOutStrips) SetUpStrip(o);
}

void CTracks::SetBlockSize(int frames) {
  CComp::SetBlockSize(frames);
  blockSize = frames;
  AllocBuffers();
  for (auto& c : comps) {
    c.module->SetBlockSize(frames);
    c.module->blockSize = frames;
    c.module->AllocBuffers();
  }
  for (auto& s : sends) {
    s->SetBlockSize(frames);
    s->blockSize = frames;
    s->AllocBuffers();
  }
  Rebuild();
}

void CTracks::SetSampleRate(float rate) {
  CComp::SetSampleRate(rate);
  sampleRate = rate;
  for (auto& c : comps) c.module->SetSampleRate(rate);
  for (auto& s : sends) s->SetSampleRate(rate);
  Rebuild();
}

void CTracks::SetTempo(float bpm) {
  // The song's tempo is its own under the internal clock; the host's tempo
  // reaches it only when the clock follows the host.
  if (clock == 1 && std::isfinite(bpm) && bpm > 0.0f) {
    songTempo = std::clamp(bpm, songlimits::kLowestTempo, songlimits::kHighestTempo);
    tempo = songTempo;
  }
}

CArr* CTracks::ActiveArr() const noexcept {
  if (activeArr < 0 || static_cast<size_t>(activeArr) >= arrs.size()) return nullptr;
  return arrs[static_cast<size_t>(activeArr)].get();
}

void CTracks::RenderRange(double& from, double& to) const noexcept {
  if (arrMode == kMulti) {
    from = multiLeft;
    to = multiRight;
    return;
  }
  const CArr* a = ActiveArr();
  from = a ? a->left : 0;
  to = a ? a->right : 0;
}

void CTracks::Locate(double ticks) {
  if (!std::isfinite(ticks) || ticks < 0) ticks = 0;
  songPos_ = ticks;
  perfWalker_.Locate(ticks);
  if (CArr* a = ActiveArr()) {
    a->position = ticks;
    a->walker.Locate(ticks);
    a->reached = ticks;
  }
}

// ---------------------------------------------------------------- transport

void CTracks::Start() noexcept { startRequest_.store(true); }
void CTracks::Stop() noexcept { stopRequest_.store(true); }

bool CTracks::Command(std::string_view word) noexcept {
  if (word == "Play from start") {
    Locate(0);
    Start();
  } else if (word == "Play") {
    Start();
  } else if (word == "Stop") {
    Stop();
  } else if (word == "Record") {
    // Served by the next block, which owns the count-in and the click.
    recordRequest_.store(true);
  } else if (word == "Home") {
    Locate(0);
  } else if (word == "Left locator" || word == "Right locator") {
    const bool left = word == "Left locator";
    if (arrMode == kMulti)
      Locate(left ? multiLeft : multiRight);
    else if (CArr* a = ActiveArr())
      Locate(left ? a->left : a->right);
  } else {
    return false;
  }
  return true;
}

void CTracks::ResetAllTracks(int at) noexcept {
  for (CTrack* t : allTracks_) t->ReleaseAll(at);
}

void CTracks::StartArr(CArr& a, double position, int32_t vari, int at) noexcept {
  // A restart (a new timeline event, a switch) ends what the old one held.
  if (a.playing)
    for (auto& t : a.tracks) t->ReleaseAll(at);
  if (vari >= 0 && vari < a.variCount) a.activeVari = vari;
  a.position = position;
  a.walker.SetTempo(tempo, sampleRate);
  a.walker.Locate(position);
  a.reached = position;
  a.playing = true;
  // Under the host's clock the host loops, by moving the position.
  a.loopActive = clock != 1 && a.loop == 1 && a.left < a.right && a.right > position;
}

void CTracks::StopArr(CArr& a, int at) noexcept {
  a.playing = false;
  for (auto& t : a.tracks) t->ReleaseAll(at);
}

namespace {
// The timeline event under an arrangement's cursor by its mode: where it
// starts, how long it lasts and which variation it plays; false when none is
// left. The cursor keeps the start of the event before it, so walking a long
// timeline costs one step per event.
bool CursorEvent(const CArr& a, double& start, double& length, int32_t& vari) noexcept {
  const double len = static_cast<double>(a.right) - a.left;
  if (a.mode == 3) {
    if (a.cursor >= a.timeline.size()) return false;
    const TimelineEvent& e = a.timeline[a.cursor];
    start = a.cursorTick + e.delta;
    length = e.length;
    vari = e.vari;
    return true;
  }
  if ((a.mode != 1 && a.mode != 2) || !(len > 0)) return false;
  if (a.mode == 1 && a.cursor > 0) return false;
  start = static_cast<double>(a.cursor) * len;
  length = len;
  vari = a.activeVari;
  return true;
}

void NextEvent(CArr& a, double start) noexcept {
  a.cursorTick = start;
  ++a.cursor;
}
}  // namespace

void CTracks::Restart() noexcept {
  loopActive_ = clock != 1 && multiLoop == 1 && multiLeft < multiRight && multiRight > songPos_;
  queue_.Clear();
  for (auto& a : arrs) {
    a->cursor = 0;
    a->cursorTick = 0.0;
    a->driven = false;
  }
  if (arrMode == kLive && !rendering && !freezing) {
    const double at = songPos_ == 0.0 ? 0.0 : songBeats * kBeat - (beatCounter_ * kBeat + songPos_);
    for (auto& g : playGroups) {
      g.running = false;
      for (auto& it : g.items) it.running = it.running && it.arr && it.arr->playing;
      if (g.play == 1) {
        queue_.Insert({CArrQ::Target::kGroup, &g, at, 0.0, 0, 0.0});
        continue;
      }
      // An item triggered while the song stood still starts with the cycle.
      for (auto& it : g.items)
        if (it.play == 1 && !it.running) queue_.Insert({CArrQ::Target::kItem, &it, at, 0.0, 0, 0.0});
    }
  }
  if (!performance_) return;
  for (auto& ap : arrs) {
    CArr& a = *ap;
    double start = 0, length = 0;
    int32_t vari = 0;
    // A repeated arrangement starts counting at the repetition under the position.
    if (a.mode == 2 && a.right > a.left && songPos_ > 0)
      a.cursor = static_cast<size_t>(std::min(songPos_ / (static_cast<double>(a.right) - a.left), 1e15));
    // Events that ended are skipped; one under the position starts in its middle.
    while (CursorEvent(a, start, length, vari) && start < songPos_) {
      if (start + length > songPos_) {
        const double into = songPos_ - start;
        queue_.Insert({CArrQ::Target::kArr, &a, 0.0, a.left + into, vari, length - into});
      }
      NextEvent(a, start);
    }
  }
}

void CTracks::AdvanceTimelines(double until) noexcept {
  for (auto& ap : arrs) {
    CArr& a = *ap;
    double start = 0, length = 0;
    int32_t vari = 0;
    while (CursorEvent(a, start, length, vari) && start < until && !(loopActive_ && start >= multiRight)) {
      if (!queue_.Insert(
              {CArrQ::Target::kArr, &a, start - songPos_, static_cast<double>(a.left), vari, length}))
        break;
      NextEvent(a, start);
    }
  }
}

void CTracks::ServeEntry(const CArrQ::Entry& e, int at) noexcept {
  ++stats.served;
  if (e.kind == CArrQ::Target::kArr) {
    auto& a = *static_cast<CArr*>(e.target);
    StartArr(a, e.value, e.number, at);
    a.driven = true;
    a.stopAt = e.span > 0 ? e.value + e.span : 0.0;
    return;
  }
  auto serveItem = [&](CPlayItem& it) {
    if (it.play && !it.running && it.arr && it.vari >= 0 && it.vari < it.arr->variCount) {
      for (auto& sub : it.subs)
        if (sub.track)
          for (auto& v : sub.track->varis) v->state &= ~CTrackVari::kMuted;
      StartArr(*it.arr, it.arr->left2, it.vari, at);
      it.arr->driven = false;
      it.running = true;
      if (!it.loop) {
        it.play = 0;
        queue_.Insert({CArrQ::Target::kItem, &it, static_cast<double>(it.arr->right2) - it.arr->left2, 0.0,
                       kOneShotEnd, 0.0});
      }
    } else if (!it.play && it.running) {
      if (it.arr) StopArr(*it.arr, at);
      it.running = false;
    }
  };
  if (e.kind == CArrQ::Target::kItem) {
    auto& it = *static_cast<CPlayItem*>(e.target);
    if (e.number == kOneShotEnd) {
      // A one-shot ends here even when pressed again meanwhile: the new press
      // has its own entry, which starts it afresh on its grid line.
      if (it.running && it.arr) StopArr(*it.arr, at);
      it.running = false;
      return;
    }
    serveItem(it);
  } else {
    auto& g = *static_cast<CPlayGroup*>(e.target);
    g.running = g.play != 0;
    // Items that are flagged start; a group switched off stops the rest.
    for (auto& it : g.items)
      if (it.play || !g.play) serveItem(it);
  }
}

void CTracks::SetSongTempo(float bpm) noexcept { songTempo = std::clamp(bpm, 10.0f, 250.0f); }

// ---------------------------------------------------------------- block

void CTracks::ResetForBlock(int frames) noexcept {
  CComp::ResetForBlock(frames);
  processed_ = false;
}

CMIDIQ* CTracks::MidiOutput(int port, int frames) noexcept {
  Process(frames);
  if (port < 0 || port >= static_cast<int>(out_.size())) return nullptr;
  return out_[static_cast<size_t>(port)].get();
}

void CTracks::DirectMidiInput(uint32_t msg) { direct_.Push(msg); }

void CTracks::Process(int frames) noexcept {
  if (processed_ || rendering || freezing || frames <= 0) {
    if (!processed_ && (rendering || freezing)) done[0] = 1;
    return;
  }
  if (!BeginProcess(frames, true)) return;
  processed_ = true;
  ScopedFlushDenormals ftz;
  // Read each block: the plug-in closes its cores before its graph.
  CGroup* root = Root();
  workers_ = root ? root->workers : nullptr;
  for (auto& q : out_) q->Clear();
  for (const MidiEvent& e : orphanOffs_) out_[0]->Push(e.msg & 0x00FFFFFFu);
  orphanOffs_.Clear();
  for (CTrack* t : allTracks_) t->BeginBlock();
  ZeroOutputs(frames);
  ServeRequests();
  // The input the graph gathered, and what the host side handed in directly.
  incoming_.Clear();
  for (const MidiEvent& e : midiQueue) incoming_.InsertSorted(e);
  for (const MidiEvent& e : direct_) incoming_.InsertSorted(e.msg, e.kind, e.value, 0.0f);
  direct_.Clear();
  WalkInput(frames);
  for (CTrack* t : allTracks_) {
    const int port = std::clamp(t->port, 0, std::clamp(midiOutPorts, 1, 16) - 1);
    for (const MidiEvent& e : t->out_) out_[static_cast<size_t>(port)]->InsertSorted(e);
  }
  EndProcess(frames);
}

void CTracks::FollowHost() noexcept {
  const CGroup* r = Root();
  if (!r) return;
  const TransportInfo& h = r->transport;
  const double at = std::isfinite(h.songTicks) && h.songTicks > 0 ? h.songTicks : 0.0;
  if (h.playing != playing_) {
    if (h.playing) Locate(at);
    (h.playing ? startRequest_ : stopRequest_).store(true);
    return;
  }
  if (!playing_) return;
  // A host that jumps (its loop, a click on its timeline) takes the song with
  // it; the drift of one block's rounding does not.
  CArr* a = ActiveArr();
  const double ours = performance_ ? songPos_ : a ? a->walker.TickAt(0) : songPos_;
  if (std::fabs(ours - at) <= TicksPerSample() * 2.0) return;
  if (performance_) {
    ResetAllTracks(0);
    for (auto& x : arrs) x->playing = false;
    songPos_ = at;
    perfWalker_.Locate(at);
    Restart();
  } else if (a) {
    StartArr(*a, at, a->activeVari, 0);
  }
}

void CTracks::ServeRequests() noexcept {
  if (clock == 1) FollowHost();
  if (resetAllRequest_.exchange(false)) ResetAllTracks(0);
  if (switchRequest_.exchange(false)) {
    if (arrMode == kSingle) {
      for (auto& a : arrs)
        if (a.get() != ActiveArr() && a->playing) StopArr(*a, 0);
      if (CArr* a = ActiveArr(); a && playing_) {
        ResetAllTracks(0);
        StartArr(*a, a->position, a->activeVari, 0);
      }
    } else if (arrMode == kMulti && playing_) {
      Restart();
    }
  }
  if (recordRequest_.exchange(false) && arrMode != kLive) {
    if (recordArmed_) {
      recordArmed_ = false;
      countInLeft_ = 0;
    } else {
      // 0 records from the next play, 1 counts in first, 2 waits for a note.
      recordArmed_ = true;
      countInLeft_ = 0;
      if (!playing_) {
        PhaseClick();
        if (clock == 0 && recordStartMode == 1) {
          const double n = std::floor(countIn * kBeat / TicksPerSample());
          countInLeft_ = static_cast<int32_t>(std::clamp(n, 0.0, 1e9));
        }
        // No count-in to wait for: playing starts at once.
        if (clock == 0 && recordStartMode != 2 && countInLeft_ <= 0) startRequest_.store(true);
        Notify(2048);
      }
    }
  }
  if (stopRequest_.exchange(false)) {
    // Stop while standing still ends a count-in or a wait for the first note,
    // and lets go of what live input left sounding: the musician's panic key.
    clicker.Silence();
    clicker.running = false;
    recordArmed_ = false;
    countInLeft_ = 0;
    ResetAllTracks(0);
    if (playing_) {
      playing_ = false;
      performance_ = false;
      for (auto& a : arrs) {
        a->position = a->walker.TickAt(0);
        a->playing = false;
      }
      transport.playing = false;
      transport.changed = true;
    }
  }
  if (startRequest_.exchange(false) && !playing_) {
    playing_ = true;
    const bool offline = rendering || freezing;
    if (arrMode == kLive && !offline && clock == 0) {
      songPos_ = 0.0;
      beatCounter_ = 0;
    }
    performance_ = arrMode != kSingle;
    samplePos_ = SamplesAt(songPos_ / TicksPerSample());
    perfWalker_.SetTempo(tempo, sampleRate);
    perfWalker_.Locate(songPos_);
    for (auto& a : arrs) a->playing = false;
    if (!performance_) {
      if (CArr* a = ActiveArr()) StartArr(*a, a->position, a->activeVari, 0);
    }
    if (!recordArmed_) PhaseClick();
    Notify(2048);
    transport.playing = true;
    transport.changed = true;
    if (performance_) Restart();
  }
}

// The events that reach the sequencer's input, in time order. One its own
// controls take cuts the block there, so what changes (a tempo) holds from
// that exact sample on.
void CTracks::WalkInput(int frames) noexcept {
  thru_.Clear();
  int d = 0;
  for (const MidiEvent& e : incoming_) {
    const int at = std::clamp(static_cast<int>(e.time), 0, frames);
    if (recordArmed_ && recordStartMode == 2 && !playing_) {
      // Waiting for a note: the song starts on the sample the first event came.
      if (at - d > 0) ProcessStretch(d, at - d);
      d = std::max(d, at);
      startRequest_.store(true);
      ServeRequests();
    }
    if (TakeControl(e)) {
      if (at - d > 0) ProcessStretch(d, at - d);
      if (takenTempo_ > 0.0f) SetSongTempo(takenTempo_);
      thru_.Clear();
      d = std::max(d, at);
      continue;
    }
    if (midiThru == 1) thru_.InsertSorted(e);
  }
  if (frames - d > 0) ProcessStretch(d, frames - d);
}

void CTracks::ProcessStretch(int s, int m) noexcept {
  // A count-in ends on its exact sample, and playing starts there.
  while (m > 0) {
    int piece = m;
    bool start = false;
    if (recordArmed_ && !playing_ && countInLeft_ > 0 && m >= countInLeft_) {
      piece = countInLeft_;
      start = true;
    }
    Schedule(s, piece);
    if (recordArmed_ && !playing_) countInLeft_ = std::max(0, countInLeft_ - piece);
    if (start) startRequest_.store(true), ServeRequests();
    s += piece;
    m -= piece;
  }
}

void CTracks::Schedule(int s, int m) noexcept {
  if (!Performance()) {
    Render(s, m);
    return;
  }
  perfWalker_.SetTempo(tempo, sampleRate);
  for (int guard = 0; m > 0 && guard < kMaxCutsPerStretch; ++guard) {
    const double here = perfWalker_.TickAt(0);
    songPos_ = here;
    AdvanceTimelines(perfWalker_.TickAt(m));
    int cut = m;
    bool wrap = false, serve = false;
    // A loop shorter than a sample cannot be played; it plays on instead.
    if (loopActive_ && arrMode == kMulti && int64_t{multiRight} - multiLeft >= TicksPerSample()) {
      const int64_t r = std::max<int64_t>(0, perfWalker_.SampleOf(multiRight));
      if (r < cut) cut = static_cast<int>(r), wrap = true;
    }
    if (queue_.Count() > 0) {
      const int64_t q = std::max<int64_t>(0, perfWalker_.SampleOf(here + queue_.Front().time));
      if (q < cut) {
        cut = static_cast<int>(q);
        serve = true;
        wrap = false;
      } else if (q == cut && q < m && !wrap) {
        serve = true;
      }
    }
    if (cut > 0) Render(s, cut);
    perfWalker_.Advance(cut);
    const double now = perfWalker_.TickAt(0);
    queue_.Subtract(now - here);
    songPos_ = now;
    samplePos_ += cut;
    if (serve) {
      while (queue_.Count() > 0 && perfWalker_.SampleOf(now + queue_.Front().time) <= 0) {
        const CArrQ::Entry e = queue_.Front();
        queue_.PopFront();
        ServeEntry(e, s + cut);
      }
    }
    if (wrap) {
      songPos_ = now - static_cast<double>(int64_t{multiRight} - multiLeft);
      perfWalker_.Locate(songPos_);
      samplePos_ = SamplesAt(songPos_ / TicksPerSample());
      ++stats.wraps;
      ResetAllTracks(s + cut);
      for (auto& a : arrs) a->playing = false;
      Restart();
    }
    if (arrMode == kLive && !rendering && !freezing) {
      // A live cycle counts beats; the position never reaches a whole beat.
      if (songPos_ >= kBeat) {
        const double beats = std::floor(songPos_ / kBeat);
        songPos_ -= beats * kBeat;
        beatCounter_ = static_cast<int32_t>(
            std::fmod(beatCounter_ + beats, static_cast<double>(std::max(1, songBeats))));
        perfWalker_.Locate(songPos_);
      }
    }
    s += cut;
    m -= cut;
  }
  if (m > 0) Render(s, m);
}

bool CTracks::Sounding(const CArr& a, const CTrack& t, const CTrackVari* v, bool arr_solo,
                       bool track_solo) const noexcept {
  if (!a.playing || !v) return false;
  if (a.mute || (arr_solo && !a.solo)) return false;
  if (v->state & CTrackVari::kMuted) return false;
  if (track_solo && !(v->state & CTrackVari::kSoloed)) return false;
  if (t.folder && t.folder->Kind() == TrackKind::kFolder) {
    // A muted folder mutes what is in it.
    const int vi = a.activeVari;
    if (vi >= 0 && static_cast<size_t>(vi) < t.folder->varis.size() &&
        (t.folder->varis[static_cast<size_t>(vi)]->state & CTrackVari::kMuted))
      return false;
  }
  return true;
}

void CTracks::Render(int s, int m) noexcept {
  if (m <= 0) return;
  if (tempo != songTempo) tempo = songTempo;
  const double tps = TicksPerSample();
  // Transport the modules inside read.
  if (performance_ || arrMode != kSingle) {
    transport.songTicks = songPos_;
    transport.loop = loopActive_;
    transport.loopStart = multiLeft;
    transport.loopEnd = multiRight;
  } else if (CArr* a = ActiveArr()) {
    transport.songTicks = a->playing ? a->walker.TickAt(0) : a->position;
    transport.loop = a->loop == 1;
    transport.loopStart = a->left;
    transport.loopEnd = a->right;
  }
  transport.playing = playing_;
  for (auto& c : comps)
    if (c.module->tempo != tempo) c.module->SetTempo(tempo);
  for (auto& sd : sends)
    if (sd->tempo != tempo) sd->SetTempo(tempo);
  for (CTrack* t : allTracks_) t->tempo = tempo;
  // Audio tracks write their clips into this stretch of their outputs, and a
  // monitored track hears its audio input there too.
  for (CTrack* t : audioTracks_)
    if (m <= t->blockSize) {
      t->ZeroOutputs(m);
      MonitorInput(*t, s, m);
    }
  const std::span<CSample* const> pool(poolView_);
  bool arrSolo = false;
  for (const auto& x : arrs) arrSolo = arrSolo || x->solo;
  for (auto& ap : arrs) {
    CArr& a = *ap;
    bool trackSolo = false;
    const int vi = a.activeVari;
    for (const auto& o : a.tracks)
      if (vi >= 0 && static_cast<size_t>(vi) < o->varis.size() &&
          (o->varis[static_cast<size_t>(vi)]->state & CTrackVari::kSoloed))
        trackSolo = true;
    if (!a.playing) {
      for (auto& t : a.tracks)
        if (t->wasSounding) t->Play(a, nullptr, 0, 0, 0, m, false);
      continue;
    }
    a.walker.SetTempo(tempo, sampleRate);
    int at = 0;
    for (int guard = 0; at < m && guard < kMaxCutsPerStretch; ++guard) {
      const int left = m - at;
      // Where this piece ends: the loop's right locator, the end of a
      // performance event, or the stretch.
      int piece = left;
      enum { kNone, kWrap, kEnd } what = kNone;
      // Started by a live trigger, an arrangement loops on its own like the
      // active one of Single mode; a timeline event's arrangement never does.
      const bool ownLoop = !a.driven && a.loopActive && int64_t{a.right} - a.left >= tps;
      if (ownLoop) {
        const int64_t r = std::max<int64_t>(0, a.walker.SampleOf(a.right));
        if (r < piece) piece = static_cast<int>(r), what = kWrap;
      }
      if (a.driven && a.stopAt > 0) {
        const int64_t r = std::max<int64_t>(0, a.walker.SampleOf(a.stopAt));
        if (r < piece) piece = static_cast<int>(r), what = kEnd;
      }
      const double from = a.reached;
      // A stretch takes the ticks up to its end and a rounding's width beyond:
      // an event the walker puts on its last sample is not left to the next.
      const double to = what == kWrap  ? a.right
                        : what == kEnd ? a.stopAt
                                       : a.walker.TickAt(piece) + 1e-6 * tps;
      // Events before the cut that fall on the cut's sample still sound there.
      const int span = what == kNone ? piece : piece + 1;
      for (auto& tp : a.tracks) {
        CTrack& t = *tp;
        CTrackVari* v = t.varis.empty() ? nullptr : t.CurrentVari(a);
        const bool sounding = Sounding(a, t, v, arrSolo, trackSolo);
        t.Play(a, v, from, to, s + at, std::min(span, m - at), sounding);
        if (sounding && t.Kind() == TrackKind::kAudio && at + piece <= t.blockSize)
          t.PlayAudio(a, v, pool, from, to, at, piece);
      }
      a.walker.Advance(piece);
      a.reached = to;
      a.position = a.walker.TickAt(0);
      at += piece;
      if (what == kWrap) {
        for (auto& t : a.tracks) t->ReleaseAll(s + at);
        a.position = a.walker.TickAt(0) - static_cast<double>(int64_t{a.right} - a.left);
        a.walker.Locate(a.position);
        a.reached = a.left;
        a.loopActive = clock != 1 && a.loop == 1 && a.left < a.right;
        if (&a == ActiveArr() && arrMode == kSingle) samplePos_ = static_cast<int64_t>(a.position / tps);
        ++stats.wraps;
      } else if (what == kEnd) {
        StopArr(a, s + at);
        break;
      }
    }
  }

  // Live input: the thru events of this stretch reach the tracks that take it.
  const CArr* active = ActiveArr();
  for (const MidiEvent& e : thru_) {
    if (e.time < static_cast<float>(s) || e.time >= static_cast<float>(s + m)) continue;
    for (CTrack* t : allTracks_) {
      if (t->Kind() != TrackKind::kMidi) continue;
      bool takes = false;
      if (t->recMode == 1 && active && active->activeTrack >= 0 &&
          static_cast<size_t>(active->activeTrack) < active->tracks.size())
        takes = active->tracks[static_cast<size_t>(active->activeTrack)].get() == t;
      if (t->recMode == 2 && t->monitor)
        takes = t->recChannel == -1 || t->recChannel == static_cast<int32_t>(midi::Channel(e.msg));
      if (takes && t->out_.InsertSorted(e.msg, e.kind, e.value, e.time)) t->held_.Note(e.msg);
    }
  }

  RunModules(s, m);
  RenderClick(s, m);
  if (playing_) samplePos_ += m;
}

void CTracks::RunModules(int s, int m) noexcept {
  const bool modules = !phase1_.empty() || !phase2_.empty();
  // What a track sends leaves through its MIDI inserts, whether or not a
  // module inside listens.
  for (CTrack* t : allTracks_)
    if (modules || !t->midiInserts.empty()) t->TakeStretch(s, m);
  // Audio tracks play into the song's outputs through their strips' inserts,
  // volume, pan and mute, beside the comps of the first phase.
  float* songOut[2] = {outCh[0] ? outCh[0] + s : nullptr, outCh[1] ? outCh[1] + s : nullptr};
  for (CTrack* t : audioTracks_) {
    if (!songOut[0] || !songOut[1] || !t->HasBuffers() || m > t->blockSize) break;
    for (size_t i = 0; i < t->audioOuts.size(); ++i) {
      const CAudioOut& p = *t->audioOuts[i];
      if (!p.ch[0]) continue;
      if (i < t->strips.size() && !t->strips[i].inserts.empty()) {
        float* ch[2] = {p.ch[0], p.channels > 1 ? p.ch[1] : p.ch[0]};
        RunStripInserts(t->strips[i], ch, p.channels, m);
      }
      if (p.mute) continue;
      const float half = p.channels > 1 ? 1.0f : 0.5f;  // one channel feeds both sides at half
      const float gl = p.volume * p.panLeft * half, gr = p.volume * p.panRight * half;
      const float* l = p.ch[0];
      const float* r = p.channels > 1 ? p.ch[1] : p.ch[0];
      for (int i2 = 0; i2 < m; ++i2) {
        songOut[0][i2] += l[i2] * gl;
        songOut[1][i2] += r[i2] * gr;
      }
    }
  }
  if (modules) RunPhases(s, m, songOut);
  SongStrips(s, m);
}

void CTracks::RunPhases(int s, int m, float* const* songOut) noexcept {
  (void)s;
  for (auto& c : comps) c.module->ResetForBlock(m);
  for (auto& sd : sends) sd->ResetForBlock(m);
  for (auto& j : jobs_) j->ResetForBlock(m);
  int sent = 0;
  if (workers_ && workers_->Count() > 1 && !jobList_.empty()) sent = workers_->RunPhase(jobList_, m);
  for (CComp* c : phase1_) {
    if (c->onWorker || !c->enabled) continue;
    bool handed = false;
    if (sent)
      for (auto& j : jobs_) handed = handed || (j->target == c && j->onWorker);
    if (!handed && c->TryTakeBusy()) {
      c->Process(m);
      c->ReleaseBusy();
    }
  }
  if (sent) workers_->WaitForPhase(jobList_);
  auto mixOut = [&](CComp* c) {
    for (auto& p : c->audioOuts) {
      if (!p->ch[0]) continue;
      if (!songOut[0] || !songOut[1]) return;
      MixChannels(songOut, 2, p->ch.data(), p->channels, 1.0f, m);
    }
  };
  // A comp's output strip runs its inserts on what the comp made; the sends
  // and the song's outputs hear the result.
  for (auto& c : comps) {
    CComp* mod = c.module.get();
    if (!mod->enabled || !mod->HasBuffers()) continue;
    for (size_t i = 0; i < c.outs.size() && i < mod->audioOuts.size(); ++i) {
      if (c.outs[i].inserts.empty()) continue;
      const CAudioOut& p = *mod->audioOuts[i];
      float* ch[2] = {p.ch[0], p.ch[1]};
      if (ch[0]) RunStripInserts(c.outs[i], ch, p.channels, m);
    }
  }
  for (CComp* c : phase1_)
    if (c->enabled) mixOut(c);
  for (size_t k = 0; k < sends.size(); ++k) RunSend(k, m);
  for (CComp* c : phase2_)
    if (c->enabled) mixOut(c);
}

}  // namespace qr
