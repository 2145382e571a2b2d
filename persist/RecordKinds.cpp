// The record keys the text form decodes, with the kind of their values.
//
// Each module adds the keys it writes under its own type key, for example
//   {"CArp", "ArpRate", ValueKind::Int},
// A key listed with an empty type is decoded that way in every block, so list
// a module's keys under its type unless they truly mean the same everywhere.
// A wrong kind is harmless: a value that does not fit is shown as hex. The
// records of a nested sample block go under the type "Sample".
#include "persist/TextForm.h"

namespace qr {
namespace {

using K = ValueKind;

constexpr RecordKind kKinds[] = {
    // Every module block.
    {"", "CType", K::String},
    {"", "CEnd", K::Marker},
    {"", "Id", K::String},
    {"", "X", K::Int},
    {"", "Y", K::Int},
    {"", "Enabled", K::Int},
    {"", "CData", K::Pair},
    {"", "MixerStyle", K::Int},

    // Project level.
    {"", "panlaw", K::Int},
    {"", "Page", K::Marker},
    {"", "PageId", K::String},
    {"", "PageActiveWin", K::String},
    {"", "ELeft", K::Int},
    {"", "ETop", K::Int},
    {"", "EWith", K::Int},
    {"", "EHeight", K::Int},
    {"", "EOpen", K::Int},
    {"", "DockPage", K::Int},
    {"", "EMaximized", K::Int},
    {"", "ACable2", K::Ints},
    {"", "ACable", K::Ints},
    {"", "MCable", K::Ints},
    {"", "prccon", K::Int},
    {"", "prccv", K::Float},
    {"", "prccm", K::Int},
    {"", "prcct", K::String},
    {"", "MainLeft", K::Int},
    {"", "MainTop", K::Int},
    {"", "MainWidth", K::Int},
    {"", "MainHeight", K::Int},
    {"", "MainMaxed", K::Int},
    {"", "MainSB", K::Int},
    {"", "GMixer", K::Int},
    {"", "shInM", K::Int},
    {"", "shI", K::Int},
    {"", "shS", K::Int},
    {"", "FrontPage", K::Int},
    {"", "PDC", K::Int},

    // The root group.
    {"CGroup", "AudioIn", K::Marker},
    {"CGroup", "AudioInChs", K::Int},
    {"CGroup", "AInConf", K::Ints},
    {"CGroup", "Tempo", K::Float},
    {"CGroup", "ClickFile", K::String},
    {"CGroup", "ClickVol", K::Float},
    {"CGroup", "Sync", K::Int},

    // The master input.
    {"CMidiIn", "MIDIOutPorts", K::Int},
    {"CMidiIn", "AudioOut", K::Marker},
    {"CMidiIn", "AudioOutChs", K::Int},

    // The mixer, the delay and the equaliser.
    {"CMixer", "Sends", K::Int},
    {"CMixer", "Ch", K::Marker},
    {"CMixer", "ChVol", K::Float},
    {"CMixer", "ChVolCC", K::Int},
    {"CMixer", "ChPan", K::Float},
    {"CMixer", "ChPanCC", K::Int},
    {"CMixer", "ChMute", K::Int},
    {"CMixer", "ChSolo", K::Int},
    {"CMixer", "ChSend", K::Marker},
    {"CMixer", "ChSendLevel", K::Float},
    {"CMixer", "ChSendOn", K::Int},
    {"CMixer", "ChSendPre", K::Int},
    {"CMixer", "ChSendCC", K::Int},
    {"CDelay", "enabled", K::Int},
    {"CDelay", "wet", K::Float},
    {"CDelay", "fb", K::Float},
    {"CDelay", "d1", K::Int},
    {"CDelay", "d2", K::Int},
    {"Ceq", "band", K::Marker},
    {"Ceq", "mode", K::Int},
    {"Ceq", "freq", K::Float},
    {"Ceq", "gain", K::Float},
    {"Ceq", "bw", K::Float},

    // Nested blocks of other objects, read with the rows of the inner type.
    {"CTracks", "TrackGroove", K::Block, "CGroove"},
    {"CTracks", "clickWav", K::Block, "Sample"},
    {"CTracks", "TracksSmpmem", K::Block, "Sample"},
    {"CAPart", "sample", K::Block, "Sample"},
    {"CSampler", "sample", K::Block, "Sample"},

    // The arpeggiator's velocity range has always stated size 4 and carried 8 bytes.
    {"CArp", "PatVelRng", K::Ints, {}, 4},
    {"CArp", "Trigger", K::Int},
    {"CArp", "Mode", K::Int},
    {"CArp", "Pat", K::Marker},
    {"CArp", "PatName", K::String},
    {"CArp", "PatSteps", K::Int},
    {"CArp", "PatMChs", K::Ints},
    {"CArp", "PatKeyRng", K::Ints},
    {"CArp", "PatTransp", K::Int},
    {"CArp", "PatQ", K::Float},
    {"CArp", "PatTicks", K::Int},
    {"CArp", "PatCC", K::Int},

    {"CChords", "Mode", K::Int},

    {"CGroove", "Steps", K::Int},
    {"CGroove", "Q", K::Int},
    {"CGroove", "QLength", K::Int},
    {"CGroove", "Strength", K::Int},
    {"CGroove", "StrengthCC", K::Int},
    {"CGroove", "Offset", K::Int},
    {"CGroove", "Velo", K::Int},
    {"CGroove", "Gate", K::Int},
    {"CGroove", "Offsets", K::Ints},
    {"CGroove", "Velos", K::Ints},
    {"CGroove", "Gates", K::Ints},

    {"CMPatcher", "PortKeyRng", K::Ints},
    {"CMPatcher", "PortVelRng", K::Ints},
    {"CMPatcher", "PortTransp", K::Int},
    {"CMIDIChs", "MChsFilter", K::Ints},

    {"CEnv", "Mode", K::Int},
    {"CEnv", "CC", K::Int},
    {"CEnv", "Min", K::Int},
    {"CEnv", "Max", K::Int},
    {"CEnv", "Beats", K::Int},
    {"CEnv", "LP1", K::Int},
    {"CEnv", "LP2", K::Int},

    {"CMPart", "MPartPorts", K::Int},
    {"CMPart", "MThru", K::Int},
    {"CMPart", "MPart", K::Marker},
    {"CMPart", "MPartName", K::String},
    {"CMPart", "MPartTicks", K::Int},
    {"CMPart", "MPartKey", K::Int},
    {"CMPart", "MPartTrig", K::Int},
    {"CMPart", "MPartPlayGr", K::Int},
    {"CMPart", "MPartMuteGr", K::Int},
    {"CMPart", "MPartSync", K::Int},
    {"CMPart", "MPartFR", K::Int},
    {"CMPart", "MPartPort", K::Int},
    {"CMPart", "MPartMCh", K::Int},
    {"CMPart", "MPartLoopLeft", K::Int},
    {"CMPart", "MPartLoopRight", K::Int},
    {"CMPart", "MPartHNote", K::Int},
    {"CMPart", "MPartWBeat", K::Int},
    {"CMPart", "MPartMixerStyle", K::Int},
    {"CMPart", "MPartEvents", K::Events},
    {"CMPart", "MPEv", K::Marker},
    {"CMPart", "MPEvDt", K::Int},
    {"CMPart", "MPEvDa", K::Midi},
    {"CMPart", "MPEvSy", K::Int},
    {"CMPart", "MPEvLe", K::Int},

    {"CChords", "Chord", K::Marker},
    {"CChords", "ChordKey", K::Int},
    {"CChords", "ChordName", K::String},
    {"CChords", "ChordOff", K::Ints},
    {"CChords", "ChordF", K::Ints},
    {"CChords", "ChordPlay", K::Int},
    {"CChords", "ChordRight", K::Int},
    {"CChords", "ChordArp", K::Int},
    {"CChords", "ChordEvents", K::Events},

    {"CArp", "PatNote", K::Ints},
    {"CArp", "PatCCVal", K::Ints},
    {"CMPatcher", "Port", K::Marker},
    {"CEnv", "Env", K::Marker},
    {"CEnv", "Event", K::Marker},
    {"CEnv", "EventTime", K::Float},
    {"CEnv", "EventDelta", K::Int},
    {"CEnv", "EventValue", K::Float},

    {"CAPart", "APartSmp", K::Marker},
    {"CAPart", "APartPart", K::Marker},
    {"CAPart", "APartPartName", K::String},
    {"CAPart", "APartPartBeats", K::Int},
    {"CAPart", "APartPartTicks", K::Int},
    {"CAPart", "APartClip", K::Marker},
    {"CAPart", "APartClipSmp", K::Int},
    {"CAPart", "APartClipCh", K::Int},
    {"CAPart", "APartClipDelta", K::Int},
    {"CAPart", "APartClipStart", K::Int},
    {"CAPart", "APartClipFirst", K::Int},
    {"CAPart", "APartClipLast", K::Int},
    {"CAPart", "APartClipStyle", K::Int},
    {"CAPart", "APartClipFaIn", K::Int},
    {"CAPart", "APartClipFaOut", K::Int},
    {"CAPart", "APartClipCoarse", K::Int},
    {"CAPart", "APartClipFine", K::Float},
    {"CAPart", "APartClipVol", K::Float},
    {"CAPart", "APartClipPan", K::Float},
    {"CAPart", "APartClipVolRamp", K::Floats},  // position, value pairs
    {"CAPart", "APartCh", K::Marker},
    {"CAPart", "APartChBus", K::Int},
    {"CAPart", "APartChVol", K::Float},
    {"CAPart", "APartChPan", K::Float},
    {"CAPart", "APartChMute", K::Int},
    {"CAPart", "APartChSolo", K::Int},

    // An embedded sample: its header as fields, its frames as raw bytes.
    {"Sample", "id", K::String},
    {"Sample", "rate", K::Float},
    {"Sample", "bits", K::Int},
    {"Sample", "chs", K::Int},
    {"Sample", "frames", K::Int},
    {"Sample", "start", K::Int},
    {"Sample", "end", K::Int},
    {"Sample", "loop", K::Int},
    {"Sample", "loopStart", K::Int},
    {"Sample", "data", K::Hex},

    // The program-change file list ("memory.dat").
    {"", "Filename", K::String},
    {"", "Left", K::Int},
    {"", "Top", K::Int},
    {"", "Width", K::Int},
    {"", "Height", K::Int},

    // Output strips of the audio part and the sampler.
    {"", "AudioOut", K::Marker},
    {"", "AudioOutChs", K::Int},
    {"", "AudioOutVol", K::Float},
    {"", "AudioOutPan", K::Float},
    {"", "AudioOutVolCC", K::Int},
    {"", "AudioOutPanCC", K::Int},
    // An insert effect: its type key, its records as in a module block, "CEnd".
    {"", "Insert", K::String},
    {"", "InsWet", K::Float},
    {"CAPart", "APartOuts", K::Int},

    // Skin files (no module blocks, so no type).
    {"", "BmpData", K::Bitmap},
    {"", "BmpAlpha", K::Int},
    {"", "Color", K::Int},
    {"", "Item", K::String},
    {"", "ItemStyle", K::Int},
    {"", "ItemBmp", K::Int},
    {"", "ItemMode", K::Int},
    {"", "ItemColor", K::Int},
    {"", "ItemStyle2", K::Int},
    {"", "ItemBmp2", K::Int},
    {"", "ItemMode2", K::Int},
    {"", "ItemColor2", K::Int},
};

}  // namespace

std::span<const RecordKind> RecordKinds() { return kKinds; }

}  // namespace qr
