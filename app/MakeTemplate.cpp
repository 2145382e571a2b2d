// quillrow-template OUT: writes the "default.qrw" installed beside the
// plug-ins. A project opened from it cables the master input's audio and MIDI
// to the output, so a fresh insert passes its track through instead of
// silencing it; without the file a new project stays empty.
#include <cstdio>
#include <memory>

#include "graph/Container.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "stream/RecordStream.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quillrow-template OUT.qrw\n");
    return 2;
  }
  using namespace qr;
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.x = 200;
  root.y = 200;
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->x = 16;
  mi->y = 32;
  CComp* in = root.AddChild(std::move(mi));
  root.masterIn = static_cast<CMasterIn*>(in);
  root.ConnectAudio(in, 0, 0);
  root.ConnectMidi(in, 0, 0);
  CProject project;
  CMemStream s;
  if (!SaveProject(root, project, s) || !WriteFileAtomically(argv[1], s.Data())) {
    std::fprintf(stderr, "quillrow-template: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
