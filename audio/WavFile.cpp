#include "audio/WavFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "audio/Sample.h"

static_assert(std::endian::native == std::endian::little, "WAV fields are read in the machine's byte order");

namespace qr {

namespace {

constexpr int32_t kExtensibleTag = 0xFFFE;

bool ReadAt(int fd, int64_t pos, void* dst, size_t n) noexcept {
  auto* p = static_cast<uint8_t*>(dst);
  while (n > 0) {
    const ssize_t r = ::pread(fd, p, n, static_cast<off_t>(pos));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    pos += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

template <typename T>
T Field(const uint8_t* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string EncodingName(int32_t tag, int32_t bits) {
  const std::string b = std::to_string(bits) + "-bit";
  if (tag == 1) return b + " integer PCM";
  if (tag == 3) return b + " float";
  return "format tag " + std::to_string(tag) + ", " + std::to_string(bits) + " bits";
}

std::string ChunkName(const uint8_t* id) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += (id[i] >= 32 && id[i] < 127) ? static_cast<char>(id[i]) : '?';
  return s;
}

}  // namespace

WavScan ScanWav(int fd, int64_t file_size, WavScanMode mode) {
  WavScan w;
  uint8_t h[12];
  if (file_size < 12 || !ReadAt(fd, 0, h, sizeof h)) {
    w.error = "too short for a RIFF header";
    return w;
  }
  if (std::memcmp(h, "RIFF", 4) != 0) {
    w.error = "not a RIFF file (starts with \"" + ChunkName(h) + "\")";
    return w;
  }
  if (std::memcmp(h + 8, "WAVE", 4) != 0) {
    w.error = "not a WAVE file (form \"" + ChunkName(h + 8) + "\")";
    return w;
  }
  // RAM samples scan the RIFF form as the header sizes it; disk samples scan the
  // file, counting down by the sizes of the chunks they pass.
  const int64_t end = mode == WavScanMode::Ram ? int64_t{Field<int32_t>(h + 4)} + 8 : file_size;
  int64_t remaining = file_size;
  int64_t pos = 12;
  int64_t data_held = 0;
  while (pos < end && pos + 8 <= file_size && remaining > 0) {
    uint8_t c[8];
    if (!ReadAt(fd, pos, c, sizeof c)) break;
    const int32_t size = Field<int32_t>(c + 4);
    pos += 8;
    if (size < 1) {
      w.badChunkSize = size == 0 ? INT32_MIN : size;
      break;
    }
    const int64_t held = std::max<int64_t>(0, std::min<int64_t>(size, file_size - pos));
    if (std::memcmp(c, "fmt ", 4) == 0) {
      uint8_t f[40];
      if (size < 16 || held < 16 || !ReadAt(fd, pos, f, 16)) {
        w.error = "\"fmt \" chunk too short";
        return w;
      }
      w.formatTag = Field<uint16_t>(f);
      w.channels = Field<uint16_t>(f + 2);
      w.rate = static_cast<float>(Field<uint32_t>(f + 4));
      w.bits = Field<uint16_t>(f + 14);
      // Extensible headers carry the real format tag in their sub-format.
      w.extensible = false;
      if (w.formatTag == kExtensibleTag && held >= 40 && ReadAt(fd, pos + 16, f + 16, 24)) {
        w.formatTag = Field<uint16_t>(f + 24);
        w.extensible = true;
      }
      if (w.channels < 1) {
        w.error = "no channels";
        return w;
      }
      if (!IsSupportedFormat(w.formatTag, w.bits)) {
        w.error = "unsupported encoding: " + EncodingName(w.formatTag, w.bits);
        return w;
      }
      w.haveFormat = true;
    } else if (std::memcmp(c, "data", 4) == 0) {
      if (!w.haveFormat) {
        w.error = "\"data\" chunk before \"fmt \"";
        return w;
      }
      // A chunk that claims more than the file holds gives the frames present;
      // they are counted once the scan ends, in the format that stands then.
      data_held = held;
      w.dataOffset = pos;
      w.haveSampler = w.haveLoopRecord = false;  // "data" sets the loop defaults
      w.loopCount = 0;
      if (mode == WavScanMode::Disk) break;
    } else if (std::memcmp(c, "smpl", 4) == 0 && mode == WavScanMode::Ram && w.dataOffset >= 0 &&
               held >= 36) {
      uint8_t s[36];
      if (ReadAt(fd, pos, s, sizeof s)) {
        w.haveSampler = true;
        w.loopCount = Field<int32_t>(s + 28);
        // Every loop record overwrites the points, so only the last one the
        // chunk holds matters, however many the count claims.
        const int64_t records = std::min<int64_t>(w.loopCount, (held - 36) / 24);
        uint8_t r[24];
        if (records > 0 && ReadAt(fd, pos + 36 + (records - 1) * 24, r, sizeof r)) {
          w.haveLoopRecord = true;
          w.loopRecordStart = Field<int32_t>(r + 8);
          w.loopRecordEnd = Field<int32_t>(r + 12);
        }
      }
    }
    // Chunks are skipped by exactly their size, without the RIFF pad byte.
    pos += size;
    remaining -= size;
  }
  if (w.dataOffset < 0) {
    w.error = w.haveFormat ? "no \"data\" chunk" : "no \"fmt \" chunk";
    return w;
  }
  // A "fmt " chunk after "data" (hostile, or a writer that appends one)
  // restates the layout, so frames and bytes follow the last format read and
  // the sample's buffer always matches what is read into it.
  const int64_t frame_bytes = int64_t{w.bits} / 8 * w.channels;
  w.frames = static_cast<int32_t>(std::min<int64_t>(data_held / frame_bytes, INT32_MAX - 3));
  w.dataBytes = int64_t{w.frames} * frame_bytes;
  w.ok = true;
  return w;
}

std::string DescribeWav(const std::string& path) {
  std::string out = path + "\n";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    return out + "refused: cannot open the file\n";
  }
  const WavScan w = ScanWav(fd, st.st_size, WavScanMode::Ram);
  ::close(fd);
  if (!w.ok) return out + "refused: " + w.error + "\n";

  // The same loop handling as a RAM sample: defaults from "data", points from
  // a later "smpl", kept inside the frames.
  const bool looped = w.haveSampler && w.loopCount == 1;
  int32_t loop_start = 1, loop_end = w.frames;
  if (w.haveLoopRecord) {
    loop_start = std::clamp<int64_t>(int64_t{w.loopRecordStart} + 1, 1, std::max(1, w.frames));
    loop_end = std::clamp<int64_t>(int64_t{w.loopRecordEnd} + 1, loop_start, std::max(1, w.frames));
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", static_cast<double>(w.rate));
  out +=
      "encoding: " + EncodingName(w.formatTag, w.bits) + (w.extensible ? " (extensible header)" : "") + "\n";
  out += std::string("rate: ") + rate + " Hz\n";
  out += "channels: " + std::to_string(w.channels) +
         (w.channels > 2 ? " (only mono and stereo play; this one renders silence)" : "") + "\n";
  out += "bits: " + std::to_string(w.bits) + "\n";
  out += "frames: " + std::to_string(w.frames) + "\n";
  if (looped)
    out += "loop: " + std::to_string(loop_start) + " to " + std::to_string(loop_end) + "\n";
  else
    out += "loop: none\n";
  return out;
}

void MakeWavHeader(uint8_t out[44], float rate, int32_t bits, int32_t channels, int64_t frames) noexcept {
  const int32_t data =
      static_cast<int32_t>(std::min<int64_t>(int64_t{bits} / 8 * frames * channels, INT32_MAX - 36));
  const int32_t r = static_cast<int32_t>(std::nearbyint(rate));
  const int16_t tag = (bits == 16 || bits == 24) ? 1 : 3;
  const int16_t ch = static_cast<int16_t>(channels);
  const int16_t align = static_cast<int16_t>(bits / 8 * channels);
  const int16_t b = static_cast<int16_t>(bits);
  const int32_t riff = data + 36, fmt = 16, byte_rate = r * (bits / 8) * channels;
  auto put = [&](int at, const void* v, size_t n) { std::memcpy(out + at, v, n); };
  put(0, "RIFF", 4);
  put(4, &riff, 4);
  put(8, "WAVE", 4);
  put(12, "fmt ", 4);
  put(16, &fmt, 4);
  put(20, &tag, 2);
  put(22, &ch, 2);
  put(24, &r, 4);
  put(28, &byte_rate, 4);
  put(32, &align, 2);
  put(34, &b, 2);
  put(36, "data", 4);
  put(40, &data, 4);
}

}  // namespace qr
