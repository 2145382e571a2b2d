#pragma once
// WAV files written by hand, chunk by chunk, so tests never read back only
// what the code under test wrote.
#include <cstdint>
#include <utility>
#include <vector>

namespace qr::test {

// A RIFF/WAVE file assembled chunk by chunk; sizes may be set to lie.
struct WavBuilder {
  std::vector<uint8_t> body;

  template <typename T>
  static void Put(std::vector<uint8_t>& v, T x) {
    const auto* p = reinterpret_cast<const uint8_t*>(&x);
    v.insert(v.end(), p, p + sizeof x);
  }
  WavBuilder& Chunk(const char* id, const std::vector<uint8_t>& content, int64_t declared = -1) {
    body.insert(body.end(), id, id + 4);
    Put(body, static_cast<int32_t>(declared >= 0 ? declared : static_cast<int64_t>(content.size())));
    body.insert(body.end(), content.begin(), content.end());
    return *this;
  }
  WavBuilder& Fmt(int tag, int channels, int rate, int bits) {
    std::vector<uint8_t> f;
    Put(f, static_cast<uint16_t>(tag));
    Put(f, static_cast<uint16_t>(channels));
    Put(f, static_cast<uint32_t>(rate));
    Put(f, static_cast<uint32_t>(rate * channels * bits / 8));
    Put(f, static_cast<uint16_t>(channels * bits / 8));
    Put(f, static_cast<uint16_t>(bits));
    return Chunk("fmt ", f);
  }
  // A "smpl" chunk whose loop count may claim more records than it holds.
  WavBuilder& Smpl(int32_t loop_count, const std::vector<std::pair<int32_t, int32_t>>& loops) {
    std::vector<uint8_t> s(28, 0);
    Put(s, loop_count);
    Put(s, int32_t{0});
    for (auto [a, b] : loops) {
      for (int32_t v : {0, 0, a, b, 0, 0}) Put(s, v);
    }
    return Chunk("smpl", s);
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    Put(out, static_cast<int32_t>(body.size() + 4));
    out.insert(out.end(), {'W', 'A', 'V', 'E'});
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }
};

}  // namespace qr::test
