#pragma once
// CPart: the base of every part object (MIDI, envelope, audio, marker parts).
// A part is not a module; tracks and part modules own them.
//
// The virtual operations are declared in their fixed slot order. Slots whose
// meaning belongs to a part kind not built yet carry neutral names (Hook4,
// Hook6-8); the owner of that kind may rename them but must keep the order.
#include <cstdint>
#include <memory>
#include <string>

namespace qr {

class CPart {
 public:
  CPart() = default;
  CPart(const CPart&) = default;
  CPart& operator=(const CPart&) = default;
  virtual ~CPart() = default;

  // 1. A full copy; the base only tells the user "copy" (every kind overrides it).
  virtual std::unique_ptr<CPart> Copy() const;
  // 2. An empty part of the same class.
  virtual std::unique_ptr<CPart> NewInstance() const { return nullptr; }
  // 3. The head of the part's event list, typed by the kind; none in the base.
  virtual const void* FirstEvent() const { return nullptr; }
  // 4. Empty in the base.
  virtual void Hook4() {}
  // 5. Takes over the content of another part of the same kind (undo); false
  // when `other` is of another kind.
  virtual bool Assign(const CPart& other);
  // 6-8. Do nothing / return 0 in the base.
  virtual int32_t Hook6() { return 0; }
  virtual int32_t Hook7() { return 0; }
  virtual int32_t Hook8() { return 0; }

  std::string name = "noname";  // "PartName"
  int32_t style = 0;            // bit flags, "PartStyle"; 2 = muted
  int32_t start = 0;            // ticks on the track, "PartStart"
  int32_t offset = 0;           // ticks into the content where playback begins, "PartOffset"
  int32_t length = 0;           // ticks, "PartTicks"
  int32_t colour = -1;          // "PartCol"
  const void* ghostSource = nullptr;  // entry of the arrangement's ghost pool; not owned
};

}  // namespace qr
