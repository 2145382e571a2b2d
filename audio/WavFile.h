#pragma once
// Reading the chunk structure of WAV files, shared by the RAM and disk samples
// and by the file description of `quillrow info`.
//
// WAV files are untrusted input: the scan reads only what the file holds (no
// length in the file makes it allocate or loop beyond the file's size) and
// reports why a file is refused.
#include <cstdint>
#include <string>

namespace qr {

enum class WavScanMode {
  Ram,   // the whole RIFF form; "smpl" loop points after "data" are read
  Disk,  // stops at "data"; loop chunks are not read
};

struct WavScan {
  bool ok = false;
  std::string error;  // why the file is refused, when !ok

  bool haveFormat = false;
  bool extensible = false;  // the format tag came from an extensible header's sub-format
  int32_t formatTag = 0;
  int32_t channels = 0;
  int32_t bits = 0;
  float rate = 0.0f;

  int64_t dataOffset = -1;  // byte position of the first frame
  int64_t dataBytes = 0;    // the chunk's size, cut to what the file holds
  int32_t frames = 0;

  // From a "smpl" chunk met after "data": the loop count, and the last loop
  // record's start and end frame (0-based, as the file stores them).
  bool haveSampler = false;
  int32_t loopCount = 0;
  bool haveLoopRecord = false;
  int32_t loopRecordStart = 0;
  int32_t loopRecordEnd = 0;

  int32_t badChunkSize = 0;  // a chunk size below 1 ended the scan (0: none did)
};

// Scans the open file `fd` of `file_size` bytes.
WavScan ScanWav(int fd, int64_t file_size, WavScanMode mode);

// Describes a WAV file as the system reads it: encoding, rate, channels, bits,
// frames and loop points, or the reason it is refused. Used by `quillrow info`.
std::string DescribeWav(const std::string& path);

// The 44-byte header of a WAV file written by the system.
void MakeWavHeader(uint8_t out[44], float rate, int32_t bits, int32_t channels, int64_t frames) noexcept;

}  // namespace qr
