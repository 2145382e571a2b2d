#pragma once
// WAV output for the offline commands. The frame count is known before the
// first frame, so the header is written first and final: a pipe or standard
// output needs no seek back. Past 4 GiB of data the file is RF64, whose 64-bit
// sizes readers such as sox understand; a plain RIFF header would wrap.
#include <cstdint>
#include <vector>

#include "app/Output.h"

namespace qr {

// The header of a WAV file with `frames` frames. `riffLimit` is the largest
// RIFF size a plain header may state; beyond it the header is RF64.
std::vector<uint8_t> WavHeader(float rate, int bits, int channels, int64_t frames,
                               uint64_t riffLimit = 0xFFFFFFFFu);

class WavWriter {
 public:
  WavWriter(OutputFile& file, float rate, int bits, int channels, int64_t frames,
            uint64_t riffLimit = 0xFFFFFFFFu);
  // Collects blocks and writes them in large pieces: one write per engine block
  // would cost more in system calls than the engine costs in work.
  bool Append(const float* const* ch, int n);
  // Puts the frames written into the header where the file allows; elsewhere
  // (a pipe) pads a run that ended early with silence so the data matches it.
  bool Finish();

 private:
  bool Flush();
  static constexpr int kFlushFrames = 16384;
  OutputFile& file_;
  float rate_;
  int bits_, channels_;
  bool rf64_ = false;
  size_t headerBytes_ = 0;
  int64_t frames_, written_ = 0;
  std::vector<float> pending_[2];
  std::vector<uint8_t> bytes_;
  bool ok_ = true;
};

}  // namespace qr
