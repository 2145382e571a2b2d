// A VST 2 plug-in built only for the tests: it logs what its host tells it,
// passes audio through, marks every note-on with a 1.0 at its sample, and
// sends its note-ons back to the host.
#include "tests/vsthost/probe/Probe.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Vst2.h"

using namespace vst2;

namespace {

probe::Config g_config;
probe::Log g_log;
struct Probe;
// A record handed out with the wrong magic is never closed by a careful host;
// the library frees it when it is unloaded.
std::unique_ptr<Probe> g_refused;

constexpr int kParams = 4;
constexpr int kPrograms = 3;

struct Program {
  char name[25] = {};
  float params[kParams] = {};
};

struct Probe {
  AEffect effect{};
  HostCallback host = nullptr;
  Program programs[kPrograms];
  int32_t current = 0;
  std::vector<uint8_t> chunk;
  VstMidiEvent echo[64] = {};
  VstEventsN<64> echoList;
  int32_t pending[64] = {};  // note-on deltas of the events of this block
  int32_t pendingCount = 0;
};

void Note(int32_t op, int32_t a, int32_t b) {
  if (g_log.count < probe::Log::kMax) g_log.entries[g_log.count++] = {op, a, b};
}

Probe* Of(AEffect* e) { return static_cast<Probe*>(e->object); }

intptr_t Dispatcher(AEffect* e, int32_t op, int32_t index, intptr_t value, void* ptr, float opt) {
  Probe* p = Of(e);
  switch (op) {
    case effOpen:
      ++g_log.opens;
      return 0;
    case effClose:
      ++g_log.closes;
      delete p;
      return 1;
    case effSetProgram:
      if (value >= 0 && value < kPrograms) p->current = static_cast<int32_t>(value);
      return 0;
    case effGetProgram:
      return p->current;
    case effSetProgramName:
      std::strncpy(p->programs[p->current].name, static_cast<char*>(ptr), 24);
      return 0;
    case effGetProgramName:
      std::strcpy(static_cast<char*>(ptr), p->programs[p->current].name);
      return 0;
    case effGetProgramNameIndexed:
      if (index < 0 || index >= kPrograms) return 0;
      std::strcpy(static_cast<char*>(ptr), p->programs[index].name);
      return 1;
    case effGetEffectName:
      std::strcpy(static_cast<char*>(ptr), "Probe");
      return 1;
    case effMainsChanged:
      Note(probe::kMains, static_cast<int32_t>(value), 0);
      return 0;
    case effCanDo:
      return std::strcmp(static_cast<char*>(ptr), "sendVstMidiEvent") == 0 ? 1 : 0;
    case effGetInputProperties:
    case effGetOutputProperties: {
      auto* pin = static_cast<VstPinProperties*>(ptr);
      std::memset(pin, 0, sizeof *pin);
      pin->flags = kVstPinIsActive | (g_config.stereoPins ? kVstPinIsStereo : 0);
      return 1;
    }
    case effProcessEvents: {
      const auto* list = static_cast<const VstEvents*>(ptr);
      Note(probe::kEventsCall, list->numEvents, 0);
      for (int i = 0; i < list->numEvents; ++i) {
        const auto* m = reinterpret_cast<const VstMidiEvent*>(list->events[i]);
        const int32_t msg = static_cast<uint8_t>(m->midiData[0]) |
                            (static_cast<uint8_t>(m->midiData[1]) << 8) |
                            (static_cast<uint8_t>(m->midiData[2]) << 16);
        Note(probe::kEvent, msg, m->deltaFrames);
        if ((msg & 0xF0) == 0x90 && (msg >> 16) > 0 && p->pendingCount < 64)
          p->pending[p->pendingCount++] = m->deltaFrames;
      }
      return 1;
    }
    case effGetChunk: {
      // A bank chunk holds every program; a program chunk only the current one.
      p->chunk.clear();
      const int from = index ? p->current : 0, to = index ? p->current + 1 : kPrograms;
      for (int i = from; i < to; ++i) {
        const auto* b = reinterpret_cast<const uint8_t*>(&p->programs[i]);
        p->chunk.insert(p->chunk.end(), b, b + sizeof(Program));
      }
      *static_cast<void**>(ptr) = p->chunk.data();
      return static_cast<intptr_t>(p->chunk.size());
    }
    case effSetChunk: {
      const size_t n = static_cast<size_t>(value) / sizeof(Program);
      const int from = index ? p->current : 0;
      for (size_t i = 0; i < n && from + static_cast<int>(i) < kPrograms; ++i)
        std::memcpy(&p->programs[from + static_cast<int>(i)],
                    static_cast<uint8_t*>(ptr) + i * sizeof(Program), sizeof(Program));
      return 0;
    }
    case effVendorSpecific:
      if (index == probe::kChangeInputs) {
        e->numInputs = static_cast<int32_t>(value);
        p->host(e, audioMasterIOChanged, 0, 0, nullptr, 0.0f);
        return 1;
      }
      return 0;
    default:
      (void)opt;
      return 0;
  }
}

void SetParameter(AEffect* e, int32_t index, float v) {
  if (index < 0 || index >= kParams) return;
  Of(e)->programs[Of(e)->current].params[index] = v;
  Note(probe::kParam, index, static_cast<int32_t>(std::lround(v * 1000.0f)));
}

float GetParameter(AEffect* e, int32_t index) {
  return index >= 0 && index < kParams ? Of(e)->programs[Of(e)->current].params[index] : 0.0f;
}

void ProcessReplacing(AEffect* e, float** in, float** out, int32_t frames) {
  Probe* p = Of(e);
  Note(probe::kProcess, frames, 0);
  if (const auto* t = reinterpret_cast<const VstTimeInfo*>(p->host(
          e, audioMasterGetTime, 0, kVstPpqPosValid | kVstTempoValid | kVstBarsValid, nullptr, 0.0f))) {
    g_log.lastTempo = t->tempo;
    g_log.lastPpq = t->ppqPos;
    g_log.lastSamplePos = t->samplePos;
    g_log.lastTimeFlags = t->flags;
  }
  for (int c = 0; c < e->numOutputs; ++c)
    for (int i = 0; i < frames; ++i) out[c][i] = c < e->numInputs ? in[c][i] : 0.0f;
  int echoed = 0;
  for (int k = 0; k < p->pendingCount; ++k) {
    const int d = p->pending[k];
    if (d >= 0 && d < frames)
      for (int c = 0; c < e->numOutputs; ++c) out[c][d] += 1.0f;
    VstMidiEvent& m = p->echo[echoed];
    m = VstMidiEvent{};
    m.type = kVstMidiType;
    m.byteSize = sizeof m;
    m.deltaFrames = d;
    m.midiData[0] = static_cast<char>(0x90);
    m.midiData[1] = 60;
    m.midiData[2] = 100;
    p->echoList.events[echoed] = reinterpret_cast<VstEvent*>(&m);
    ++echoed;
  }
  p->pendingCount = 0;
  if (echoed) {
    p->echoList.numEvents = echoed;
    p->host(e, audioMasterProcessEvents, 0, 0, p->echoList.AsEvents(), 0.0f);
  }
  if (g_config.badSamples && frames > 0 && e->numOutputs > 0) out[0][frames / 2] = std::nanf("");
}

AEffect* Create(HostCallback host) {
  if (host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
  if (g_config.entry == 1) return nullptr;
  auto* p = new Probe;
  p->host = host;
  for (int i = 0; i < kPrograms; ++i) {
    std::snprintf(p->programs[i].name, sizeof p->programs[i].name, "Program %d", i + 1);
    for (int k = 0; k < kParams; ++k) p->programs[i].params[k] = 0.1f * static_cast<float>(i + k);
  }
  AEffect& e = p->effect;
  e.magic = g_config.entry == 2 ? FourCC('N', 'o', 'p', 'e') : kEffectMagic;
  if (g_config.entry == 2) g_refused.reset(p);
  e.dispatcher = Dispatcher;
  e.setParameter = SetParameter;
  e.getParameter = GetParameter;
  e.processReplacing = ProcessReplacing;
  e.numPrograms = kPrograms;
  e.numParams = kParams;
  e.numInputs = g_config.inputs;
  e.numOutputs = g_config.outputs;
  e.flags = effFlagsCanReplacing | (g_config.synth ? effFlagsIsSynth : 0) |
            (g_config.chunks ? effFlagsProgramChunks : 0);
  e.initialDelay = g_config.latency;
  e.object = p;
  e.uniqueID = g_config.uniqueID;
  e.version = 3;
  return &e;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(HostCallback host) {
  return Create(host);
}
extern "C" __attribute__((visibility("default"))) void ProbeSetup(const probe::Config* c) {
  g_config = c ? *c : probe::Config{};
  g_log.count = 0;
  g_log.opens = g_log.closes = 0;
}
extern "C" __attribute__((visibility("default"))) probe::Log* ProbeLog() { return &g_log; }
