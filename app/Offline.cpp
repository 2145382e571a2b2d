#include "app/Offline.h"

#include <fcntl.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>

#include "audio/WavFile.h"
#include "graph/Callback.h"
#include "platform/Files.h"
#include "shell/VSTPlug.h"

namespace qr {

namespace {

class WavSource final : public AudioSource {
 public:
  bool Open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      error = "cannot read " + path + ": no such file";
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      error = path + " is a folder";
      return false;
    }
    scan_ = ScanWav(fd_, st.st_size, WavScanMode::Disk);
    const bool pcm = scan_.formatTag == 1 && (scan_.bits == 16 || scan_.bits == 24);
    const bool flt = scan_.formatTag == 3 && scan_.bits == 32;
    if (!scan_.ok || !(pcm || flt) || scan_.channels < 1 || scan_.channels > 2 || scan_.frames <= 0) {
      std::string why = scan_.error;
      if (why.empty()) why = "not a WAV file the system reads";
      const std::string d = DescribeWav(path);
      if (const auto k = d.find("refused: "); k != std::string::npos)
        why = d.substr(k + 9, d.find('\n', k) - k - 9);
      error = "cannot read " + path + ": " + why;
      return false;
    }
    return true;
  }
  ~WavSource() override {
    if (fd_ >= 0) ::close(fd_);
  }
  float Rate() const { return scan_.rate; }
  int64_t Frames() const { return scan_.frames; }

  void Read(int64_t pos, int n, float* l, float* r) override {
    const int fb = scan_.bits / 8 * scan_.channels;
    const int64_t have = std::max<int64_t>(0, std::min<int64_t>(n, scan_.frames - pos));
    // Reads ahead in large windows: one read per engine block would cost more
    // in system calls than the block costs in work.
    if (have > 0 && (pos < winStart_ || pos + have > winStart_ + winFrames_)) {
      const int64_t want = std::min<int64_t>(std::max<int64_t>(have, kWindowFrames), scan_.frames - pos);
      raw_.resize(static_cast<size_t>(want * fb));
      const ssize_t got = ::pread(fd_, raw_.data(), raw_.size(), scan_.dataOffset + pos * fb);
      winStart_ = pos;
      winFrames_ = got > 0 ? got / fb : 0;
    }
    const int64_t frames =
        have > 0 ? std::max<int64_t>(0, std::min<int64_t>(have, winStart_ + winFrames_ - pos)) : 0;
    for (int64_t i = 0; i < frames; ++i) {
      const uint8_t* f = raw_.data() + (pos - winStart_ + i) * fb;
      for (int c = 0; c < 2; ++c) {
        const uint8_t* v = f + (c < scan_.channels ? c : 0) * (scan_.bits / 8);
        float x;
        if (scan_.bits == 16) {
          x = static_cast<float>(static_cast<int16_t>(v[0] | (v[1] << 8))) / 32768.0f;
        } else if (scan_.bits == 24) {
          const int32_t s24 =
              static_cast<int32_t>((uint32_t{v[0]} << 8) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 24)) >>
              8;
          x = static_cast<float>(s24) / 8388608.0f;
        } else {
          std::memcpy(&x, v, 4);
        }
        (c == 0 ? l : r)[i] = x;
      }
    }
    for (int64_t i = frames; i < n; ++i) l[i] = r[i] = 0.0f;
  }

 private:
  static constexpr int64_t kWindowFrames = 32768;
  int fd_ = -1;
  WavScan scan_;
  std::vector<uint8_t> raw_;
  int64_t winStart_ = 0, winFrames_ = 0;
};

// Pulls the source in order through the resampler; the commands read their
// input strictly forward, block after block.
class ResampledSource final : public AudioSource {
 public:
  ResampledSource(std::unique_ptr<AudioSource> src, int64_t srcFrames)
      : src_(std::move(src)), srcFrames_(srcFrames) {}
  ~ResampledSource() override {
    if (soxr_) soxr_delete(soxr_);
  }
  bool Create(double from, double to, std::string& error) {
    soxr_error_t e = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    soxr_ = soxr_create(from, to, 2, &e, &io, &q, nullptr);
    if (!soxr_ || e) {
      error = std::string("cannot resample: ") + soxr_strerror(e);
      return false;
    }
    soxr_set_input_fn(soxr_, &Input, this, kChunk);
    return true;
  }
  void Read(int64_t, int n, float* l, float* r) override {
    inter_.resize(static_cast<size_t>(n) * 2);
    size_t got = 0;
    while (got < static_cast<size_t>(n)) {
      const size_t k = soxr_output(soxr_, inter_.data() + got * 2, static_cast<size_t>(n) - got);
      if (k == 0) break;
      got += k;
    }
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
      l[i] = i < got ? inter_[i * 2] : 0.0f;
      r[i] = i < got ? inter_[i * 2 + 1] : 0.0f;
    }
  }

 private:
  static constexpr size_t kChunk = 4096;
  static size_t Input(void* self, soxr_in_t* data, size_t want) {
    auto& s = *static_cast<ResampledSource*>(self);
    const int64_t left = s.srcFrames_ - s.pos_;
    const int n = static_cast<int>(std::min<int64_t>(std::min(want, kChunk), std::max<int64_t>(left, 0)));
    s.in_.resize(kChunk * 2);
    *data = s.in_.data();
    if (n <= 0) return 0;  // the end of the input: the resampler drains its tail
    s.l_.resize(kChunk);
    s.r_.resize(kChunk);
    s.src_->Read(s.pos_, n, s.l_.data(), s.r_.data());
    for (int i = 0; i < n; ++i) {
      s.in_[static_cast<size_t>(i) * 2] = s.l_[static_cast<size_t>(i)];
      s.in_[static_cast<size_t>(i) * 2 + 1] = s.r_[static_cast<size_t>(i)];
    }
    s.pos_ += n;
    return static_cast<size_t>(n);
  }

  std::unique_ptr<AudioSource> src_;
  int64_t srcFrames_, pos_ = 0;
  soxr_t soxr_ = nullptr;
  std::vector<float> in_, inter_, l_, r_;
};

// Sees the root's output just before the standalone limit to ±1 (the host's
// audio hook runs there), on the audio thread: no allocation.
struct ClipMeter {
  double peak = 0.0;
  int64_t clipped = 0;
  void See(float* l, float* r, int n) {
    const int sides = l == r ? 1 : 2;
    for (int s = 0; s < sides; ++s) {
      const float* x = s == 0 ? l : r;
      // In floats, which the doubles would only copy exactly, so that the
      // loop runs in vectors; a NaN leaves the peak as it was.
      float top = 0.0f;
      int64_t over = 0;
      for (int i = 0; i < n; ++i) {
        const float a = std::fabs(x[i]);
        top = a > top ? a : top;
        over += a > 1.0f;
      }
      peak = std::max(peak, static_cast<double>(top));
      clipped += over;
    }
  }
};

bool HasProgramChange(const std::vector<std::pair<int32_t, uint32_t>>& due) {
  for (const auto& e : due)
    if ((e.second & 0xF0) == 0xC0) return true;
  return false;
}

}  // namespace

std::unique_ptr<AudioSource> OpenWavSource(const std::string& path, float& fileRate, int64_t& frames,
                                           std::string& error) {
  auto w = std::make_unique<WavSource>();
  if (!w->Open(path, error)) return nullptr;
  fileRate = w->Rate();
  frames = w->Frames();
  return w;
}

std::unique_ptr<AudioSource> Resampled(std::unique_ptr<AudioSource> src, double fromRate, double toRate,
                                       int64_t& frames, std::string& error) {
  auto r = std::make_unique<ResampledSource>(std::move(src), frames);
  if (!r->Create(fromRate, toRate, error)) return nullptr;
  frames = std::llround(static_cast<double>(frames) * toRate / fromRate);
  return r;
}

bool LoadMidiFile(const std::string& path, std::vector<TimedMidiEvent>& events, std::string& error) {
  std::vector<uint8_t> bytes;
  if (IsDirectory(path)) {
    error = path + " is a folder";
    return false;
  }
  if (!ReadWholeFile(path, bytes, uint64_t{1} << 28)) {
    error = "cannot read " + path;
    return false;
  }
  const std::string e = ReadSmfEvents(bytes, events);
  if (!e.empty()) {
    error = path + ": " + e;
    return false;
  }
  // The reader takes what it finds of a chunk that runs past the end; for
  // playback a file cut short is as wrong as a bad one.
  size_t pos = 0;
  while (pos + 8 <= bytes.size()) {
    uint32_t len = 0;
    for (int i = 4; i < 8; ++i) len = (len << 8) | bytes[pos + static_cast<size_t>(i)];
    if (len > bytes.size() - pos - 8) {
      error = path + ": the file is cut short";
      return false;
    }
    pos += 8 + len;
  }
  return true;
}

Progress::Progress(bool show) : show_(show && isatty(STDERR_FILENO)) {}

void Progress::Update(double fraction) {
  if (!show_) return;
  const int pct = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
  if (pct == last_) return;
  last_ = pct;
  const int filled = pct * 40 / 100;
  std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(40 - filled), ' ').c_str(), pct);
  std::fflush(stderr);
}

void Progress::Finish() {
  if (show_ && last_ >= 0) {
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
  }
  last_ = -1;
}

bool RunOffline(const OfflineJob& job, WavWriter& out, OfflineResult& result, std::ostream& err) {
  StandaloneHost& host = job.host;
  const int block = job.block;
  std::vector<float> ib[2], ob[2];
  for (int c = 0; c < 2; ++c) {
    ib[c].assign(static_cast<size_t>(block), 0.0f);
    ob[c].assign(static_cast<size_t>(block), 0.0f);
  }
  float* ip[2] = {ib[0].data(), ib[1].data()};
  float* op[2] = {ob[0].data(), ob[1].data()};
  ClipMeter meter;
  TVSTPlug& plug = host.Plugin();
  plug.audioHook = Callback<void(float*, float*, int)>::Bind<&ClipMeter::See>(&meter);
  size_t nextMidi = 0;
  std::vector<std::pair<int32_t, uint32_t>> due;
  Progress bar(job.progress);
  const auto t0 = std::chrono::steady_clock::now();
  bool ok = true;
  int64_t end = job.frames;
  for (int64_t pos = 0; pos < end || (job.stillSounding && end < job.frames + job.maxTail &&
                                      (nextMidi < job.midi.size() || job.stillSounding()));
       pos += block) {
    if (pos >= end) end = std::min(pos + block, job.frames + job.maxTail);
    const int n = static_cast<int>(std::min<int64_t>(block, end - pos));
    if (job.input) {
      job.input->Read(pos, n, ip[0], ip[1]);
    } else {
      std::fill_n(ip[0], n, 0.0f);
      std::fill_n(ip[1], n, 0.0f);
    }
    due.clear();
    while (nextMidi < job.midi.size()) {
      const int64_t at = static_cast<int64_t>(std::floor(job.midi[nextMidi].seconds * job.rate));
      if (at >= pos + n) break;
      due.emplace_back(static_cast<int32_t>(std::max<int64_t>(0, at - pos)), job.midi[nextMidi].msg);
      ++nextMidi;
    }
    host.SendMidi(due);
    host.Process(ip, op, n);
    if (!out.Append(op, n)) {
      err << "quillrow: error writing the output\n";
      ok = false;
      break;
    }
    // Nobody waits offline: a program change that opens another project file
    // completes now, so the next block already plays it.
    if (HasProgramChange(due)) {
      host.Idle();
      host.FinishOpening();
    } else if ((pos / block) % 64 == 0) {
      host.Idle();
    }
    bar.Update(
        std::min(1.0, static_cast<double>(pos + n) / static_cast<double>(std::max<int64_t>(job.frames, 1))));
    result.frames = pos + n;
  }
  plug.audioHook.Clear();
  bar.Finish();
  result.peak = meter.peak;
  result.clipped = meter.clipped;
  result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return ok;
}

void ReportOffline(const OfflineResult& r, int64_t frames, float rate, bool quiet, std::ostream& err) {
  const double db = r.peak > 0.0 ? 20.0 * std::log10(r.peak) : -std::numeric_limits<double>::infinity();
  err << std::fixed << std::setprecision(1);
  if (!quiet) {
    const double audio = static_cast<double>(frames) / rate;
    err << "quillrow: " << audio << " s of audio in " << r.wallSeconds << " s ("
        << (r.wallSeconds > 0 ? audio / r.wallSeconds : 0.0) << "x real time), peak ";
    if (r.peak > 0.0)
      err << std::showpos << db << std::noshowpos << " dBFS\n";
    else
      err << "silent\n";
  }
  if (r.clipped > 0)
    err << "quillrow: clipped " << r.clipped << " samples (peak " << std::showpos << db << std::noshowpos
        << " dBFS limited to 0 dBFS)\n";
  err << std::defaultfloat << std::setprecision(6);
}

}  // namespace qr
