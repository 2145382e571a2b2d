// The sequencer's own controls on its MIDI input: step recording into a part,
// the live triggers of play groups, items and sub-items, the tempo controller
// and the internal tempo message; and the metronome that clicks while the song
// plays or counts in.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "graph/BusyFlag.h"
#include "sequencer/Tracks.h"

namespace qr {

namespace {
constexpr double kBeat = 960.0;
// The notification the part editor refreshes its step cursor on.
constexpr int32_t kStepNotice = 4352;
// A step without a length of its own: a sixteenth.
constexpr int32_t kDefaultStep = 240;
}  // namespace

// ---------------------------------------------------------------- step recording

void CTracks::StartStepRecord(void* part, int32_t* step_length) {
  BusyLock lock(busy);
  stepTarget_ = static_cast<CMIDIPart*>(part);
  stepLength_ = step_length;
  stepHeld_ = 0;
  stepCount_ = 0;
  stepRecording_.store(stepTarget_ != nullptr);
}

bool CTracks::IsStepRecording() const { return stepRecording_.load() && stepTarget_; }

bool CTracks::TakeStep(uint32_t m) noexcept {
  if (!stepRecording_.load(std::memory_order_relaxed) || !stepTarget_ || recordArmed_) return false;
  if (midi::IsNoteOn(m)) {
    if (stepCount_ < kStepCapacity) {
      stepNotes_[static_cast<size_t>(stepCount_++)] = {stepTarget_->stepPosition, m};
      haveSteps_.store(true, std::memory_order_release);
    }
    ++stepHeld_;
  } else if (midi::IsNoteOff(m)) {
    // A chord is one step: the position moves on when its last key is up.
    if (stepHeld_ > 0 && --stepHeld_ == 0) {
      const int32_t len = stepLength_ ? std::max(*stepLength_, 1) : kDefaultStep;
      if (stepTarget_->stepPosition <= INT32_MAX - len) stepTarget_->stepPosition += len;
    }
  } else {
    return false;
  }
  Notify(kStepNotice);
  return true;
}

void CTracks::MoveRecorded() {
  if (!haveSteps_.exchange(false, std::memory_order_acq_rel)) return;
  BusyLock lock(busy);
  if (stepTarget_) {
    const int32_t len = stepLength_ ? std::max(*stepLength_, 1) : kDefaultStep;
    for (int i = 0; i < stepCount_; ++i) {
      const StepNote& n = stepNotes_[static_cast<size_t>(i)];
      if (i == 0) stepTarget_->PushUndo("Insert");
      stepTarget_->lastKey = static_cast<int32_t>(midi::Data1(n.msg));
      stepTarget_->events.Insert(n.tick, n.msg, len, 0);
    }
    stepTarget_->reindex = 1;
  }
  stepCount_ = 0;
}

void CTracks::Idle() {
  CPartComp::Idle();
  MoveRecorded();
}

// ---------------------------------------------------------------- live triggers

double CTracks::QuantisedDelay(int32_t q) const noexcept {
  if (!playing_) return 0.0;
  // A trigger waits for the next grid line of the live cycle: `q` beats, or
  // the whole cycle when it has no grid of its own (0) or a longer one.
  const double cycle = std::max(1, songBeats) * kBeat;
  const double grid = q > 0 ? std::min(static_cast<double>(q) * kBeat, cycle) : cycle;
  const double c = std::clamp(beatCounter_ * kBeat + songPos_, 0.0, cycle);
  const double rem = std::fmod(c, grid);
  if (rem <= 0.0) return 0.0;
  return std::min(grid - rem, cycle - c);
}

void CTracks::QueueItem(CPlayItem& item, double at) noexcept {
  queue_.Insert({CArrQ::Target::kItem, &item, at, 0.0, 0, 0.0});
}

// A key or controller that names a group, an item or a sub-item changes its
// play flag by the object's trigger mode:
//   Trigger  a note-on sets it (a running item plays on);
//   Toggle   a note-on flips it;
//   Hold     a note-on sets it, the note-off clears it;
//   Knob, Slider  the controller of that number sets it from the upper half of
//            its range and clears it from the lower half.
// The note-offs of Trigger and Toggle keys are taken too, so that no track
// playing the live input gets a note-off without its note.
bool CTracks::TakeTrigger(uint32_t m) noexcept {
  const bool on = midi::IsNoteOn(m), off = midi::IsNoteOff(m), cc = midi::IsController(m);
  if (!on && !off && !cc) return false;
  const auto num = static_cast<int32_t>(midi::Data1(m));
  const auto val = static_cast<int32_t>(midi::Data2(m));
  // The play flag after the event, or -1 when the event is not this trigger's.
  auto next = [&](int32_t trig, int32_t key, int32_t key2, int32_t play) -> int32_t {
    if (num != key && num != key2) return -1;
    switch (trig) {
      case kKnob:
      case kSlider:
        return cc ? (val >= 64 ? 1 : 0) : -1;
      case kHold:
        return on ? 1 : off ? 0 : -1;
      case kToggle:
        return on ? (play ? 0 : 1) : off ? play : -1;
      default:
        return on ? 1 : off ? play : -1;
    }
  };
  bool taken = false;
  for (auto& g : playGroups) {
    if (const int32_t p = next(g.trig, g.key, g.key2, g.play); p >= 0) {
      taken = true;
      if (p != g.play) {
        // A group starts and stops all its items together.
        g.play = p;
        for (auto& it : g.items) it.play = p;
        queue_.Insert({CArrQ::Target::kGroup, &g, QuantisedDelay(g.q), 0.0, 0, 0.0});
      }
    }
    for (auto& it : g.items) {
      if (const int32_t p = next(it.trig, it.key, it.key2, it.play); p >= 0) {
        taken = true;
        if (p != it.play) {
          it.play = p;
          QueueItem(it, QuantisedDelay(it.q));
        }
      }
      for (auto& sub : it.subs) {
        const int32_t p = next(sub.trig, sub.key, sub.key2, sub.play);
        if (p < 0) continue;
        taken = true;
        if (p == sub.play) continue;
        // A sub-item switches its track at once: muting is how a performer
        // drops a part in and out, and the track releases what it held.
        sub.play = p;
        if (sub.track)
          for (auto& v : sub.track->varis)
            v->state = p ? (v->state & ~CTrackVari::kMuted) : (v->state | CTrackVari::kMuted);
      }
    }
  }
  return taken;
}

// ---------------------------------------------------------------- the controls

bool CTracks::TakeControl(const MidiEvent& e) noexcept {
  takenTempo_ = 0.0f;
  const uint32_t m = e.msg;
  if (TakeStep(m)) return true;
  float want = -1.0f;
  if (arrMode == kLive && midi::IsController(m) && static_cast<int32_t>(midi::Data1(m)) == tempoCC &&
      tempoCCMin <= tempoCCMax) {
    const double v = static_cast<double>(midi::Data2(m)) / 127.0 * (tempoCCMax - tempoCCMin) + tempoCCMin;
    want = static_cast<float>(std::clamp(std::nearbyint(v), 10.0, 250.0));
  } else if ((midi::Status(m) & 0xF0) == 0x10) {
    // The internal tempo message: a float of the full range, or a data byte.
    double v;
    if (e.kind == 1) {
      float f = 0.0f;
      static_assert(sizeof f == sizeof e.value);
      std::memcpy(&f, &e.value, sizeof f);
      v = static_cast<double>(f) * 250.0;
    } else {
      v = std::nearbyint(static_cast<double>(midi::Data2(m)) / 127.0 * 250.0);
    }
    if (!std::isfinite(v)) return true;
    want = static_cast<float>(std::clamp(v, 10.0, 250.0));
  } else if (arrMode == kLive) {
    return TakeTrigger(m);
  } else {
    return false;
  }
  if (want == songTempo) return false;
  takenTempo_ = want;  // takes effect from the event's sample on
  return true;
}

// ---------------------------------------------------------------- metronome

void CTracks::PhaseClick() noexcept {
  const CArr* a = ActiveArr();
  const double at = performance_ ? songPos_ : a ? a->position : songPos_;
  // The click is heard when the output latency has passed: it starts that
  // many ticks behind the song, rounded to whole ticks.
  const CGroup* r = Root();
  const double late = r ? std::nearbyint(r->largestLatency * TicksPerSample()) : 0.0;
  clicker.Phase(at - late, tempo, sampleRate);
  clicker.running = true;
}

void CTracks::RenderClick(int s, int m) noexcept {
  if (rendering || freezing || m <= 0) return;
  const bool counting = countInLeft_ > 0 && recordArmed_ && !playing_;
  if (!(clickEnabled || counting) || !(playing_ || counting)) return;
  if (!outCh[0] || !outCh[1]) return;
  clicker.Render(m, outCh[0] + s, outCh[1] + s, tempo, sampleRate, clickVol, clickCoarse, timeSig[0]);
}

}  // namespace qr
