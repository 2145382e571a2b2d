#pragma once
// SoundFont 2 banks: the reader of the whole hydra (TSF2) and the import of
// samples, instruments and presets into a sampler.
//
// The reader keeps the hydra as lists and only the file offset of the sample
// data; frames are read from the file when something is imported, so opening
// a 140 MB bank to list its presets costs the hydra, not the samples.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qr {

class CSampler;
class CSound;

// Where the bank's bytes come from: a file, or memory (tests, fuzzing).
class SF2Bytes {
 public:
  virtual ~SF2Bytes() = default;
  virtual int64_t Size() const noexcept = 0;
  // Reads exactly n bytes at `offset`; false when they are not all there.
  virtual bool Read(int64_t offset, void* dst, size_t n) const noexcept = 0;
};

std::unique_ptr<SF2Bytes> SF2FileBytes(const std::string& path);
std::unique_ptr<SF2Bytes> SF2MemoryBytes(std::vector<uint8_t> bytes);

struct TSF2Preset {
  std::string name;
  int16_t preset = 0, bank = 0, bagIndex = 0;
  int32_t library = 0, genre = 0, morphology = 0;
};
struct TPresetBag {
  int16_t genIndex = 0, modIndex = 0;
};
struct TPresetMod {
  int16_t v[5]{};
};
struct TPresetGen {
  int16_t op = 0, amount = 0;
};
struct TSF2Instrument {
  std::string name;
  int16_t bagIndex = 0;
};
// Read as one int32: generator index in the low half, modulator index in the high.
struct TInstrumentBag {
  int32_t raw = 0;
  int GenIndex() const noexcept { return static_cast<uint16_t>(raw & 0xFFFF); }
};
struct TInstrumentMod {
  int16_t v[5]{};
};
// Read as one int32: operator in the low half, amount in the high half.
struct TInstrumentGen {
  int32_t raw = 0;
  int Op() const noexcept { return raw & 0xFFFF; }
  int16_t Amount() const noexcept { return static_cast<int16_t>(static_cast<uint32_t>(raw) >> 16); }
};
struct TSfSample {
  std::string name;
  int32_t start = 0, end = 0, loopStart = 0, loopEnd = 0, rate = 0;
  uint8_t unityKey = 60;
  int8_t pitchCorrection = 0;
  int16_t link = 0, type = 0;
};

class TSF2 {
 public:
  // Parses the whole file; false after one of the structural messages
  // ("Not a RIFF file", "sfbk expected", "LIST expected", "Invalid sub-chunk
  // in pdta"), which is also kept in `error`.
  bool Open(const std::string& path);
  bool Parse(std::unique_ptr<SF2Bytes> bytes);

  // Item counts without the terminal record of each list.
  int PresetCount() const noexcept { return std::max(0, static_cast<int>(presets.size()) - 1); }
  int InstrumentCount() const noexcept { return std::max(0, static_cast<int>(instruments.size()) - 1); }
  int SampleCount() const noexcept { return std::max(0, static_cast<int>(sampleHeaders.size()) - 1); }
  const SF2Bytes* Bytes() const noexcept { return bytes_.get(); }

  std::string fileName;
  std::string error;
  int64_t sampleDataOffset = -1;
  int64_t sampleDataBytes = 0;
  int16_t versionMajor = 0, versionMinor = 0;
  std::string name, engine, rom, date, engineers, product, copyright, software;
  std::vector<TSF2Preset> presets;
  std::vector<TPresetBag> presetBags;
  std::vector<TPresetMod> presetMods;
  std::vector<TPresetGen> presetGens;
  std::vector<TSF2Instrument> instruments;
  std::vector<TInstrumentBag> instrumentBags;
  std::vector<TInstrumentMod> instrumentMods;
  std::vector<TInstrumentGen> instrumentGens;
  std::vector<TSfSample> sampleHeaders;

 private:
  bool Fail(const char* text);
  std::unique_ptr<SF2Bytes> bytes_;
};

// Imports into a sampler. One importer shares the samples it has read between
// everything it imports, so a bank whose presets reuse instruments holds each
// sample once.
class SF2Importer {
 public:
  SF2Importer(CSampler& sampler, const TSF2& sf2) : sampler_(sampler), sf2_(sf2) {}

  // Each returns the new top-level sound, or null when the index is not an item.
  CSound* ImportSample(int index);
  CSound* ImportInstrument(int index);
  CSound* ImportPreset(int index);
  // Every preset as a sound, and a bank of 128 programs: channel 10 plays the
  // drum kit (bank 128) of the program, every other channel the melodic
  // preset of bank 0, the nearest lower program standing in for a missing one.
  bool ImportGeneralMidiBank();

 private:
  int SampleIndex(int sf_sample);
  void FillInstrument(CSound& sound, int index, const int32_t* preset_offsets);
  CSampler& sampler_;
  const TSF2& sf2_;
  std::vector<int> sampleMap_;
  // Generators a whole import may read: a hostile hydra whose presets all
  // point at one huge instrument would otherwise multiply into hours of work.
  // The largest real banks use a few hundred thousand.
  int64_t budget_ = int64_t{1} << 25;
};

}  // namespace qr
