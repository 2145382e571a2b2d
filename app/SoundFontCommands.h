#pragma once
// The standalone program's SoundFont commands: a project whose sampler holds a
// bank's presets, for rendering MIDI files, and the listing of a bank.
#include <functional>
#include <ostream>
#include <string>

namespace qr {

class StandaloneHost;

// True for a RIFF file of form "sfbk".
bool IsSoundFontFile(const std::string& path);
// Puts a sampler holding every preset of the bank into the host's root, fed by
// the master input's MIDI and feeding the master output. `sounding` answers
// whether notes are still playing. With two cores the sampler shares its
// voices with the worker core. False with the reason in `error`.
bool BuildSoundFontProject(StandaloneHost& host, const std::string& bank, std::function<bool()>& sounding,
                           std::string& error, int cores = 1);
// `quillrow info BANK.sf2`: the counts and every preset as "bank:program name".
int SoundFontInfo(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace qr
