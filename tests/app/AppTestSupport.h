#pragma once
// Running the built `quillrow` program as a user would, and small project and
// WAV helpers for its tests.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "persist/Project.h"
#include "stream/RecordStream.h"
#include "platform/Files.h"

namespace qr::test {

struct RunResult {
  int code = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline std::string TempDir() {
  std::string t = "/tmp/quillrow-app-XXXXXX";
  return mkdtemp(t.data()) ? t : std::string("/tmp");
}

inline RunResult RunQuillrowBinary(const std::string& args, const std::string& dir) {
  const std::string o = dir + "/stdout.txt", e = dir + "/stderr.txt";
  const std::string cmd = std::string(QR_QUILLROW) + " " + args + " >" + o + " 2>" + e + " </dev/null";
  const int status = std::system(cmd.c_str());
  RunResult r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(o);
  r.err = Slurp(e);
  return r;
}

inline bool HaveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A root group whose master input feeds the master output, with `between`
// modules chained in the middle (each takes the previous one's output).
inline std::vector<uint8_t> ChainProject(std::vector<std::unique_ptr<CComp>> between, float tempo = 120.0f) {
  CGroup root(nullptr);
  root.id = "Master Out";
  root.AddAudioIn(2);
  root.SetBlockSize(64);
  root.pendingTempo = tempo;
  auto mi = std::make_unique<CMasterIn>(&root);
  mi->x = 16;
  mi->y = 32;
  CComp* prev = root.AddChild(std::move(mi));
  root.masterIn = static_cast<CMasterIn*>(prev);
  root.ConnectMidi(prev, 0, 0);
  for (auto& m : between) {
    CComp* c = root.AddChild(std::move(m));
    c->ConnectAudio(prev, 0, 0);
    prev = c;
  }
  root.ConnectAudio(prev, 0, 0);
  CProject project;
  CMemStream s;
  SaveProject(root, project, s);
  return s.Data();
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  return WriteFileAtomically(path, b);
}

// Little-endian float WAV of interleaved stereo frames, written by hand so the
// tests do not read back with the code under test only.
inline std::vector<float> ReadFloatWavData(const std::string& path) {
  const std::string b = Slurp(path);
  std::vector<float> out;
  size_t p = 12;
  while (p + 8 <= b.size()) {
    const std::string id = b.substr(p, 4);
    uint32_t n;
    std::memcpy(&n, b.data() + p + 4, 4);
    if (id == "data") {
      out.resize(std::min<size_t>(n, b.size() - p - 8) / 4);
      std::memcpy(out.data(), b.data() + p + 8, out.size() * 4);
      return out;
    }
    p += 8 + n + (n & 1);
  }
  return out;
}

}  // namespace qr::test
