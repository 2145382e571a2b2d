#pragma once
// Running the built `quillrow` program as a user would, and small project and
// WAV helpers for its tests.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graph/Container.h"
#include "persist/Project.h"
#include "platform/Files.h"
#include "stream/RecordStream.h"
#include "tests/support/Projects.h"
#include "tests/support/WavBuilder.h"

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

// Folders live until the test program ends (a test may hand one to the next
// step of a child process), then go, so runs do not pile up in /tmp.
inline std::string TempDir() {
  static struct Sweep {
    std::vector<std::string> dirs;
    ~Sweep() {
      std::error_code ec;
      for (const std::string& d : dirs) std::filesystem::remove_all(d, ec);
    }
  } sweep;
  std::string t = "/tmp/quillrow-app-XXXXXX";
  if (!mkdtemp(t.data())) return std::string("/tmp");
  sweep.dirs.push_back(t);
  return t;
}

// `env` goes before the program: "QUILLROW_CONFIG_DIR=/x", "cd /y &&".
inline RunResult RunQuillrowBinary(const std::string& args, const std::string& dir,
                                   const std::string& env = "") {
  const std::string o = dir + "/stdout.txt", e = dir + "/stderr.txt";
  const std::string cmd =
      env + " " + std::string(QR_QUILLROW) + " " + args + " >" + o + " 2>" + e + " </dev/null";
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

// The master input through `between`, chained, to the master output.
inline std::vector<uint8_t> ChainProject(std::vector<std::unique_ptr<CComp>> between, float tempo = 120.0f) {
  return WiredProject({2}, 1, 0, std::move(between), tempo);
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  return WriteFileAtomically(path, b);
}

// The interleaved frames of a float WAV file, read by hand so the tests do not
// read back with the code under test only.
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

// A stereo 32-bit float WAV of the given frames (both channels alike).
inline bool WriteFloatWav(const std::string& path, const std::vector<float>& mono, uint32_t rate) {
  std::vector<uint8_t> data;
  for (float x : mono) WavBuilder::Put(data, x), WavBuilder::Put(data, x);
  return WriteBytes(path, WavBuilder().Fmt(3, 2, static_cast<int>(rate), 32).Chunk("data", data).Bytes());
}

// A format-0 Standard MIDI File at 480 ticks per beat (120 bpm: 960 ticks a
// second) of (absolute tick, status, data 1, data 2) events.
inline std::vector<uint8_t> MidiFileBytes(const std::vector<std::array<uint32_t, 4>>& events) {
  std::vector<uint8_t> trk;
  uint32_t last = 0;
  auto vlq = [&trk](uint32_t v) {
    uint8_t tmp[5];
    int n = 0;
    do tmp[n++] = static_cast<uint8_t>(v & 0x7F), v >>= 7;
    while (v);
    while (n--) trk.push_back(static_cast<uint8_t>(tmp[n] | (n ? 0x80 : 0)));
  };
  for (const auto& e : events) {
    vlq(e[0] - last);
    last = e[0];
    trk.push_back(static_cast<uint8_t>(e[1]));
    trk.push_back(static_cast<uint8_t>(e[2]));
    if ((e[1] & 0xF0) != 0xC0 && (e[1] & 0xF0) != 0xD0) trk.push_back(static_cast<uint8_t>(e[3]));
  }
  for (uint8_t b : {0x00, 0xFF, 0x2F, 0x00}) trk.push_back(b);
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k'};
  const auto n = static_cast<uint32_t>(trk.size());
  for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(n >> s));
  f.insert(f.end(), trk.begin(), trk.end());
  return f;
}

}  // namespace qr::test
