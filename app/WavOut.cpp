#include "app/WavOut.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "audio/WriteSample.h"

namespace qr {

std::vector<uint8_t> WavHeader(float rate, int bits, int channels, int64_t frames, uint64_t riffLimit) {
  const uint64_t data = static_cast<uint64_t>(frames) * static_cast<uint64_t>(bits / 8 * channels);
  uint8_t h[128];  // the longest: RF64 with ds64, extended fmt and fact
  size_t at = 0;
  auto put = [&h, &at](const void* v, size_t n) {
    std::memcpy(h + at, v, n);
    at += n;
  };
  auto u32 = [&put](uint32_t v) { put(&v, 4); };
  auto u16 = [&put](uint16_t v) { put(&v, 2); };
  auto u64 = [&put](uint64_t v) { put(&v, 8); };
  // Float data carries the extended fmt chunk and the "fact" chunk that
  // readers expect of a format other than plain PCM.
  const bool flt = bits == 32;
  const uint64_t plainRiff = data + (flt ? 4 + 26 + 12 : 4 + 24) + 8;
  const bool rf64 = plainRiff > riffLimit;
  const uint64_t riff = plainRiff + (rf64 ? 36 : 0);
  put(rf64 ? "RF64" : "RIFF", 4);
  u32(rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(riff));
  put("WAVE", 4);
  if (rf64) {
    put("ds64", 4);
    u32(28);
    u64(riff);
    u64(data);
    u64(static_cast<uint64_t>(frames));
    u32(0);  // no table of other large chunks
  }
  const auto r = static_cast<uint32_t>(std::nearbyint(rate));
  put("fmt ", 4);
  u32(flt ? 18 : 16);
  u16(bits == 32 ? 3 : 1);
  u16(static_cast<uint16_t>(channels));
  u32(r);
  u32(r * static_cast<uint32_t>(bits / 8 * channels));
  u16(static_cast<uint16_t>(bits / 8 * channels));
  u16(static_cast<uint16_t>(bits));
  if (flt) {
    u16(0);
    put("fact", 4);
    u32(4);
    u32(frames > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(frames));
  }
  put("data", 4);
  u32(rf64 ? 0xFFFFFFFFu : static_cast<uint32_t>(data));
  return {h, h + at};
}

WavWriter::WavWriter(OutputFile& file, float rate, int bits, int channels, int64_t frames, uint64_t riffLimit)
    : file_(file), rate_(rate), bits_(bits), channels_(channels), frames_(frames) {
  const std::vector<uint8_t> h = WavHeader(rate, bits, channels, frames, riffLimit);
  rf64_ = std::memcmp(h.data(), "RF64", 4) == 0;
  headerBytes_ = h.size();
  ok_ = file_.Write(h.data(), h.size());
  for (auto& p : pending_) p.reserve(kFlushFrames);
}

bool WavWriter::Append(const float* const* ch, int n) {
  int done = 0;
  while (ok_ && done < n) {
    const int take = std::min(n - done, kFlushFrames - static_cast<int>(pending_[0].size()));
    for (int c = 0; c < channels_ && c < 2; ++c)
      pending_[c].insert(pending_[c].end(), ch[c] + done, ch[c] + done + take);
    done += take;
    if (static_cast<int>(pending_[0].size()) == kFlushFrames) Flush();
  }
  return ok_;
}

bool WavWriter::Flush() {
  const auto n = static_cast<int32_t>(pending_[0].size());
  if (n == 0 || !ok_) return ok_;
  const float* ch[2] = {pending_[0].data(), pending_[channels_ > 1 ? 1 : 0].data()};
  bytes_.resize(static_cast<size_t>(n) * static_cast<size_t>(bits_ / 8 * channels_));
  EncodeFrames(ch, channels_, n, bits_, bytes_.data());
  ok_ = file_.Write(bytes_.data(), bytes_.size());
  written_ += n;
  for (auto& p : pending_) p.clear();
  return ok_;
}

bool WavWriter::Finish() {
  Flush();
  if (ok_ && written_ != frames_ && file_.Seekable()) {
    // A run whose length was not known in advance (a song's release): the
    // header takes the frames written, in the form it was written in.
    const std::vector<uint8_t> h =
        WavHeader(rate_, bits_, channels_, written_, rf64_ ? 0 : std::numeric_limits<uint64_t>::max());
    if (h.size() == headerBytes_) return ok_ = file_.WriteAt(0, h.data(), h.size());
  }
  if (ok_ && written_ < frames_) {
    bytes_.assign(static_cast<size_t>(bits_ / 8 * channels_) * 4096, 0);
    while (ok_ && written_ < frames_) {
      const int64_t n = std::min<int64_t>(frames_ - written_, 4096);
      ok_ = file_.Write(bytes_.data(), static_cast<size_t>(n) * static_cast<size_t>(bits_ / 8 * channels_));
      written_ += n;
    }
  }
  return ok_;
}

}  // namespace qr
