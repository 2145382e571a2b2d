#pragma once
// The few process-wide values that every module reads.
#include <atomic>

namespace qr {

enum RunMode : int { kRunInstrument = 0, kRunEffect = 1, kRunStandalone = 2 };

// Fixed when the library starts; the plug-in start-up selects the effect mode.
inline std::atomic<int> g_runMode{kRunEffect};
// round(sample rate x 0.001), set whenever the host tells the sample rate; the
// 7 ms volume and pan ramps are 7 of these.
inline std::atomic<int> g_samplesPerMs{44};

}  // namespace qr
