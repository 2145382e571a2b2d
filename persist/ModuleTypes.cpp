#include "graph/ModuleTypes.h"

#include "audio/AudioPart.h"
#include "graph/Container.h"
#include "midifx/Arp.h"
#include "midifx/Chords.h"
#include "midifx/Envelope.h"
#include "midifx/Groove.h"
#include "midifx/MidiPatcher.h"
#include "midipart/MidiPart2.h"
#include "mixer/Delay.h"
#include "mixer/Eq.h"
#include "mixer/Mixer.h"
#include "sampler/Sampler.h"
#include "vsthost/VST.h"
// The sequencer.
#include "sequencer/Tracks.h"

// One include and one table row per module class; each module's own work adds
// its row when the class exists. Keys without a row load as CUnknown.

namespace qr {
namespace {

template <typename T>
std::unique_ptr<CComp> Make(CContainer* parent) {
  return std::make_unique<T>(parent);
}

struct TypeRow {
  std::string_view key;
  std::unique_ptr<CComp> (*make)(CContainer*);
};

constexpr TypeRow kTypes[] = {
    {"CVST", Make<CVST>},
    {"CArp", Make<CArp>},
    {"CChords", Make<CChords>},
    {"CMPatcher", Make<CMidiPatcher>},
    {"CMIDIChs", Make<CMIDIChs>},
    {"CMixer", Make<CMixer>},
    {"CAPart", Make<CAudioPart2>},
    {"CMPart", Make<CMIDIPart2>},
    {"CEnv", Make<CEnvelope>},
    {"CTracks", Make<CTracks>},
    {"CSampler", Make<CSampler>},
    {"CDelay", Make<CDelay>},
    {"Ceq", Make<CEq>},
    {"CGroove", Make<CGroove>},
    {"", nullptr},
};

}  // namespace

std::unique_ptr<CComp> CreateModule(std::string_view type_key, CContainer* parent) {
  for (const auto& row : kTypes)
    if (row.make && row.key == type_key) return row.make(parent);
  return nullptr;
}

void InstallModuleTypes() noexcept { SetModuleFactory(&CreateModule); }

}  // namespace qr
