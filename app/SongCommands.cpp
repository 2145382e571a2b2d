#include "app/SongCommands.h"

#include <cmath>

#include "app/Host.h"
#include "persist/Project.h"
#include "sequencer/Tracks.h"

namespace qr {

CTracks& MakeSequencerProject(CGroup& root, CProject& project) {
  EmptyProject(root, project);
  CMasterIn& in = *root.masterIn;
  auto made = std::make_unique<CTracks>(&root);
  // Halfway between the master input and the root's own box, halves rounded toward zero.
  made->x = in.x + (root.x - in.x) / 2;
  made->y = in.y + (root.y - in.y) / 2;
  made->hasEditorWindow = 1;
  auto& seq = static_cast<CTracks&>(*root.AddChild(std::move(made)));
  seq.ConnectMidi(&in, 0, 0);
  root.ConnectAudio(&seq, 0, 0);
  if (!in.audioOuts.empty()) seq.ConnectAudio(&in, 0, 0);
  project.pages.push_back({"Sequencer", {}});
  seq.dockPage = static_cast<int32_t>(project.pages.size()) - 1;
  root.modified = 0;
  return seq;
}

int CmdNew(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  bool sequencer = false;
  std::string path;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--sequencer") {
      sequencer = true;
    } else if ((args[i] == "-o" || args[i] == "--output") && i + 1 < args.size()) {
      path = args[++i];
    } else {
      path.clear();
      break;
    }
  }
  if (path.empty()) {
    err << "quillrow: new [--sequencer] -o FILE.qrw\n";
    return 2;
  }
  ConsoleSink sink;
  IMessageSink* prev = SetMessageSink(&sink);
  CGroup root(nullptr);
  root.AddAudioIn(2);
  CProject project;
  if (sequencer)
    MakeSequencerProject(root, project);
  else
    EmptyProject(root, project);
  const bool ok = SaveProjectToFile(root, project, path, false);
  SetMessageSink(prev);
  if (!ok) {
    err << "quillrow: cannot write " << path << "\n";
    return 1;
  }
  out << "quillrow: wrote " << path << "\n";
  return 0;
}

bool StartSongRender(CGroup& root, float rate, int64_t& frames) {
  for (auto& c : root.children) {
    auto* song = dynamic_cast<CTracks*>(c.get());
    if (!song) continue;
    double from = 0, to = 0;
    song->RenderRange(from, to);
    const double ticksPerSecond = 16.0 * song->songTempo;
    frames = to > from && ticksPerSecond > 0
                 ? static_cast<int64_t>(std::ceil((to - from) / ticksPerSecond * rate))
                 : 0;
    song->Locate(from);
    song->Start();
    return true;
  }
  return false;
}

void DescribeSong(const CTracks& song, std::ostream& out) {
  static constexpr const char* kModes[] = {"Single", "Multi", "Live"};
  out << "    song: " << song.songTempo << " bpm, " << song.timeSig[0] << "/" << song.timeSig[1] << ", mode "
      << kModes[std::clamp(song.arrMode, 0, 2)] << ", " << song.arrs.size() << " arrangement(s), "
      << song.comps.size() << " comp(s), " << song.sends.size() << " send(s)\n";
  for (size_t a = 0; a < song.arrs.size(); ++a) {
    const CArr& arr = *song.arrs[a];
    out << "    arrangement " << a << " \"" << arr.name << "\""
        << (static_cast<int>(a) == song.activeArr ? " (active)" : "") << ": left " << arr.left << ", right "
        << arr.right << (arr.loop ? ", loop" : "") << (arr.mute ? ", muted" : "")
        << (arr.solo ? ", solo" : "") << ", " << arr.tracks.size() << " track(s)\n";
    for (size_t t = 0; t < arr.tracks.size(); ++t) {
      const CTrack& track = *arr.tracks[t];
      const CTrackVari* v = arr.activeVari >= 0 && static_cast<size_t>(arr.activeVari) < track.varis.size()
                                ? track.varis[static_cast<size_t>(arr.activeVari)].get()
                                : nullptr;
      const size_t parts = v ? v->parts.size() : 0;
      out << "      track " << t << " " << CTrack::KindWord(track.Kind()) << " \"" << track.name
          << "\": " << parts << " part(s)" << (v && (v->state & CTrackVari::kMuted) ? ", muted" : "")
          << (v && (v->state & CTrackVari::kSoloed) ? ", solo" : "") << "\n";
      if (!v) continue;
      for (const auto& p : v->parts) {
        out << "        part \"" << p->name << "\" at " << p->start << ", " << p->length << " ticks";
        if (p->ghostSource) out << ", ghost copy";
        if (const auto* mp = dynamic_cast<const CMIDIPart*>(p.get()))
          out << ", " << mp->PlayEvents().Size() << " event(s)";
        if (const auto* ap = dynamic_cast<const CAudioPart3*>(p.get())) {
          int clips = 0;
          for (const CAudioClip* c = ap->ClipHead(); c; c = c->next.get()) ++clips;
          out << ", " << clips << " clip(s)";
        }
        if (p->style & 2) out << ", muted";
        out << "\n";
      }
    }
  }
}

}  // namespace qr
