#pragma once
// Two small MIDI routing modules: CMidiPatcher splits one input to eight outputs
// by key and velocity range with a transpose each (splits and layers), CMIDIChs
// rewrites or drops MIDI channels through a 16-entry table.
#include <array>
#include <cstdint>

#include "graph/Comp.h"

namespace qr {

class CMidiPatcher final : public CComp {
 public:
  static constexpr int kPorts = 8;

  struct Port {
    int32_t transpose = 0;
    int32_t keyLow = 0, keyHigh = 127;
    int32_t velLow = 0, velHigh = 127;
  };

  explicit CMidiPatcher(CContainer* parent);

  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::string TypeKey() const override { return "CMPatcher"; }
  std::span<const ControlDesc> Controls() const override;  // MidiPatcherControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;

  std::array<Port, kPorts> ports{};
  // The editor's controller learning sees every event of a computed port first.
  Callback<void(int, const MidiEvent&)> editorHook;

 private:
  bool Cabled(int port) const noexcept;
  std::array<CMIDIQ, kPorts> out_{};
};

class CMIDIChs final : public CComp {
 public:
  explicit CMIDIChs(CContainer* parent);

  CMIDIQ* MidiOutput(int port, int frames) noexcept override;
  std::string TypeKey() const override { return "CMIDIChs"; }
  std::span<const ControlDesc> Controls() const override;  // MidiPatcherControls.cpp
  void Save(CStream& s) override;
  void Load(CStream& s, int flag) override;

  // The editor's "Reset" (identity) and "Clear" (drop everything).
  void Reset() noexcept;
  void ClearTable() noexcept { table.fill(-1); }

  // Entry c: the output channel for input channel c, or -1 to drop.
  std::array<int32_t, 16> table{};

 private:
  CMIDIQ out_;
};

}  // namespace qr
