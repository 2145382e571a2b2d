#pragma once
// A MIDI effect under test in a real processing cycle: a stub source feeds it,
// the root group pulls its output, and every block runs under the allocation
// guard. Times are absolute sample positions across blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "graph/Container.h"
#include "platform/Messages.h"
#include "stream/RecordStream.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/ModuleBlock.h"
#include "tests/support/RunBlock.h"
#include "tests/support/Stubs.h"

namespace qr::test {

struct TimedMsg {
  int64_t time;
  uint32_t msg;
  bool operator==(const TimedMsg&) const = default;
};

inline uint32_t On(int key, int vel = 100, int ch = 0) { return midi::Make(0x90 | ch, key, vel); }
inline uint32_t Off(int key, int ch = 0) { return midi::Make(0x80 | ch, key, 0); }
inline uint32_t CC(int num, int val, int ch = 0) { return midi::Make(0xB0 | ch, num, val); }

template <typename M>
class Rig {
 public:
  explicit Rig(int block = 64, float rate = 44100.0f) : block_(block), root_(MakeRoot(block, rate)) {
    src_ = Add<StubMidiSource>(*root_);
    m = Add<M>(*root_);
    m->ConnectMidi(src_, 0, 0);
    root_->ConnectMidi(m, 0, 0);
  }

  void Send(int64_t time, uint32_t msg) { in_.push_back({time, msg}); }

  // Runs whole blocks until `samples` more samples have passed.
  void Run(int64_t samples) {
    for (int64_t end = now_ + samples; now_ < end; now_ += block_) {
      src_->events.clear();
      for (const TimedMsg& e : in_)
        if (e.time >= now_ && e.time < now_ + block_)
          src_->events.push_back({static_cast<float>(e.time - now_), e.msg});
      RunBlock(*root_, block_);
      for (const MidiEvent& e : root_->midiQueue) out.push_back({now_ + static_cast<int64_t>(e.time), e.msg});
    }
  }

  // Output events that satisfy `pred`, in order.
  template <typename P>
  std::vector<TimedMsg> Where(P pred) const {
    std::vector<TimedMsg> r;
    std::copy_if(out.begin(), out.end(), std::back_inserter(r),
                 [&](const TimedMsg& e) { return pred(e.msg); });
    return r;
  }
  std::vector<TimedMsg> NoteOns() const {
    return Where([](uint32_t m) { return midi::IsNoteOn(m); });
  }
  std::vector<TimedMsg> NoteOffs() const {
    return Where([](uint32_t m) { return midi::IsNoteOff(m); });
  }

  CGroup& Root() { return *root_; }
  M* m = nullptr;
  std::vector<TimedMsg> out;

 private:
  int block_;
  std::unique_ptr<CGroup> root_;
  StubMidiSource* src_ = nullptr;
  std::vector<TimedMsg> in_;
  int64_t now_ = 0;
};

}  // namespace qr::test
