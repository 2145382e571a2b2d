#include "sampler/SoundFont.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/Messages.h"
#include "sampler/Sampler.h"

namespace qr {

namespace {

class FileBytes final : public SF2Bytes {
 public:
  explicit FileBytes(int fd, int64_t size) : fd_(fd), size_(size) {}
  ~FileBytes() override { ::close(fd_); }
  int64_t Size() const noexcept override { return size_; }
  bool Read(int64_t offset, void* dst, size_t n) const noexcept override {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(n) > size_ - offset) return false;
    auto* p = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < n) {
      const ssize_t r =
          ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      done += static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_;
  int64_t size_;
};

class MemoryBytes final : public SF2Bytes {
 public:
  explicit MemoryBytes(std::vector<uint8_t> b) : bytes_(std::move(b)) {}
  int64_t Size() const noexcept override { return static_cast<int64_t>(bytes_.size()); }
  bool Read(int64_t offset, void* dst, size_t n) const noexcept override {
    if (offset < 0 || offset > Size() || static_cast<int64_t>(n) > Size() - offset) return false;
    if (n) std::memcpy(dst, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
};

uint32_t U32(const uint8_t* p) noexcept { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
int16_t I16(const uint8_t* p) noexcept { return static_cast<int16_t>(p[0] | (p[1] << 8)); }
bool Is(const uint8_t* p, const char* id) noexcept { return std::memcmp(p, id, 4) == 0; }

std::string Name20(const uint8_t* p) {
  size_t n = 0;
  while (n < 20 && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Generator numbers of the bank format that the import reads.
enum Gen : int {
  kStartOffset = 0,
  kEndOffset = 1,
  kLoopStartOffset = 2,
  kLoopEndOffset = 3,
  kStartCoarse = 4,
  kFilterFc = 8,
  kFilterQ = 9,
  kEndCoarse = 12,
  kPan = 17,
  kDelayVol = 33,
  kAttackVol = 34,
  kHoldVol = 35,
  kDecayVol = 36,
  kSustainVol = 37,
  kReleaseVol = 38,
  kInstrument = 41,
  kKeyRange = 43,
  kVelRange = 44,
  kLoopStartCoarse = 45,
  kAttenuation = 48,
  kLoopEndCoarse = 50,
  kCoarseTune = 51,
  kFineTune = 52,
  kSampleId = 53,
  kSampleModes = 54,
  kExclusiveClass = 57,
  kRootKey = 58,
  kGenCount = 61,
};

// A zone's generator values; `set` tells which ones the zone (or its global
// zone) gave.
struct Zone {
  std::array<int32_t, kGenCount> v{};
  std::array<uint8_t, kGenCount> set{};
  void Put(int op, int16_t amount) noexcept {
    if (op < 0 || op >= kGenCount) return;
    v[static_cast<size_t>(op)] = amount;
    set[static_cast<size_t>(op)] = 1;
  }
  int32_t Get(int op, int32_t fallback) const noexcept {
    return set[static_cast<size_t>(op)] ? v[static_cast<size_t>(op)] : fallback;
  }
  std::array<int32_t, 4> Mapping() const noexcept {
    const int32_t k = Get(kKeyRange, 0x7F00), vr = Get(kVelRange, 0x7F00);
    return {k & 0xFF, (k >> 8) & 0xFF, vr & 0xFF, (vr >> 8) & 0xFF};
  }
};

float Seconds(int32_t timecents) noexcept {
  return static_cast<float>(std::exp2(std::clamp(timecents, -12000, 8000) / 1200.0));
}

}  // namespace

std::unique_ptr<SF2Bytes> SF2FileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FileBytes>(fd, static_cast<int64_t>(st.st_size));
}

std::unique_ptr<SF2Bytes> SF2MemoryBytes(std::vector<uint8_t> bytes) {
  return std::make_unique<MemoryBytes>(std::move(bytes));
}

// ---------------------------------------------------------------- parsing

bool TSF2::Fail(const char* text) {
  error = text;
  presets.clear();
  presetBags.clear();
  presetMods.clear();
  presetGens.clear();
  instruments.clear();
  instrumentBags.clear();
  instrumentMods.clear();
  instrumentGens.clear();
  sampleHeaders.clear();
  sampleDataOffset = -1;
  ShowNotice(text);
  return false;
}

bool TSF2::Open(const std::string& path) {
  fileName = path;
  auto b = SF2FileBytes(path);
  if (!b) return Fail("Not a RIFF file");
  return Parse(std::move(b));
}

bool TSF2::Parse(std::unique_ptr<SF2Bytes> bytes) {
  bytes_ = std::move(bytes);
  error.clear();
  const SF2Bytes& in = *bytes_;
  const int64_t fileSize = in.Size();
  uint8_t h[12];
  if (!in.Read(0, h, 12) || !Is(h, "RIFF")) return Fail("Not a RIFF file");
  if (!Is(h + 8, "sfbk")) return Fail("sfbk expected");
  // A RIFF size beyond the file means the file was cut short: the lists it
  // promises must still all be there, or the read fails below.
  const int64_t riffEnd = 8 + static_cast<int64_t>(U32(h + 4));
  int64_t pos = 12;
  while (pos < riffEnd) {
    uint8_t ch[12];
    if (!in.Read(pos, ch, 12) || !Is(ch, "LIST")) return Fail("LIST expected");
    const int64_t size = U32(ch + 4);
    const int64_t listEnd = pos + 8 + size;
    if (size < 4) return Fail("LIST expected");
    const int64_t body = pos + 12;
    if (Is(ch + 8, "INFO")) {
      for (int64_t sub = body; sub + 8 <= listEnd;) {
        uint8_t sh[8];
        if (!in.Read(sub, sh, 8)) return Fail("LIST expected");
        const int64_t n = U32(sh + 4);
        if (Is(sh, "ifil") || Is(sh, "iver")) {
          uint8_t v[4] = {};
          if (!in.Read(sub + 8, v, 4)) return Fail("LIST expected");
          if (Is(sh, "ifil")) versionMajor = I16(v), versionMinor = I16(v + 2);
        } else {
          std::string* target = Is(sh, "isng")   ? &engine
                                : Is(sh, "INAM") ? &name
                                : Is(sh, "irom") ? &rom
                                : Is(sh, "ICRD") ? &date
                                : Is(sh, "IENG") ? &engineers
                                : Is(sh, "IPRD") ? &product
                                : Is(sh, "ICOP") ? &copyright
                                : Is(sh, "ISFT") ? &software
                                                 : nullptr;
          if (target) {
            // A zero-terminated text of at most 256 characters.
            char text[257] = {};
            const int64_t take = std::clamp<int64_t>(std::min<int64_t>(n, listEnd - sub - 8), 0, 256);
            if (!in.Read(sub + 8, text, static_cast<size_t>(take))) return Fail("LIST expected");
            *target = std::string(text, strnlen(text, static_cast<size_t>(take)));
          }
        }
        // Texts and other chunks are padded to an even length.
        sub += 8 + n + (n & 1);
      }
    } else if (Is(ch + 8, "sdta")) {
      sampleDataOffset = body + 8;
      uint8_t sh[8];
      if (body + 8 <= listEnd && in.Read(body, sh, 8) && Is(sh, "smpl")) {
        sampleDataBytes = std::min<int64_t>(U32(sh + 4), std::max<int64_t>(0, fileSize - sampleDataOffset));
      } else {
        sampleDataBytes = 0;
      }
    } else if (Is(ch + 8, "pdta")) {
      for (int64_t sub = body; sub + 8 <= listEnd;) {
        uint8_t sh[8];
        if (!in.Read(sub, sh, 8)) return Fail("Invalid sub-chunk in pdta");
        const int64_t n = U32(sh + 4);
        const int64_t data = sub + 8;
        if (data + n > fileSize) return Fail("Invalid sub-chunk in pdta");
        auto records = [&](int recSize, auto&& put) -> bool {
          const int64_t count = n / recSize;
          // The records are all read before any is kept, so a count is never
          // trusted beyond the bytes present.
          std::vector<uint8_t> raw(static_cast<size_t>(count * recSize));
          if (!raw.empty() && !in.Read(data, raw.data(), raw.size())) return false;
          for (int64_t i = 0; i < count; ++i) put(raw.data() + i * recSize);
          return true;
        };
        bool ok = true;
        if (Is(sh, "phdr")) {
          presets.clear();
          ok = records(38, [&](const uint8_t* r) {
            presets.push_back(TSF2Preset{Name20(r), I16(r + 20), I16(r + 22), I16(r + 24),
                                         static_cast<int32_t>(U32(r + 26)), static_cast<int32_t>(U32(r + 30)),
                                         static_cast<int32_t>(U32(r + 34))});
          });
        } else if (Is(sh, "pbag")) {
          presetBags.clear();
          ok = records(4, [&](const uint8_t* r) { presetBags.push_back(TPresetBag{I16(r), I16(r + 2)}); });
        } else if (Is(sh, "pmod")) {
          presetMods.clear();
          ok = records(10, [&](const uint8_t* r) {
            TPresetMod m;
            for (int k = 0; k < 5; ++k) m.v[k] = I16(r + 2 * k);
            presetMods.push_back(m);
          });
        } else if (Is(sh, "pgen")) {
          presetGens.clear();
          ok = records(4, [&](const uint8_t* r) { presetGens.push_back(TPresetGen{I16(r), I16(r + 2)}); });
        } else if (Is(sh, "inst")) {
          instruments.clear();
          ok = records(22, [&](const uint8_t* r) {
            instruments.push_back(TSF2Instrument{Name20(r), I16(r + 20)});
          });
        } else if (Is(sh, "ibag")) {
          instrumentBags.clear();
          ok = records(4, [&](const uint8_t* r) {
            instrumentBags.push_back(TInstrumentBag{static_cast<int32_t>(U32(r))});
          });
        } else if (Is(sh, "imod")) {
          instrumentMods.clear();
          ok = records(10, [&](const uint8_t* r) {
            TInstrumentMod m;
            for (int k = 0; k < 5; ++k) m.v[k] = I16(r + 2 * k);
            instrumentMods.push_back(m);
          });
        } else if (Is(sh, "igen")) {
          instrumentGens.clear();
          ok = records(4, [&](const uint8_t* r) {
            instrumentGens.push_back(TInstrumentGen{static_cast<int32_t>(U32(r))});
          });
        } else if (Is(sh, "shdr")) {
          sampleHeaders.clear();
          ok = records(46, [&](const uint8_t* r) {
            TSfSample smp;
            smp.name = Name20(r);
            smp.start = static_cast<int32_t>(U32(r + 20));
            smp.end = static_cast<int32_t>(U32(r + 24));
            smp.loopStart = static_cast<int32_t>(U32(r + 28));
            smp.loopEnd = static_cast<int32_t>(U32(r + 32));
            smp.rate = static_cast<int32_t>(U32(r + 36));
            smp.unityKey = r[40];
            smp.pitchCorrection = static_cast<int8_t>(r[41]);
            smp.link = I16(r + 42);
            smp.type = I16(r + 44);
            sampleHeaders.push_back(std::move(smp));
          });
        } else {
          return Fail("Invalid sub-chunk in pdta");
        }
        if (!ok) return Fail("Invalid sub-chunk in pdta");
        sub = data + n + (n & 1);
      }
    }
    // Lists are padded to an even length; the next one starts behind it.
    pos = listEnd + (size & 1);
    if (pos > fileSize && pos < riffEnd) return Fail("LIST expected");
  }
  return true;
}

// ---------------------------------------------------------------- import

int SF2Importer::SampleIndex(int sf) {
  if (sf < 0 || sf >= sf2_.SampleCount()) return -1;
  if (sampleMap_.size() != sf2_.sampleHeaders.size()) sampleMap_.assign(sf2_.sampleHeaders.size(), -2);
  int& known = sampleMap_[static_cast<size_t>(sf)];
  if (known != -2) return known;
  known = -1;
  const TSfSample& h = sf2_.sampleHeaders[static_cast<size_t>(sf)];
  // ROM samples (type bit 0x8000) live in a device, not in the file.
  if (h.type < 1 || h.type > 8) return -1;
  const SF2Bytes* in = sf2_.Bytes();
  const int64_t frames = int64_t{h.end} - h.start;
  if (!in || sf2_.sampleDataOffset < 0 || h.start < 0 || frames <= 0 ||
      int64_t{h.end} * 2 > sf2_.sampleDataBytes || frames > (int64_t{1} << 28))
    return -1;
  auto smp = std::make_unique<CSample>();
  if (!smp->Allocate(static_cast<int32_t>(frames), 16, 1)) return -1;
  // The frames stay 16-bit as in the file, behind the front guard frame.
  if (!in->Read(sf2_.sampleDataOffset + int64_t{h.start} * 2, smp->FrameData() + 2,
                static_cast<size_t>(frames) * 2))
    return -1;
  smp->formatTag = 1;
  smp->rate = h.rate > 0 ? static_cast<float>(h.rate) : 44100.0f;
  smp->start = 1;
  smp->end = static_cast<int32_t>(frames);
  smp->loopStart = 1;
  smp->fileName = h.name;
  smp->displayName = h.name;
  smp->rootKey = h.unityKey <= 127 ? h.unityKey : 60;
  smp->open = 1;
  smp->BuildPeaks();
  known = sampler_.AddSample(std::move(smp));
  return known;
}

CSound* SF2Importer::ImportSample(int index) {
  const int s = SampleIndex(index);
  if (s < 0) return nullptr;
  const TSfSample& h = sf2_.sampleHeaders[static_cast<size_t>(index)];
  auto sound = std::make_unique<CSound>();
  sound->name = h.name;
  auto clip = std::make_unique<CClip>();
  const int32_t frames = sampler_.samples[static_cast<size_t>(s)]->frames;
  clip->sample = s;
  clip->rootKey = h.unityKey <= 127 ? h.unityKey : 60;
  clip->left = 1;
  clip->right = frames;
  clip->loopStart = h.loopStart - h.start + 1;
  clip->loopEnd = h.loopEnd - h.start;
  sound->Add(std::move(clip));
  sampler_.BeginEdit();
  sampler_.sounds.push_back(std::move(sound));
  CSound* out = sampler_.sounds.back().get();
  sampler_.EndEdit();
  return out;
}

void SF2Importer::FillInstrument(CSound& sound, int index, const int32_t* offsets) {
  const auto& inst = sf2_.instruments;
  const int bagFirst =
      std::max(0, static_cast<int>(static_cast<uint16_t>(inst[static_cast<size_t>(index)].bagIndex)));
  const int bagNext =
      std::min(static_cast<int>(static_cast<uint16_t>(inst[static_cast<size_t>(index) + 1].bagIndex)),
               static_cast<int>(sf2_.instrumentBags.size()) - 1);
  const float rate = sampler_.sampleRate > 0.0f ? sampler_.sampleRate : 44100.0f;
  Zone global;
  for (int b = bagFirst; b < bagNext; ++b) {
    const int g0 = sf2_.instrumentBags[static_cast<size_t>(b)].GenIndex();
    const int g1 = std::min<int>(sf2_.instrumentBags[static_cast<size_t>(b) + 1].GenIndex(),
                                 static_cast<int>(sf2_.instrumentGens.size()));
    Zone z = global;
    int lastOp = -1;
    budget_ -= std::max(1, g1 - g0);
    if (budget_ < 0) return;
    for (int g = g0; g < g1; ++g) {
      const TInstrumentGen& gen = sf2_.instrumentGens[static_cast<size_t>(g)];
      z.Put(gen.Op(), gen.Amount());
      lastOp = gen.Op();
    }
    if (lastOp != kSampleId) {
      // No sample: its values are the defaults of the zones after it.
      if (b == bagFirst) global = z;
      continue;
    }
    const int sf = static_cast<uint16_t>(z.Get(kSampleId, 0));
    if (sf >= sf2_.SampleCount()) continue;
    const TSfSample& h = sf2_.sampleHeaders[static_cast<size_t>(sf)];
    const int s = SampleIndex(sf);
    if (s < 0) continue;
    const int32_t frames = sampler_.samples[static_cast<size_t>(s)]->frames;
    auto add = [&](int op) { return offsets ? offsets[op] : 0; };
    auto clip = std::make_unique<CClip>();
    clip->sample = s;
    const int32_t coarseTune = z.Get(kCoarseTune, 0) + add(kCoarseTune);
    const int32_t root = z.Get(kRootKey, -1) >= 0 && z.Get(kRootKey, -1) <= 127 ? z.Get(kRootKey, -1)
                         : h.unityKey <= 127                                    ? h.unityKey
                                                                                : 60;
    clip->rootKey = root - coarseTune;
    // The sample's own correction keeps it in tune at its unity key.
    clip->fine = static_cast<float>(z.Get(kFineTune, 0) + add(kFineTune) + h.pitchCorrection) * 0.01f;
    clip->pan = std::clamp(static_cast<float>(z.Get(kPan, 0) + add(kPan)) * 0.002f, -1.0f, 1.0f);
    clip->mapping = z.Mapping();
    const int32_t startOffset = z.Get(kStartOffset, 0) + z.Get(kStartCoarse, 0) * 32768;
    clip->left = std::clamp(startOffset + 1, 1, frames);
    clip->right = frames;
    clip->loopStart =
        h.loopStart - h.start + z.Get(kLoopStartOffset, 0) + z.Get(kLoopStartCoarse, 0) * 32768 + 1;
    const int32_t mode = z.Get(kSampleModes, 0) & 3;
    if (mode == 1 || mode == 3) {
      clip->loop = CClip::kLoopForward;
      clip->loopEnd = h.loopEnd - h.start + z.Get(kLoopEndOffset, 0) + z.Get(kLoopEndCoarse, 0) * 32768;
    } else {
      clip->loop = CClip::kLoopOff;
      clip->loopEnd = clip->right;
    }
    // Banks are voiced for the common reading of this generator: 0.4 of a
    // nominal centibel per unit.
    const int32_t atten = std::clamp(z.Get(kAttenuation, 0) + add(kAttenuation), 0, 1440);
    clip->volume = std::pow(10.0f, -0.4f * static_cast<float>(atten) / 200.0f);
    const int32_t sustainCb = std::clamp(z.Get(kSustainVol, 0) + add(kSustainVol), 0, 1440);
    auto t = [&](int op) { return Seconds(z.Get(op, -12000) + add(op)); };
    clip->volEnv.sustain = 3;
    clip->volEnv.v = {
        t(kDelayVol),   0.0f, t(kAttackVol), 1.0f,
        t(kHoldVol),    1.0f, t(kDecayVol),  std::pow(10.0f, -static_cast<float>(sustainCb) / 200.0f),
        t(kReleaseVol), 0.0f};
    const int32_t fc = std::clamp(z.Get(kFilterFc, 13500) + add(kFilterFc), 1500, 13500);
    const double hz = 8.176 * std::exp2(fc / 1200.0);
    const double f = 2.0 * std::sin(M_PI * std::min(hz / rate, 0.25));
    // The state-variable filter reaches a sixth of the rate at most; a bank
    // cutoff above that is better served by no filter than by a duller one.
    if (fc < 13500 && f < 1.0) {
      clip->filterMode = CClip::kFilterLowBand;
      clip->cutoff = static_cast<float>(std::sqrt(std::min(f, 1.0)));
      const int32_t qcb = std::clamp(z.Get(kFilterQ, 0) + add(kFilterQ), 0, 960);
      clip->q = std::clamp(1.0f - std::pow(10.0f, -static_cast<float>(qcb) / 200.0f), 0.0f, 0.9f);
    }
    // What a player of such banks does by default: velocity and the channel's
    // volume and expression controllers on a square law, the pan controller
    // across the whole field.
    clip->exclusiveClass = std::clamp(z.Get(kExclusiveClass, 0), 0, 127);
    clip->routings.push_back(CMod{ModSourceKind::kVelocity, 0, kDestVolume, 1.0f, 1.0f});
    clip->routings.push_back(CMod{ModSourceKind::kCC, 7, kDestVolume, 1.0f, 1.0f});
    clip->routings.push_back(CMod{ModSourceKind::kCC, 11, kDestVolume, 1.0f, 1.0f});
    clip->routings.push_back(CMod{ModSourceKind::kCC, 10, kDestPan, 2.0f, 64.0f / 127.0f});
    sound.Add(std::move(clip));
  }
}

CSound* SF2Importer::ImportInstrument(int index) {
  if (index < 0 || index >= sf2_.InstrumentCount()) return nullptr;
  auto sound = std::make_unique<CSound>();
  sound->name = sf2_.instruments[static_cast<size_t>(index)].name;
  sound->exp = 0;
  sound->volume = 0.2f;
  FillInstrument(*sound, index, nullptr);
  sampler_.BeginEdit();
  sampler_.sounds.push_back(std::move(sound));
  CSound* out = sampler_.sounds.back().get();
  sampler_.selectedSource = 0;
  for (CSource* s : sampler_.SourcesInOrder()) {
    if (s == out) break;
    ++sampler_.selectedSource;
  }
  sampler_.EndEdit();
  return out;
}

CSound* SF2Importer::ImportPreset(int index) {
  if (index < 0 || index >= sf2_.PresetCount()) return nullptr;
  const auto& ph = sf2_.presets;
  auto sound = std::make_unique<CSound>();
  sound->name = ph[static_cast<size_t>(index)].name;
  const int bagFirst = static_cast<uint16_t>(ph[static_cast<size_t>(index)].bagIndex);
  const int bagNext =
      std::min(static_cast<int>(static_cast<uint16_t>(ph[static_cast<size_t>(index) + 1].bagIndex)),
               static_cast<int>(sf2_.presetBags.size()) - 1);
  Zone global;
  for (int b = bagFirst; b < bagNext; ++b) {
    const int g0 = static_cast<uint16_t>(sf2_.presetBags[static_cast<size_t>(b)].genIndex);
    const int g1 = std::min<int>(static_cast<uint16_t>(sf2_.presetBags[static_cast<size_t>(b) + 1].genIndex),
                                 static_cast<int>(sf2_.presetGens.size()));
    Zone z = global;
    int lastOp = -1;
    budget_ -= std::max(1, g1 - g0);
    if (budget_ < 0) break;
    for (int g = g0; g < g1; ++g) {
      const TPresetGen& gen = sf2_.presetGens[static_cast<size_t>(g)];
      z.Put(static_cast<uint16_t>(gen.op), gen.amount);
      lastOp = static_cast<uint16_t>(gen.op);
    }
    if (lastOp != kInstrument) {
      if (b == bagFirst) global = z;
      continue;
    }
    const int inst = static_cast<uint16_t>(z.Get(kInstrument, 0));
    if (inst >= sf2_.InstrumentCount()) continue;
    // Preset zones add to the instrument's values for what the import maps.
    std::array<int32_t, kGenCount> offsets{};
    for (int op : {kPan, kDelayVol, kAttackVol, kHoldVol, kDecayVol, kSustainVol, kReleaseVol, kAttenuation,
                   kCoarseTune, kFineTune, kFilterFc, kFilterQ})
      offsets[static_cast<size_t>(op)] = z.Get(op, 0);
    auto sub = std::make_unique<CSound>();
    sub->name = sf2_.instruments[static_cast<size_t>(inst)].name;
    sub->exp = 0;
    sub->volume = 0.2f;
    sub->mapping = z.Mapping();
    FillInstrument(*sub, inst, offsets.data());
    sound->Add(std::move(sub));
  }
  sampler_.BeginEdit();
  sampler_.sounds.push_back(std::move(sound));
  CSound* out = sampler_.sounds.back().get();
  sampler_.EndEdit();
  return out;
}

bool SF2Importer::ImportGeneralMidiBank() {
  const int n = sf2_.PresetCount();
  if (n <= 0) return false;
  const int first = static_cast<int>(sampler_.sounds.size());
  std::array<int, 128> melodic, drums;
  melodic.fill(-1);
  drums.fill(-1);
  for (int i = 0; i < n; ++i) {
    if (!ImportPreset(i)) continue;
    const TSF2Preset& p = sf2_.presets[static_cast<size_t>(i)];
    const int sound = first + i;
    if (p.preset < 0 || p.preset > 127) continue;
    if (p.bank == 0 && melodic[static_cast<size_t>(p.preset)] < 0)
      melodic[static_cast<size_t>(p.preset)] = sound;
    if (p.bank == 128 && drums[static_cast<size_t>(p.preset)] < 0)
      drums[static_cast<size_t>(p.preset)] = sound;
  }
  // A missing program borrows the nearest lower one (and, below the first,
  // the first there is), so every program change lands on something.
  auto fill = [](std::array<int, 128>& a) {
    int last = -1;
    for (int v : a)
      if (v >= 0) {
        last = v;
        break;
      }
    for (int& v : a) {
      if (v < 0) v = last;
      last = v;
    }
  };
  fill(melodic);
  const int kit0 = drums[0];
  for (int& d : drums)
    if (d < 0) d = kit0;
  sampler_.BeginEdit();
  sampler_.multimode = 1;
  for (int p = 0; p < 128; ++p) {
    auto preset = std::make_unique<Preset>();
    const int m = melodic[static_cast<size_t>(p)];
    const int d = drums[static_cast<size_t>(p)];
    preset->name =
        m >= 0 ? sampler_.sounds[static_cast<size_t>(m)]->name : std::string("Program ") + std::to_string(p);
    for (int ch = 1; ch <= 16; ++ch) {
      const int sound = ch == 10 ? d : m;
      if (sound >= 0) preset->entries.push_back(PresetEntry{sound, 1, ch});
    }
    sampler_.bank[static_cast<size_t>(p)] = std::move(preset);
  }
  sampler_.EndEdit();
  return true;
}

}  // namespace qr
