#include "midipart/MidiEdit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "graph/MidiQueue.h"
#include "platform/Messages.h"

namespace qr {

namespace {

using Ticks = CEventList::Ticks;

// Generators stop here, whatever a damaged part length asks for.
constexpr int kMaxGenerated = 1 << 16;

using Placed = std::vector<std::pair<Ticks, PartEvent>>;

PartEvent Made(uint32_t data, int32_t length) {
  PartEvent e;
  e.data = data;
  e.length = length;
  return e;
}

// Generators make their events in rising time; merging them in one pass, each
// after every event of equal or earlier time as an insert would place it,
// keeps tens of thousands of generated events from costing a walk each.
void MergePlaced(CEventList& events, const Placed& placed) {
  std::vector<Ticks> kept;
  events.Times(kept);
  CEventList merged;
  merged.Reserve(kept.size() + placed.size());
  size_t k = 0;
  Ticks prev = 0;
  auto append = [&](Ticks time, PartEvent e) {
    e.delta = static_cast<int32_t>(std::clamp<Ticks>(time - prev, INT32_MIN, INT32_MAX));
    prev += e.delta;
    merged.Append(e);
  };
  for (const auto& [time, e] : placed) {
    for (; k < kept.size() && kept[k] <= time; ++k) append(kept[k], events[k]);
    append(time, e);
  }
  for (; k < kept.size(); ++k) append(kept[k], events[k]);
  events = std::move(merged);
}
constexpr int kMaxSlices = 256;
constexpr std::string_view kKeyNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

// Holds the owner's lock over one operation: snapshot, change, notice.
class EditScope {
 public:
  EditScope(CMIDIPart& target, std::string_view operation) : t_(target) {
    if (t_.owner) t_.owner->LockEvents();
    t_.PushUndo(operation);
  }
  ~EditScope() {
    if (!t_.owner) return;
    t_.owner->EventsChanged(t_);
    t_.owner->UnlockEvents();
  }
  EditScope(const EditScope&) = delete;
  EditScope& operator=(const EditScope&) = delete;

 private:
  CMIDIPart& t_;
};

uint32_t WithVelocity(uint32_t data, int velocity) noexcept {
  return (data & ~0x00FF0000u) | (static_cast<uint32_t>(velocity & 0x7F) << 16);
}
uint32_t WithKey(uint32_t data, int key) noexcept {
  return (data & ~0x0000FF00u) | (static_cast<uint32_t>(key & 0x7F) << 8);
}

bool AnySelectedNoteOn(const CEventList& l) noexcept {
  for (const PartEvent& e : l)
    if (e.Selected() && midi::IsNoteOn(e.data)) return true;
  return false;
}

int32_t StepOf(int32_t grid) noexcept { return grid <= 1 ? 240 : grid; }

struct SourceNote {
  Ticks time;
  PartEvent e;
};

}  // namespace

int64_t Snap(int64_t v, int64_t g) noexcept {
  if (g < 2) return v;
  v += v >= 0 ? g / 2 : -(g / 2);
  return v - v % g;
}

std::string NoteName(int key) {
  return std::string(kKeyNames[((key % 12) + 12) % 12]) + std::to_string(key / 12 - 2);
}

std::optional<int> ParseNoteName(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const char letter = static_cast<char>(text[0] & ~0x20);  // upper case
  int index = -1;
  for (int i = 0; i < 12; ++i)
    if (kKeyNames[i].size() == 1 && kKeyNames[i][0] == letter) index = i;
  if (index < 0) return std::nullopt;
  size_t p = 1;
  if (p < text.size() && text[p] == '#') {
    ++index;
    ++p;
  }
  bool negative = false;
  if (p < text.size() && text[p] == '-') {
    negative = true;
    ++p;
  }
  if (p >= text.size() || text.size() - p > 2) return std::nullopt;
  int octave = 0;
  for (; p < text.size(); ++p) {
    if (text[p] < '0' || text[p] > '9') return std::nullopt;
    octave = octave * 10 + (text[p] - '0');
  }
  const int key = ((negative ? -octave : octave) + 2) * 12 + index;
  if (key < 0 || key > 127) return std::nullopt;
  return key;
}

int CMIDIEdit::Random(int n) {
  if (n < 1) return 0;
  return static_cast<int>((static_cast<uint64_t>(rng_()) * static_cast<uint64_t>(n)) >> 32);
}

bool CMIDIEdit::Quantize(CMIDIPart& part, int32_t grid) {
  CMIDIPart& t = part.EditTarget();
  if (t.events.Empty()) return false;
  EditScope scope(t, "Quantize");
  const bool onlySelected = AnySelectedNoteOn(t.events);
  std::vector<Ticks> times;
  t.events.Times(times);
  // Snapping happens on the owner's timeline, where the part is placed.
  const Ticks place = static_cast<Ticks>(part.start) + part.offset;
  for (size_t i = 0; i < times.size(); ++i) {
    const PartEvent& e = t.events[i];
    if (midi::IsNoteOn(e.data) && (!onlySelected || e.Selected()))
      times[i] = Snap(place + times[i], grid) - place;
  }
  // The list order stays; a note moved before an earlier event gets a
  // negative delta and plays as soon as it is reached.
  t.events.SetTimes(times);
  return true;
}

bool CMIDIEdit::LengthQuantize(CMIDIPart& part, int32_t grid) {
  CMIDIPart& t = part.EditTarget();
  if (t.events.Empty()) return false;
  EditScope scope(t, "Length quantize");
  const bool onlySelected = AnySelectedNoteOn(t.events);
  for (PartEvent& e : t.events)
    if (midi::IsNoteOn(e.data) && (!onlySelected || e.Selected()))
      e.length = static_cast<int32_t>(
          std::clamp<int64_t>(std::max<int64_t>(grid, Snap(e.length, grid)), INT32_MIN, INT32_MAX));
  return true;
}

bool CMIDIEdit::DeleteDoubles(CMIDIPart& part) {
  CMIDIPart& t = part.EditTarget();
  if (t.events.Empty()) return false;
  EditScope scope(t, "delete doubles");
  CEventList& l = t.events;
  for (PartEvent& e : l) e.flags &= ~kEvSelected;
  std::vector<uint8_t> marked(l.Size(), 0);
  for (size_t i = 0; i < l.Size(); ++i) {
    if (marked[i]) continue;
    const uint32_t a = l[i].data;
    for (size_t j = i + 1; j < l.Size() && l[j].delta == 0; ++j)
      if (midi::Type(l[j].data) == midi::Type(a) && midi::Data1(l[j].data) == midi::Data1(a)) marked[j] = 1;
  }
  l.EraseUnless([&](size_t i) { return marked[i] == 0; });
  return true;
}

bool CMIDIEdit::ControllerLane(CMIDIPart& part, int32_t grid, const LaneSettings& s) {
  CMIDIPart& t = part.EditTarget();
  const double len = static_cast<double>(t.length);
  auto value = [&](Ticks tick) {
    if (s.generator == 0)
      return len > 0 ? static_cast<int>(
                           std::nearbyint(s.from + (s.to - s.from) * static_cast<double>(tick) / len))
                     : s.from;
    return s.from + Random(s.to - s.from + 1);
  };
  if (s.lane == kLaneVelocity) {
    if (t.events.Empty()) return false;
    EditScope scope(t, "compose");
    Ticks time = 0;
    for (PartEvent& e : t.events) {
      time += e.delta;
      if (midi::IsNoteOn(e.data)) e.data = WithVelocity(e.data, std::clamp(value(time), 1, 127));
    }
    return true;
  }
  if (s.lane != kLanePitchBend && s.lane != kLaneProgram && (s.lane < 0 || s.lane > 127)) return false;
  EditScope scope(t, "compose");
  t.events.EraseUnless([&](size_t i) {
    const uint32_t d = t.events[i].data;
    if (s.lane == kLanePitchBend) return midi::Type(d) != 0xE0;
    if (s.lane == kLaneProgram) return midi::Type(d) != 0xC0;
    return !(midi::Type(d) == 0xB0 && static_cast<int>(midi::Data1(d)) == s.lane);
  });
  const int32_t step = StepOf(grid);
  int made = 0;
  Placed placed;
  for (Ticks tick = 0; tick < t.length && made < kMaxGenerated; tick += step, ++made) {
    const int v = value(tick);
    uint32_t msg;
    if (s.lane == kLanePitchBend) {
      const int bend = std::clamp(static_cast<int>(std::nearbyint(v * (1.0 / 127.0) * 16383.0)), 0, 16383);
      msg = midi::Make(0xE0, static_cast<uint32_t>(bend & 0x7F), static_cast<uint32_t>(bend >> 7));
    } else if (s.lane == kLaneProgram) {
      msg = midi::Make(0xC0, static_cast<uint32_t>(std::clamp(v, 0, 127)), 0);
    } else {
      msg = midi::Make(0xB0, static_cast<uint32_t>(s.lane), static_cast<uint32_t>(std::clamp(v, 0, 127)));
    }
    placed.emplace_back(tick, Made(msg, 0));
  }
  MergePlaced(t.events, placed);
  return true;
}

bool CMIDIEdit::Pattern(CMIDIPart& part, int32_t grid, std::string_view pattern, std::string_view notes) {
  CMIDIPart& t = part.EditTarget();
  std::vector<int> keys;
  // Note names are separated by spaces, tabs, commas or semicolons.
  size_t p = 0;
  while (p < notes.size()) {
    const size_t e = notes.find_first_of(" \t,;", p);
    const std::string_view word =
        notes.substr(p, e == std::string_view::npos ? std::string_view::npos : e - p);
    if (auto k = ParseNoteName(word)) keys.push_back(*k);
    if (e == std::string_view::npos) break;
    p = e + 1;
  }
  if (pattern.empty() || keys.empty()) return false;
  EditScope scope(t, "compose");
  const int32_t step = StepOf(grid);
  int made = 0;
  size_t i = 0;
  Placed placed;
  for (Ticks tick = 0; tick < t.length && made < kMaxGenerated; tick += step, ++i) {
    if (pattern[i % pattern.size()] != '1') continue;
    for (int k : keys) {
      placed.emplace_back(tick, Made(midi::Make(0x90, static_cast<uint32_t>(k), 63), 240));
      ++made;
    }
  }
  MergePlaced(t.events, placed);
  return true;
}

int CMIDIEdit::ApplyOctave(int key, const NotesSettings& s) {
  if (Random(2) != 0) return key;
  const int shift = 12 * std::clamp(s.octaves, -10, 10);
  key += Random(2) == 0 ? shift : -shift;
  while (key > 127) key -= 12;
  while (key < 0) key += 12;
  return key;
}

bool CMIDIEdit::Notes(CMIDIPart& part, int32_t grid, const NotesSettings& s) {
  CMIDIPart& t = part.EditTarget();
  std::vector<SourceNote> src;
  const CEventList* from = s.useCurrent ? &t.events : s.source;
  if (from) {
    Ticks time = 0;
    for (const PartEvent& e : *from) {
      time += e.delta;
      if (midi::IsNoteOn(e.data)) src.push_back({time, e});
    }
  }
  if (src.empty()) {
    ShowNotice("Can't randomize a MIDI part without any notes");
    return false;
  }
  EditScope scope(t, "random notes");
  t.events.EraseUnless([&](size_t i) { return !midi::IsNoteOn(t.events[i].data); });
  auto velocity = [&](uint32_t data) {
    if (!s.velocity) return data;
    const int lo = std::clamp(s.velocityLow, 1, 127), hi = std::clamp(s.velocityHigh, lo, 127);
    return WithVelocity(data, lo + Random(hi - lo + 1));
  };
  const int n = static_cast<int>(src.size());
  if (s.fill) {
    const Ticks step = StepOf(grid);
    const int fill = std::clamp(s.fillPercent, 0, 100);
    const Ticks steps = t.length / step;
    int toPlace = static_cast<int>(std::nearbyint(0.01 * fill * static_cast<double>(steps)));
    int made = 0;
    Placed placed;
    for (Ticks pos = 0; pos < t.length && made < kMaxGenerated; ++made) {
      const PartEvent& pick = src[static_cast<size_t>(Random(n))].e;
      const Ticks stepsLeft = (t.length - pos) / step;
      // The share is a floor, not a ceiling: the draw alone may place more, and
      // the steps left force the rest in. Forcing needs a note still owed, or a
      // part's last partial step would take one even at Fill 0.
      if (Random(100) < fill || (toPlace > 0 && stepsLeft <= toPlace)) {
        uint32_t data = pick.data;
        if (s.octave) data = WithKey(data, ApplyOctave(static_cast<int>(midi::Data1(data)), s));
        placed.emplace_back(pos, Made(velocity(data), pick.length));
        if (toPlace > 0) --toPlace;
      }
      pos += std::max(pick.length, 1);
    }
    MergePlaced(t.events, placed);
    return true;
  }
  for (const SourceNote& sn : src) {
    uint32_t data = sn.e.data;
    if (!s.onlySelected || sn.e.Selected()) {
      if (s.randomKeys)
        data = WithKey(data, static_cast<int>(midi::Data1(src[static_cast<size_t>(Random(n))].e.data)));
      if (s.octave) data = WithKey(data, ApplyOctave(static_cast<int>(midi::Data1(data)), s));
      data = velocity(data);
    }
    t.events.Insert(sn.time, data, sn.e.length, sn.e.flags);
  }
  return true;
}

bool CMIDIEdit::Slices(CMIDIPart& part, int slices) {
  CMIDIPart& t = part.EditTarget();
  if (t.events.Empty() || slices < 1) return false;
  slices = std::min(slices, kMaxSlices);
  EditScope scope(t, "slice notes");
  CEventList out;
  Ticks time = 0;
  for (const PartEvent& e : t.events) {
    time += e.delta;
    const int32_t piece = e.length / slices;
    if (!(e.Selected() && midi::IsNoteOn(e.data) && piece >= 1)) {
      out.Insert(time, e.data, e.length, e.flags);
      continue;
    }
    for (int k = 0; k < slices; ++k) out.Insert(time + static_cast<Ticks>(k) * piece, e.data, piece, e.flags);
  }
  t.events = std::move(out);
  return true;
}

}  // namespace qr
