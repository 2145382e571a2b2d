#pragma once
// CWriteSample: creates a WAV file and appends frames to it. The header is
// written when the file is created and rewritten with the final sizes when the
// writer closes, so a file cut short by a crash still starts with a header.
#include <cstdint>
#include <string>

#include "audio/Sample.h"

namespace qr {

class CWriteSample final : public CSample {
 public:
  // Creates `path` (replacing a file of that name); handle stays negative when
  // the file cannot be created.
  CWriteSample(const std::string& path, float sample_rate, int32_t bits_per_sample, int32_t channel_count);
  ~CWriteSample() override;

  bool IsOpen() const noexcept { return handle >= 0; }
  // Appends n frames in the file's encoding (n x channels x bits/8 bytes).
  bool AppendFrames(const void* buffer, int32_t n);
  // Appends n frames given as float channels (one pointer per channel),
  // limited to -1 .. 1 for the integer encodings.
  bool AppendFloatFrames(const float* const* channels_in, int32_t n);
  // Rewrites the header when at least one frame was written and closes the file.
  bool Close();

  int32_t handle = -1;

 private:
  bool WriteAll(const void* bytes, size_t n);
  bool failed_ = false;
};

// Limits a float to -1.0 .. 1.0 before it becomes an integer sample.
constexpr float ClampUnit(float v) noexcept { return v < -1.0f ? -1.0f : v > 1.0f ? 1.0f : v; }

// Encodes n frames of float channels into the interleaved bytes of a 16-bit,
// 24-bit or 32-bit float WAV file. `out` holds n x channels x bits/8 bytes.
void EncodeFrames(const float* const* channels_in, int32_t channel_count, int32_t n, int32_t bits,
                  uint8_t* out) noexcept;

}  // namespace qr
