#pragma once
// The one offline loop: every command that renders without a sound card
// (process, render, demo, and later the sequencer's render) drives the engine
// through it, so they all give the same samples at the same block size.
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "app/Host.h"
#include "app/WavOut.h"
#include "sequencer/MidiFile.h"

namespace qr {

// Audio fed into the master input: frames [pos, pos + n) as two channels,
// zeros past its end.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual void Read(int64_t pos, int n, float* left, float* right) = 0;
};

// A WAV file streamed block by block, so a long file costs neither the memory
// nor the time of loading it whole; resampled to the processing rate when its
// own rate differs. Reads what the sample store reads: 16-bit and 24-bit PCM
// and 32-bit float, one or two channels.
std::unique_ptr<AudioSource> OpenWavSource(const std::string& path, float& fileRate, int64_t& frames,
                                           std::string& error);
// `src` at `fromRate` seen at `toRate`; nullptr with a reason when the
// resampler cannot be made. `frames` becomes the length at the new rate.
std::unique_ptr<AudioSource> Resampled(std::unique_ptr<AudioSource> src, double fromRate, double toRate,
                                       int64_t& frames, std::string& error);

// Reads a Standard MIDI File for --midi. A file the reader stopped in, or one
// cut short, is refused with the reader's message.
bool LoadMidiFile(const std::string& path, std::vector<TimedMidiEvent>& events, std::string& error);

// A progress bar on standard error, shown only on a terminal. Finish() ends
// its line so that what follows starts on a line of its own.
class Progress {
 public:
  explicit Progress(bool show);
  ~Progress() { Finish(); }
  void Update(double fraction);
  void Finish();

 private:
  bool show_;
  int last_ = -1;
};

struct OfflineJob {
  StandaloneHost& host;
  int block = 512;
  float rate = 44100.0f;
  int64_t frames = 0;
  AudioSource* input = nullptr;               // silence when null
  std::span<const TimedMidiEvent> midi = {};  // in time order
  bool progress = true;
  // When set, the run goes on past `frames`, a block at a time, while this
  // answers true (notes dying away), for at most `maxTail` frames more.
  std::function<bool()> stillSounding = {};
  int64_t maxTail = 0;
};

// What the run measured before the standalone output's limit to ±1.
struct OfflineResult {
  int64_t frames = 0;  // rendered, the tail included
  double peak = 0.0;
  int64_t clipped = 0;  // samples the limit changed
  double wallSeconds = 0.0;
};

// Runs `job.frames` frames through the plug-in into `out`. A program change
// that switches the project file is carried out before the next block.
bool RunOffline(const OfflineJob& job, WavWriter& out, OfflineResult& result, std::ostream& err);

// The summary on standard error: speed and peak unless quiet, and always a
// warning when samples were clipped.
void ReportOffline(const OfflineResult& r, int64_t frames, float rate, bool quiet, std::ostream& err);

}  // namespace qr
