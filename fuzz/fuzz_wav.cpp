// WAV files are untrusted input. The bytes are opened as a RAM sample and as a
// disk sample (through a file), rendered at a few steps and phases, described,
// and carried through the sample records; the same bytes are also read as a
// block of sample records. Both kinds must agree on what they render.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/Sample.h"
#include "audio/WavFile.h"
#include "fuzz/FuzzSupport.h"
#include "stream/RecordStream.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

const std::string& ScratchFile() {
  static const std::string path = [] {
    std::string p = "/tmp/qr_fuzz_wav_XXXXXX";
    const int fd = ::mkstemp(p.data());
    if (fd >= 0) ::close(fd);
    std::atexit([] { ::unlink(ScratchFile().c_str()); });
    return p;
  }();
  return path;
}

void Render(qr::CSample& s, std::vector<uint8_t>& scratch, float* l, float* r, double step, double phase) {
  s.ReadFrames(700, l, scratch.data(), 0.0f, 1.0f, step, phase, r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qr::fuzz::SilenceMessages();
  const std::string& path = ScratchFile();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }

  qr::CSample ram;
  qr::CDiskSample disk;
  const bool ram_ok = ram.OpenFile(path);
  const bool disk_ok = disk.OpenFile(path);
  qr::DescribeWav(path);
  // The disk kind stops at the first "data" chunk, the RAM kind takes the last;
  // when they took the same one they hold the same frames.
  const bool same = ram_ok && disk_ok && ram.dataOffset == disk.dataOffset && ram.bits == disk.bits &&
                    ram.channels == disk.channels && ram.formatTag == disk.formatTag;
  Check(!same || ram.frames == disk.frames);

  std::vector<uint8_t> scratch(qr::kStreamScratchBytes);
  std::vector<float> l(700), r(700), dl(700), dr(700);
  for (double step : {1.0, 0.37, 3.9}) {
    for (double phase : {1.0, 2.5, static_cast<double>(ram.end) - 10.25}) {
      if (ram_ok) Render(ram, scratch, l.data(), r.data(), step, phase);
      if (disk_ok) Render(disk, scratch, dl.data(), dr.data(), step, phase);
      if (same && ram.end == disk.end && phase >= 1.0 && phase + 699 * step <= ram.end)
        for (size_t i = 0; i < 700; ++i)
          Check((l[i] == dl[i] || l[i] != l[i]) && (r[i] == dr[i] || r[i] != r[i]));
    }
  }

  // The sample records of either kind load back to the same frames.
  for (qr::CSample* s : {static_cast<qr::CSample*>(&ram), static_cast<qr::CSample*>(&disk)}) {
    qr::CMemStream out;
    const int32_t n = s->SaveRecords(out);
    qr::CSample back;
    out.Rewind();
    back.LoadRecords(out, n);
    if (s->open && s == &ram) Check(back.data == ram.data);
  }

  // The same bytes as an embedded block of sample records.
  qr::CMemStream in(data, size);
  qr::CSample rec;
  rec.LoadRecords(in, static_cast<int32_t>(size));
  // Whatever order the header records came in, the frames have its shape.
  Check(!rec.open || rec.HoldsFramesOfHeader());
  Check(rec.peaks.empty() || rec.peaks[8] == rec.channels);
  if (rec.open) Render(rec, scratch, l.data(), r.data(), 0.61, 1.3);
  return 0;
}
