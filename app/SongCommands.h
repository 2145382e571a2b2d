#pragma once
// The standalone program's sequencer side: a new song project, the stretch a
// song renders, and what `info` tells about a song.
#include <cstdint>
#include <ostream>
#include <span>
#include <string>

namespace qr {

class CGroup;
class CProject;
class CTracks;

// "new [--sequencer] -o FILE": the empty project, or the sequencer project.
int CmdNew(std::span<const std::string> args, std::ostream& out, std::ostream& err);
// The empty project plus a sequencer wired to the master input and the root.
CTracks& MakeSequencerProject(CGroup& root, CProject& project);
// The first sequencer of a loaded project, placed at the start of what it
// renders and started; `frames` is how long that lasts at `rate`. False when
// the project has no sequencer.
bool StartSongRender(CGroup& root, float rate, int64_t& frames);
// Arrangements, tracks and parts of a song, for `info`.
void DescribeSong(const CTracks& song, std::ostream& out);

}  // namespace qr
