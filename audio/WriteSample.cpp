#include "audio/WriteSample.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/WavFile.h"
#include "platform/Files.h"

namespace qr {

CWriteSample::CWriteSample(const std::string& path, float sample_rate, int32_t bits_per_sample,
                           int32_t channel_count) {
  computePeaks = 0;
  channels = channel_count;
  bits = bits_per_sample;
  rate = sample_rate;
  formatTag = (bits == 16 || bits == 24) ? 1 : 3;
  fileName = path;
  displayName = FileNameOf(path);
  if (channels < 1 || !(bits == 16 || bits == 24 || bits == 32)) return;
  handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (handle < 0) return;
  uint8_t h[44];
  MakeWavHeader(h, rate, bits, channels, 0);
  WriteAll(h, sizeof h);
  dataOffset = 44;
}

CWriteSample::~CWriteSample() { Close(); }

bool CWriteSample::WriteAll(const void* bytes, size_t n) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (n > 0) {
    const ssize_t w = ::write(handle, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return !(failed_ = true);
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool CWriteSample::AppendFrames(const void* buffer, int32_t n) {
  if (handle < 0 || n <= 0) return false;
  if (!WriteAll(buffer, static_cast<size_t>(n) * static_cast<size_t>(channels * (bits / 8)))) return false;
  frames += n;
  return true;
}

bool CWriteSample::AppendFloatFrames(const float* const* channels_in, int32_t n) {
  if (handle < 0 || n <= 0) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(n) * static_cast<size_t>(channels * (bits / 8)));
  EncodeFrames(channels_in, channels, n, bits, bytes.data());
  return AppendFrames(bytes.data(), n);
}

bool CWriteSample::Close() {
  if (handle < 0) return false;
  bool ok = !failed_;
  if (frames > 0) {
    uint8_t h[44];
    MakeWavHeader(h, rate, bits, channels, frames);
    ok = ::pwrite(handle, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h) && ok;
  }
  ok = ::close(handle) == 0 && ok;
  handle = -1;
  return ok;
}

void EncodeFrames(const float* const* in, int32_t channel_count, int32_t n, int32_t bits,
                  uint8_t* out) noexcept {
  const int b = bits / 8;
  if (bits == 32) {
    // Floats as they are, interleaved.
    for (int32_t c = 0; c < channel_count; ++c) {
      const float* src = in[c];
      uint8_t* p = out + static_cast<size_t>(c) * 4;
      for (int32_t i = 0; i < n; ++i, p += static_cast<size_t>(channel_count) * 4) std::memcpy(p, src + i, 4);
    }
    return;
  }
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t c = 0; c < channel_count; ++c) {
      const float v = in[c][i];
      uint8_t* p =
          out + (static_cast<size_t>(i) * static_cast<size_t>(channel_count) + static_cast<size_t>(c)) *
                    static_cast<size_t>(b);
      if (bits == 16) {
        // The reading scale inverted, so that frames read from a file write back unchanged.
        const auto s = static_cast<int16_t>(std::clamp(std::lrint(ClampUnit(v) * 32768.0f), -32768L, 32767L));
        std::memcpy(p, &s, 2);
      } else {
        const auto s = static_cast<int32_t>(
            std::clamp(std::lrint(static_cast<double>(ClampUnit(v)) * 8388608.0), -8388608L, 8388607L));
        p[0] = static_cast<uint8_t>(s & 0xFF);
        p[1] = static_cast<uint8_t>((s >> 8) & 0xFF);
        p[2] = static_cast<uint8_t>((s >> 16) & 0xFF);
      }
    }
  }
}

}  // namespace qr
