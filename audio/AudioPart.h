#pragma once
// Audio parts and the audio part module.
//
// CAudioPart3 is a part whose content is audio clips on channels (CLane); the
// sequencer places it on audio tracks. CAudioPart2 ("CAPart", "Audio Part") is a
// module that owns RAM samples and a list of such parts (CLiveAudioPart) and
// plays them from MIDI notes: note 36 starts the first part, 37 the second, and
// a part loops over its length until its note is released.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/ClipPlayer.h"
#include "audio/Sample.h"
#include "graph/Container.h"
#include "graph/Part.h"

namespace qr {

struct CRampPoint {
  float position = 0.0f;  // output frames from the clip's start
  float value = 1.0f;
};

// One clip of a part: a stretch of a sample played from `first` to `last`.
struct CAudioClip {
  static constexpr int32_t kStyleSilent = 2;  // never started

  int32_t delta = 0;  // start minus the previous clip's start, ticks
  int32_t style = 0;
  std::unique_ptr<CAudioClip> next;
  int32_t sample = 0;   // index into the owner's sample list
  int32_t channel = 0;  // index into the part's channel list
  int32_t reserved = 0;
  int32_t first = 1;  // frame indices of the sample (the first real frame is 1)
  int32_t last = 0;
  int32_t fadeIn = 0, fadeOut = 0;
  int32_t coarse = 0;  // semitones
  float fine = 0.0f;   // semitones
  float volume = 1.0f;
  float pan = 0.0f;              // -1 .. 1
  std::vector<CRampPoint> ramp;  // volume ramp, sorted by position

  // Inserts a ramp point after every point of lower or equal position; a
  // negative position becomes 0.
  void AddRampPoint(float position, float value);
  // A copy of this clip's content (not of the clips after it).
  std::unique_ptr<CAudioClip> CopyClip() const;
};

struct CChannelStrip {
  float volume = 1.0f;
  float pan = 0.0f;
  int32_t mute = 0;
  int32_t solo = 0;
};

// A channel of an audio part.
class CLane {
 public:
  CChannelStrip strip;
  int32_t bus = 0;  // which module output the channel feeds
};

class CAudioPart3 : public CPart {
 public:
  static constexpr int32_t kNewLength = 7680;  // 8 beats

  CAudioPart3();
  ~CAudioPart3() override;

  // CPart
  std::unique_ptr<CPart> Copy() const override;
  // A new part of the same class with the same link and name.
  std::unique_ptr<CPart> NewInstance() const override;
  const void* FirstEvent() const override { return ClipHead(); }
  bool Assign(const CPart& other) override;

  // Clip list head and channels, following the link.
  virtual CAudioClip* ClipHead() const;
  virtual void SetClipHead(std::unique_ptr<CAudioClip> head);
  // Swaps the clip lists and channel lists with another part.
  virtual void SwapContent(CAudioPart3& other);

  std::vector<std::unique_ptr<CLane>>& Lanes();
  const std::vector<std::unique_ptr<CLane>>& Lanes() const;
  // Appends a clip starting at `start` ticks (clips must be appended in start
  // order) and returns it.
  CAudioClip& AppendClip(int32_t start);
  CLane& AddLane(int32_t bus = 0);

  // The part records ("APartPart" ... "APartChSolo").
  void SaveRecords(CStream& s) const;
  // Reads one part record other than "APartPart" into this part; false when
  // the key is not a part record. Call FinishLoad() after the last one.
  bool LoadRecord(CStream& s, const std::string& key, int32_t size);
  void FinishLoad();

  CAudioPart3* link = nullptr;  // shares that part's clips and channels
  std::vector<std::unique_ptr<CLane>> lanes;
  std::unique_ptr<CAudioClip> clips;

 protected:
  void CopyInto(CAudioPart3& to) const;

 private:
  CAudioPart3& Content();
  const CAudioPart3& Content() const;
  // Loading state: the newest clip, and for each loaded clip whether it carried
  // a delta and its absolute start.
  CAudioClip* loadTail_ = nullptr;
  struct LoadedStart {
    bool hasDelta = false;
    bool hasStart = false;
    int32_t start = 0;
  };
  std::vector<LoadedStart> loadStarts_;
};

// A part of the audio part module, with its playing state.
class CLiveAudioPart final : public CAudioPart3 {
 public:
  std::unique_ptr<CPart> Copy() const override;
  std::unique_ptr<CPart> NewInstance() const override;

  uint8_t playing = 0;
  const CAudioClip* currentClip = nullptr;
  double position = 0.0;  // ticks
  uint8_t running = 0;
  double loopStart = 0.0;  // ticks
  double end = 0.0;        // ticks; the part length when started
  int32_t triggerKey = -1;
  int64_t clipStart = 0;  // start of the current clip's predecessor, ticks
};

class CAudioPart2 : public CPartComp {
 public:
  static constexpr int kPlaySlots = CClipPlayer::kSlots;
  static constexpr int kFirstKey = 36;  // starts the first part

  explicit CAudioPart2(CContainer* parent);
  ~CAudioPart2() override;

  // CComp
  void Process(int frames) noexcept override;
  std::string TypeKey() const override { return "CAPart"; }
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  void SetBlockSize(int frames) override;
  void SetSampleRate(float rate) override;

  // CPartComp
  int PartCount() const override { return static_cast<int>(parts.size()); }
  std::string PartName(int index) const override;
  void* AddPart() override;
  void DeletePart(void* part) override;
  void* PartAt(int index) const override;
  void PlayPart(void* part) override;
  void StopPart(void* part) override;
  bool IsPlaying(void* part) const override;
  void StopAll() override;
  int32_t PartLength(void* part) const override;
  void SetPartLength(void* part, int32_t ticks) override;
  bool SavePart(void* part, CStream& s) override;
  bool LoadPart(void* part, CStream& s) override;

  // "Insert sample...": opens a WAV file into RAM and appends it to the sample
  // list; tells the user "Could not load sample" when it cannot be opened.
  CSample* InsertSample(const std::string& path);
  CLiveAudioPart& NewPart();

  const AudioPlaySlot& Slot(int i) const noexcept { return player_.Slot(i); }
  int ActiveSlots() const noexcept { return player_.Active(); }

  std::vector<std::unique_ptr<CSample>> samples;
  std::vector<std::unique_ptr<CLiveAudioPart>> parts;

 private:
  void StartPart(CLiveAudioPart& p, int32_t key) noexcept;
  void StopKey(int32_t key) noexcept;
  void FreeSlotsOf(const CLiveAudioPart* p) noexcept;
  void RenderSpan(int from, int n) noexcept;
  void AdvanceParts(int n) noexcept;
  void StartClip(CLiveAudioPart& p, const CAudioClip& c, int offset) noexcept;
  void RenderSlots(int from, int n) noexcept;

  CClipPlayer player_;
};

}  // namespace qr
