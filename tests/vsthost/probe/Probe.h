#pragma once
// The probe plug-in the hosting tests load: a VST 2 library of ours whose
// shape the test sets before loading it and whose log the test reads after.
// The test opens the same library file first, so both share one copy.
#include <cstdint>

namespace probe {

struct Config {
  int32_t entry = 0;  // 0 a record, 1 null, 2 a record with the wrong magic
  int32_t inputs = 2, outputs = 2;
  int32_t stereoPins = 0;  // pin properties report stereo pairs
  int32_t synth = 0;
  int32_t chunks = 0;             // state travels as a chunk
  int32_t latency = 0;            // initialDelay
  int32_t badSamples = 0;         // every block carries a NaN
  int32_t uniqueID = 0x51725062;  // "QrPb"
};

enum Op : int32_t { kMains = 1, kEvent = 2, kProcess = 3, kParam = 4, kEventsCall = 5 };
struct Entry {
  int32_t op;
  int32_t a;  // mains value, event message, frames, parameter index
  int32_t b;  // event delta, parameter value x 1000
};

struct Log {
  static constexpr int kMax = 8192;
  Entry entries[kMax];
  int32_t count = 0;
  double lastTempo = 0.0, lastPpq = 0.0, lastSamplePos = 0.0;
  int32_t lastTimeFlags = 0;
  int32_t opens = 0, closes = 0;
};

// Exported by the probe library: C names, looked up with dlsym.
using SetupFn = void (*)(const Config*);
using LogFn = Log* (*)();

// Vendor-specific request (effVendorSpecific, index kChangeInputs, value n):
// the probe takes n inputs and tells its host through audioMasterIOChanged.
inline constexpr int32_t kChangeInputs = 0x51720001;

}  // namespace probe
