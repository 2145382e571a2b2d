#include "midifx/EnvShape.h"

#include <algorithm>

namespace qr {

int64_t CEnvShape::TimeOf(int index) const noexcept {
  int64_t t = 0;
  for (int i = 0; i <= index && i < Count(); ++i) t += points[static_cast<size_t>(i)].delta;
  return t;
}

int CEnvShape::AddPoint(int64_t time, float value) {
  int at = 0;
  int64_t t = 0, before = 0;
  while (at < Count() && t + points[static_cast<size_t>(at)].delta <= time) {
    t += points[static_cast<size_t>(at)].delta;
    before = t;
    ++at;
  }
  const auto delta = static_cast<int32_t>(std::clamp<int64_t>(time - before, 0, INT32_MAX));
  if (at < Count()) points[static_cast<size_t>(at)].delta -= delta;
  points.insert(points.begin() + at, EnvPoint{delta, value});
  if (loopStart >= at) ++loopStart;
  if (loopEnd >= at) ++loopEnd;
  return at;
}

void CEnvShape::RemovePoint(int index) {
  if (index < 0 || index >= Count()) return;
  const int32_t d = points[static_cast<size_t>(index)].delta;
  points.erase(points.begin() + index);
  if (index < Count()) points[static_cast<size_t>(index)].delta += d;
  for (int32_t* lp : {&loopStart, &loopEnd}) {
    if (*lp == index) *lp = -1;
    else if (*lp > index) --*lp;
  }
}

void CEnvShape::ClearPoints() {
  points.clear();
  loopStart = loopEnd = -1;
  current = -1;
}

bool CEnvShape::LoopActive() const noexcept {
  return loopOn && loopStart >= 0 && loopEnd >= 0 && loopStart != loopEnd && loopStart < Count() &&
         loopEnd < Count();
}

void CEnvShape::Restart() noexcept {
  gate = 1;
  if (Count() < 2) {
    current = -1;
    return;
  }
  current = 0;
  startValue = points[0].value;
  position = 0.0f;
  const EnvPoint& next = points[1];
  remaining = static_cast<float>(next.delta);
  slope = next.delta != 0 ? (next.value - startValue) / static_cast<float>(next.delta) : 0.0f;
}

void CEnvShape::Advance() noexcept {
  position = 0.0f;
  if (current < 0) return;
  const int n = Count();
  int cur = current + 1;
  // Each pass moves one point on; a loop made only of zero-length segments
  // would never end, so the walk gives up after visiting every point twice.
  for (int guard = 0; guard < 2 * n + 2; ++guard) {
    if (cur >= n) {
      startValue = points[static_cast<size_t>(n - 1)].value;
      current = -1;
      return;
    }
    if (LoopActive() && cur == loopEnd) {
      if (!gate) {
        startValue = points[static_cast<size_t>(cur)].value;
        current = -1;
        return;
      }
      cur = loopStart;
    }
    if (cur + 1 >= n) {
      startValue = points[static_cast<size_t>(cur)].value;
      current = -1;
      return;
    }
    const EnvPoint& next = points[static_cast<size_t>(cur + 1)];
    if (next.delta == 0) {
      ++cur;
      continue;
    }
    current = cur;
    startValue = points[static_cast<size_t>(cur)].value;
    remaining += static_cast<float>(next.delta);
    slope = (next.value - startValue) / static_cast<float>(next.delta);
    return;
  }
  startValue = points[static_cast<size_t>(std::min(cur, n - 1))].value;
  current = -1;
}

bool CEnvShape::NoteOn() noexcept {
  const bool restart = (mode == 0 && heldKeys <= 0) || mode == 1;
  if (restart) Restart();
  heldKeys = std::max(heldKeys, 0) + 1;
  return restart;
}

void CEnvShape::NoteOff() noexcept {
  // A stray note-off must not leave the counter below zero, or the next key
  // would no longer count as the first one held.
  if (heldKeys > 0) --heldKeys;
  if ((mode == 0 && heldKeys == 0) || mode == 1) gate = 0;
}

float CEnvShape::Step(float ticks) noexcept {
  if (!Running()) return startValue;
  position += ticks;
  remaining -= ticks;
  for (int guard = 0; Running() && remaining <= 0.0f && guard < 2 * Count() + 2; ++guard) {
    const float over = -remaining;
    Advance();
    position = Running() ? over : 0.0f;
  }
  return Value();
}

}  // namespace qr
