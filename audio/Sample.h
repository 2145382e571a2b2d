#pragma once
// Samples: audio in RAM (CSample) or streamed from an open WAV file
// (CDiskSample), sharing one rendering interface, plus the peak summary used to
// draw waveforms and the records that projects embed.
//
// Frame positions are indices into one space for both kinds: index 0 is a zero
// frame in front of the audio, 1 the first real frame, frames + 1 and frames + 2
// two zero frames behind it. The 4-point interpolation at index i reads
// i - 1 .. i + 2, so positions kept within start .. end never leave the audio.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qr {

class CStream;
class CSample;

// Rendering handles 16-bit, 24-bit and 32-bit float frames of one or two channels.
inline constexpr int kMaxRenderFrameBytes = 8;
// A disk sample reads at most this many frames (plus the interpolation margin)
// per refill of the caller's scratch window.
inline constexpr int kStreamWindowFrames = 4096;
// Size of the scratch window a caller hands to ReadFrames for disk samples.
inline constexpr size_t kStreamScratchBytes = size_t{kStreamWindowFrames + 5} * kMaxRenderFrameBytes;
inline constexpr int kPeakBlockFrames = 128;

// Value scale of the integer encodings: 16-bit values times 1/32768; 24-bit
// values shifted into the top of an int32 and multiplied by 2^-31.
inline constexpr float kScale16 = 1.0f / 32768.0f;
inline constexpr float kScale24 = 1.0f / 2147483648.0f;

// How the sample pool shows and stores a sample's path.
enum PathKind : int32_t { kPathAbsolute = 0, kPathNameOnly = 1, kPathAudioFolder = 2 };

// True for 16- and 24-bit integer PCM (format tag 1) and 32-bit float (tag 3).
bool IsSupportedFormat(int32_t format_tag, int32_t bits) noexcept;

// The widest frame a sample holds: a WAV header's channel count is 16 bits.
inline constexpr int32_t kMaxSampleChannels = 65535;
// Frame layouts a sample can hold in memory (rendering takes one or two channels).
constexpr bool LayoutAllowed(int32_t bits, int32_t channels) noexcept {
  return (bits == 16 || bits == 24 || bits == 32) && channels >= 1 && channels <= kMaxSampleChannels;
}

// "This is not a valid sample format " + bits + "-bit " + rate + "Hz format " +
// format tag: what the sample pool tells about a file that failed to open for
// its encoding (a refused file leaves its format in the sample).
std::string NotValidFormatText(const CSample& s);

// ---- Diagnostics. Off by default; while off nothing is reported. Load-time
// diagnostics become notices; the audio thread only counts, and the counts are
// turned into notices by ReportStreamDiagnostics() on the user-interface side.
inline std::atomic<bool> g_sampleDiagnostics{false};
struct StreamDiagnostics {
  std::atomic<int> phaseBeforeStart{0};  // "stream error: phase < left"
  std::atomic<int> phaseBeyondEnd{0};    // "stream error: phase > right"
  std::atomic<int> badRange{0};          // "stream error, invalide range: "
};
inline StreamDiagnostics g_streamDiagnostics;
void ReportStreamDiagnostics();

class CBaseSample {
 public:
  CBaseSample() = default;
  CBaseSample(const CBaseSample&) = delete;
  CBaseSample& operator=(const CBaseSample&) = delete;
  virtual ~CBaseSample();

  // 1. Writes the sample records; returns the number of bytes written.
  virtual int32_t SaveRecords(CStream& s) const;
  // 2. Reads sample records until `size` bytes are consumed.
  virtual void LoadRecords(CStream& s, int32_t size);
  // 3 (audio). Renders `count` output frames at source positions
  // phase + i x step into `left` and `right` (overwritten, not added to).
  // Mono sources give both outputs the same value. `scratch` must hold
  // kStreamScratchBytes for disk samples; RAM samples do not use it.
  virtual void ReadFrames(int count, float* left, uint8_t* scratch, float pan, float gain, double step,
                          double phase, float* right) noexcept;
  // 4. Rebuilds the peak block.
  virtual void BuildPeaks();
  // 5. Opens a WAV file; true on success.
  virtual bool OpenFile(const std::string& path);
  // 6. A new empty sample of the same class.
  virtual std::unique_ptr<CSample> NewEmpty() const;

  // The peak summary: "peak", int32 frame count, uint8 channel count, then per
  // block of 128 frames and per channel the minimum and maximum as
  // round(v x 127) + 127. Empty when there is none.
  std::vector<uint8_t> peaks;
  uint8_t readOnly = 0;  // the file could only be opened for reading
};

// A RAM sample's frames with the renderer of their encoding, worked out once
// so that a voice's many short runs skip the checks ReadFrames repeats for
// each. Valid while the sample is not edited.
struct MemoryRender {
  using Fn = void (*)(const uint8_t* frame0, int64_t last, int count, double phase, double step, float gl,
                      float gr, float* left, float* right) noexcept;
  const uint8_t* frame0 = nullptr;
  int64_t last = 0;
  Fn run = nullptr;
  // What ReadFrames renders with unit gain; `step` must be finite.
  void Render(int count, float* left, float* right, double step, double phase) const noexcept {
    if (count <= 0) return;
    run(frame0, last, count, phase >= 0.0 ? phase : 0.0, step, 1.0f, 1.0f, left, right);
  }
};

class CSample : public CBaseSample {
 public:
  CSample() = default;
  ~CSample() override;

  // 8. Frees the frames, sets the frame count to 0 and clears the file name.
  virtual void ReleaseData();

  int32_t SaveRecords(CStream& s) const override;
  void LoadRecords(CStream& s, int32_t size) override;
  void ReadFrames(int count, float* left, uint8_t* scratch, float pan, float gain, double step, double phase,
                  float* right) noexcept override;
  void BuildPeaks() override;
  bool OpenFile(const std::string& path) override;
  std::unique_ptr<CSample> NewEmpty() const override;
  // The frames in memory and their renderer; false for a sample whose frames
  // stream from disk or cannot be rendered.
  virtual bool InMemory(MemoryRender& out) const noexcept;

  bool IsSupportedFormat() const noexcept { return qr::IsSupportedFormat(formatTag, bits); }
  // Releases old data, stores the three values and allocates frames + 3 zeroed
  // frames. False (and no frames) for sizes that cannot be held.
  bool Allocate(int32_t frame_count, int32_t bits_per_sample, int32_t channel_count);
  // Saturated: the fields of a damaged file may hold any values.
  int32_t FrameBytes() const noexcept {
    return static_cast<int32_t>(std::clamp<int64_t>(int64_t{bits} / 8 * channels, INT32_MIN, INT32_MAX));
  }
  // True when the frame buffer is exactly frames + 3 frames of the header's
  // bits and channels: the one shape every reader of the frames relies on.
  bool HoldsFramesOfHeader() const noexcept;
  // Frame index 0 (the front guard frame) of a RAM sample; null without frames.
  const uint8_t* FrameData() const noexcept { return data.empty() ? nullptr : data.data(); }
  uint8_t* FrameData() noexcept { return data.empty() ? nullptr : data.data(); }
  // One frame's value on one channel, scaled to floats (RAM frames only).
  float Value(int32_t index, int channel) const noexcept;
  // One frame interpolated at fraction f from the four RAM frames `window`
  // names, wherever they lie (a window across a loop boundary), with the
  // arithmetic of the rendering kernels; a frame outside the sample is silence.
  void InterpolateAt(const std::array<int64_t, 4>& window, float f, float& left, float& right) const noexcept;

  std::string fileName;  // full path; also the "id" record
  int32_t frames = 0;
  int32_t bits = 16;
  int32_t channels = 1;
  int32_t formatTag = 1;
  float rate = 44100.0f;
  int32_t start = 1;
  int32_t end = 0;
  int32_t loop = 0;
  int32_t loopStart = 1;
  uint8_t computePeaks = 1;
  uint8_t open = 0;
  int64_t dataOffset = -1;  // byte position of frame 1 in the file
  std::string displayName;
  int32_t rootKey = 60;
  std::vector<uint8_t> data;  // frames + 3 frames in the file's own encoding
  int32_t pathKind = kPathAbsolute;

 protected:
  // Frees the frame buffer and sets the frame count to 0; the header stays.
  void DropFrames() noexcept;
  // Keeps start, end and loop start inside the frames so that rendering between
  // them never reads outside the buffer, whatever a file or record claimed.
  void ClampPositions() noexcept;
  void RenderFromMemory(int count, float* left, float* right, float gl, float gr, double step,
                        double phase) const noexcept;
};

class CDiskSample final : public CSample {
 public:
  CDiskSample() = default;
  ~CDiskSample() override;

  void ReleaseData() override;
  int32_t SaveRecords(CStream& s) const override;
  void ReadFrames(int count, float* left, uint8_t* scratch, float pan, float gain, double step, double phase,
                  float* right) noexcept override;
  void BuildPeaks() override;
  bool OpenFile(const std::string& path) override;
  std::unique_ptr<CSample> NewEmpty() const override;
  bool InMemory(MemoryRender&) const noexcept override { return false; }

  bool HasFile() const noexcept { return handle >= 0; }
  // Exchanges the open file and what was read from its header with `other`;
  // start, end and loop points stay (kept inside the frames). The caller keeps
  // rendering out meanwhile; nothing here touches the disk.
  void SwapFile(CDiskSample& other) noexcept;
  // (audio) Reads `n` frames from frame index `first` (1-based) into `dst`;
  // frames the file does not hold come back as zeros.
  void ReadFileFrames(int64_t first, int64_t n, uint8_t* dst) const noexcept;

  int32_t handle = -1;  // the open file
  int64_t fileSize = 0;
};

}  // namespace qr
