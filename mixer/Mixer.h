#pragma once
// CMixer: sums stereo channels into one stereo main output and any number of
// stereo send outputs, with volume, pan, mute, solo, meters and send levels that
// can follow MIDI controllers sample-accurately within the block.
//
// Pins follow the lists: channel k is fed by stereo input k; output 0 is the
// main output and output j (1..) carries send j-1 of every channel.
#include <cstdint>
#include <string>
#include <vector>

#include "graph/Callback.h"
#include "graph/Comp.h"

namespace qr {

struct CSend {
  float level = 0.0f;  // linear
  int32_t cc = -1;     // controller that sets the level, -1 none
  int32_t pre = 0;     // 1: taken before the channel volume
  int32_t on = 1;
};

struct CMixerChannel {
  float volume = 1.0f;  // linear
  float pan = 0.0f;     // -1 (left) .. +1 (right)
  int32_t volumeCC = -1;
  int32_t panCC = -1;
  int32_t mute = 0;
  int32_t solo = 0;
  // Written by the audio thread, read and reset by the meters.
  float peakLeft = 0.0f, peakRight = 0.0f;
  float holdLeft = 0.0f, holdRight = 0.0f;
  std::vector<CSend> sends;  // one per send output
};

class CMixer final : public CComp {
 public:
  static constexpr int kMaxChannels = 16;
  // One main stereo output and at most 31 stereo sends fill a module's 64 output channels.
  static constexpr int kMaxSends = limits::kMaxChannels / 2 - 1;

  explicit CMixer(CContainer* parent);

  // CComp
  void Process(int frames) noexcept override;
  std::string TypeKey() const override { return "CMixer"; }
  std::string OutputName(int index) const override;
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;
  std::span<const ControlDesc> Controls() const override;  // MixerControls.cpp

  // (ui) Structural edits: each waits for the audio thread to leave the module,
  // changes the lists and the pins together, and lets it in again. A refused
  // new channel says "no more mixer channels available".
  bool NewChannel();
  bool NewSend();
  void DeleteChannel(int index);
  void DeleteSend(int index);  // index of the send, 0 for output 1

  // (ui) Strip controls: fader 0..127, knob -63..63. Moving either resets the hold marks.
  void SetFader(int index, int position);
  void SetPanKnob(int index, int position);
  void ResetHold(int index);

  int ChannelCount() const noexcept { return static_cast<int>(channels.size()); }
  int SendCount() const noexcept { return static_cast<int>(audioOuts.size()) - 1; }

  std::vector<CMixerChannel> channels;
  // The editor's controller learning sees every MIDI event of the block first.
  Callback<void(const MidiEvent&)> midiHook;

 private:
  void MixStretch(int from, int to) noexcept;
  bool Maps(int cc) const noexcept;  // some channel setting follows this controller
  void ApplyController(const MidiEvent& e) noexcept;
  void RebuildPins(int sends);
};

}  // namespace qr
