// The 8-band equaliser against sox's equalizer chain on the same file.
//
//   bench_eq_sox [IN.wav [REPEATS]]
//
// Bands at 100, 200, ... 12800 Hz, 0.5 octave, +3 dB. Without an input a
// 10-minute stereo pink-noise file is made with sox first. Both sides read the
// WAV and write raw 32-bit float; ours runs the module's band kernel in 512-frame
// blocks. Prints the times, their ratio, and the RMS of the difference between
// the two outputs relative to the RMS of sox's output.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#include "mixer/Eq.h"

namespace {

constexpr int kBlock = 512;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A minimal streaming reader for the benchmark's own input: 16-bit PCM or
// 32-bit float WAV, read in chunks the way sox reads it.
class WavIn {
 public:
  ~WavIn() {
    if (f_) std::fclose(f_);
  }
  bool Open(const std::string& path) {
    f_ = std::fopen(path.c_str(), "rb");
    uint8_t h[12];
    if (!f_ || std::fread(h, 1, 12, f_) != 12 || std::memcmp(h, "RIFF", 4) || std::memcmp(h + 8, "WAVE", 4))
      return false;
    uint8_t c[8];
    while (std::fread(c, 1, 8, f_) == 8) {
      uint32_t size;
      std::memcpy(&size, c + 4, 4);
      if (!std::memcmp(c, "fmt ", 4) && size >= 16 && size <= 64) {
        uint8_t b[64];
        if (std::fread(b, 1, size, f_) != size) return false;
        uint16_t fmt, ch, bits;
        uint32_t rate;
        std::memcpy(&fmt, b, 2), std::memcpy(&ch, b + 2, 2), std::memcpy(&rate, b + 4, 4), std::memcpy(&bits, b + 14, 2);
        if (fmt == 0xFFFE && size >= 26) std::memcpy(&fmt, b + 24, 2);
        channels = ch, this->rate = rate;
        float_ = fmt == 3 && bits == 32;
        if (!float_ && !(fmt == 1 && bits == 16)) return false;
        if (size & 1) std::fgetc(f_);
      } else if (!std::memcmp(c, "data", 4)) {
        remaining_ = size / (float_ ? 4 : 2);
        return channels > 0;
      } else {
        std::fseek(f_, size + (size & 1), SEEK_CUR);
      }
    }
    return false;
  }
  // Reads up to n samples (interleaved) as float; returns the count.
  size_t Read(float* dst, size_t n) {
    n = std::min<size_t>(n, remaining_);
    size_t got;
    if (float_) {
      got = std::fread(dst, 4, n, f_);
    } else {
      raw_.resize(n);
      got = std::fread(raw_.data(), 2, n, f_);
      for (size_t i = 0; i < got; ++i) dst[i] = static_cast<float>(raw_[i]) * (1.0f / 32768.0f);
    }
    remaining_ -= got;
    return got;
  }
  int channels = 0;
  double rate = 0;

 private:
  std::FILE* f_ = nullptr;
  bool float_ = false;
  size_t remaining_ = 0;
  std::vector<int16_t> raw_;
};

std::vector<float> ReadRaw(const std::string& path) {
  std::vector<float> v;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return v;
  float buf[1 << 14];
  size_t n;
  while ((n = std::fread(buf, sizeof(float), 1 << 14, f)) > 0) v.insert(v.end(), buf, buf + n);
  std::fclose(f);
  return v;
}

// Wall and processor time of one run; the processor time is what a loaded
// machine disturbs least.
struct Times {
  double wall = 1e30, cpu = 1e30, bands = 1e30;
  void KeepBest(const Times& t) {
    wall = std::min(wall, t.wall), cpu = std::min(cpu, t.cpu), bands = std::min(bands, t.bands);
  }
};

double ThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

Times RunSox(const std::string& cmd) {
  const double t0 = Now(), c0 = CpuSeconds(RUSAGE_CHILDREN);
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return {Now() - t0, CpuSeconds(RUSAGE_CHILDREN) - c0, 0};
}

// Ours: read, equalise in blocks, write raw float, as sox does.
Times RunOurs(const std::string& in, const std::string& out, size_t& frames, double& rate) {
  const double t0 = Now(), c0 = CpuSeconds(RUSAGE_SELF);
  WavIn w;
  if (!w.Open(in) || w.channels != 2) {
    std::fprintf(stderr, "cannot read %s as a stereo 16-bit or float WAV\n", in.c_str());
    std::exit(1);
  }
  qr::CEq eq(nullptr);
  eq.SetSampleRate(static_cast<float>(w.rate));
  for (int b = 1; b < 8; ++b) eq.AddBand();
  for (int b = 0; b < 8; ++b) eq.SetBand(b, 100.0f * static_cast<float>(1 << b), 3.0f, 0.5f);
  constexpr size_t kChunk = 1 << 15;  // stereo frames read and written at a time
  std::vector<float> io(2 * kChunk);
  std::FILE* of = std::fopen(out.c_str(), "wb");
  if (!of) std::exit(1);
  float l[kBlock], r[kBlock];
  double bands = 0;
  frames = 0;
  rate = w.rate;
  for (size_t got; (got = w.Read(io.data(), io.size()) / 2) > 0; frames += got) {
    for (size_t f0 = 0; f0 < got; f0 += kBlock) {
      const int n = static_cast<int>(std::min<size_t>(kBlock, got - f0));
      float* p = io.data() + 2 * f0;
      for (int i = 0; i < n; ++i) l[i] = p[2 * i], r[i] = p[2 * i + 1];
      const double e0 = ThreadCpu();
      eq.RunStereo(l, r, n);
      bands += ThreadCpu() - e0;
      for (int i = 0; i < n; ++i) p[2 * i] = l[i], p[2 * i + 1] = r[i];
    }
    std::fwrite(io.data(), sizeof(float), 2 * got, of);
  }
  std::fclose(of);
  return {Now() - t0, CpuSeconds(RUSAGE_SELF) - c0, bands};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = "/tmp";
  const std::string in = argc > 1 ? argv[1] : dir + "/qr_eq_bench_in.wav";
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (argc <= 1) {
    if (std::FILE* f = std::fopen(in.c_str(), "rb"))
      std::fclose(f);
    else
      RunSox("sox -n -r 44100 -c 2 -b 16 " + in + " synth 600 pinknoise pinknoise vol 0.25");
  }
  std::string chain;
  for (int f = 100; f <= 12800; f *= 2) chain += " equalizer " + std::to_string(f) + " 0.5o 3";
  const std::string soxOut = dir + "/qr_eq_bench_sox.f32", ourOut = dir + "/qr_eq_bench_ours.f32";

  // Alternate the runs and keep each side's best, so that a burst of load on a
  // shared machine does not decide the ratio.
  Times ours, sox, soxPlain;
  size_t frames = 0;
  double rate = 0;
  for (int k = 0; k < repeats; ++k) {
    ours.KeepBest(RunOurs(in, ourOut, frames, rate));
    sox.KeepBest(RunSox("sox --single-threaded " + in + " -t f32 " + soxOut + chain));
    soxPlain.KeepBest(RunSox("sox --single-threaded " + in + " -t f32 " + soxOut + ".plain"));
  }
  std::remove((soxOut + ".plain").c_str());
  const std::vector<float> ref = ReadRaw(soxOut), out = ReadRaw(ourOut);
  if (ref.size() != out.size()) {
    std::fprintf(stderr, "sox wrote %zu samples, we wrote %zu\n", ref.size(), out.size());
    return 1;
  }
  double diff = 0, sig = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const double d = static_cast<double>(out[i]) - ref[i];
    diff += d * d;
    sig += static_cast<double>(ref[i]) * ref[i];
  }
  const double db = 10 * std::log10(diff / sig);
  std::printf("file: %s, %zu stereo frames (%.1f s), best of %d\n", in.c_str(), frames,
              static_cast<double>(frames) / rate, repeats);
  std::printf("sox equalizer x8:  wall %.3f s, cpu %.3f s   (plain conversion: wall %.3f s, cpu %.3f s)\n", sox.wall,
              sox.cpu, soxPlain.wall, soxPlain.cpu);
  std::printf("ours, whole path:  wall %.3f s, cpu %.3f s   ratio %.2fx wall, %.2fx cpu\n", ours.wall, ours.cpu,
              sox.wall / ours.wall, sox.cpu / ours.cpu);
  std::printf("ours, bands only:  cpu %.3f s = %.1f M stereo frames/s; sox's filtering alone (cpu %.3f s) %.2fx slower\n",
              ours.bands, static_cast<double>(frames) / ours.bands / 1e6, sox.cpu - soxPlain.cpu,
              (sox.cpu - soxPlain.cpu) / ours.bands);
  std::printf("difference from sox: %.1f dB relative to the signal (target below -80 dB)\n", db);
  std::remove(soxOut.c_str());
  std::remove(ourOut.c_str());
  return 0;
}
