#pragma once
// Fixed capacities of the module graph, sized once and named after what they bound.

namespace qr::limits {

inline constexpr int kQueueEvents = 512;     // events of one MIDI queue per block
inline constexpr int kMaxChannels = 64;      // audio channels of one module, per direction
inline constexpr int kMidiPorts = 16;        // per-port MIDI queues of the master input
inline constexpr int kPendingActions = 128;  // structural edits waiting for the next block
inline constexpr int kStallIdleCalls = 30;   // idle calls without audio before the UI runs actions
inline constexpr int kMaxLatency = 1 << 22;  // samples of delay compensation we agree to allocate
// Frames of one block. Hosts ask for a few thousand; the bound keeps a hostile
// or mistaken size from reserving gigabytes per channel before it can fail.
inline constexpr int kMaxBlockFrames = 1 << 20;

}  // namespace qr::limits
