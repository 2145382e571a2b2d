// `quillrow play` against a real JACK server (dummy backend) started here: audio
// and MIDI pass through a project, and Ctrl-C stops the program cleanly.
#include <gtest/gtest.h>

#if __has_include(<jack/jack.h>)
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/app/AppTestSupport.h"

extern char** environ;

using namespace qr::test;

namespace {

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> a;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawnp(&pid, a[0], &fa, nullptr, a.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

int StopAndWait(pid_t pid, int sig) {
  kill(pid, sig);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -2;
}

struct Probe {
  jack_port_t *audioOut = nullptr, *audioIn = nullptr, *midiOut = nullptr, *midiIn = nullptr;
  std::atomic<float> heard{0.0f};
  std::atomic<int> notesBack{0};
  std::atomic<int> fileNotes{0};  // key 61: from the --midi file
  std::atomic<int> cycles{0};
  static int Process(jack_nframes_t n, void* arg) {
    auto* p = static_cast<Probe*>(arg);
    auto* out = static_cast<float*>(jack_port_get_buffer(p->audioOut, n));
    for (jack_nframes_t i = 0; i < n; ++i) out[i] = 0.25f;
    const auto* in = static_cast<const float*>(jack_port_get_buffer(p->audioIn, n));
    p->heard.store(in[n / 2]);
    void* mo = jack_port_get_buffer(p->midiOut, n);
    jack_midi_clear_buffer(mo);
    if (p->cycles.fetch_add(1) % 8 == 0) {
      const unsigned char note[3] = {0x90, 60, 100};
      jack_midi_event_write(mo, 5, note, 3);
    }
    void* mi = jack_port_get_buffer(p->midiIn, n);
    for (uint32_t i = 0; i < jack_midi_get_event_count(mi); ++i) {
      jack_midi_event_t e;
      if (jack_midi_event_get(&e, mi, i) != 0 || e.size != 3 || e.buffer[0] != 0x90) continue;
      if (e.buffer[1] == 60) p->notesBack.fetch_add(1);
      if (e.buffer[1] == 61) p->fileNotes.fetch_add(1);
    }
    return 0;
  }
};

}  // namespace

TEST(QuillrowPlay, AudioAndMidiPassThroughAJackServer) {
  if (!HaveProgram("jackd")) GTEST_SKIP() << "jackd is not installed (Debian package jackd2)";
  const std::string dir = TempDir();
  const std::string server = "qrtest" + std::to_string(getpid());
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  const pid_t jackd = Spawn({"jackd", "-n", server, "-d", "dummy", "-r", "48000", "-p", "256"});
  ASSERT_GT(jackd, 0);
  jack_client_t* probe = nullptr;
  for (int i = 0; i < 100 && !probe; ++i) {
    jack_status_t st;
    probe = jack_client_open("probe", JackNoStartServer, &st);
    if (!probe) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!probe) {
    StopAndWait(jackd, SIGTERM);
    GTEST_SKIP() << "the JACK server did not start here";
  }
  ASSERT_TRUE(WriteBytes(dir + "/p.qrw", ChainProject({})));
  // A note every tenth of a second for a minute.
  std::vector<std::array<uint32_t, 4>> notes;
  for (uint32_t t = 0; t < 60 * 960; t += 96)
    notes.push_back({t, 0x90, 61, 100}), notes.push_back({t + 48, 0x80, 61, 0});
  ASSERT_TRUE(WriteBytes(dir + "/notes.mid", MidiFileBytes(notes)));
  // Started with a relative name, from the project's folder.
  setenv("QUILLROW_CONFIG_DIR", (dir + "/cfg").c_str(), 1);
  const pid_t play = Spawn(
      {"sh", "-c", "cd " + dir + " && exec " + QR_QUILLROW + " play p.qrw --name qrplay --midi notes.mid"});
  ASSERT_GT(play, 0);

  Probe p;
  p.audioOut = jack_port_register(probe, "to", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  p.audioIn = jack_port_register(probe, "from", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  p.midiOut = jack_port_register(probe, "mto", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  p.midiIn = jack_port_register(probe, "mfrom", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(probe, &Probe::Process, &p);
  ASSERT_EQ(jack_activate(probe), 0);
  bool connected = false;
  for (int i = 0; i < 100 && !connected; ++i) {
    connected = jack_connect(probe, "probe:to", "qrplay:in_1") == 0;
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(connected) << "quillrow play did not register its ports";
  EXPECT_EQ(jack_connect(probe, "qrplay:out_1", "probe:from"), 0);
  EXPECT_EQ(jack_connect(probe, "probe:mto", "qrplay:midi_in"), 0);
  EXPECT_EQ(jack_connect(probe, "qrplay:midi_out", "probe:mfrom"), 0);
  for (int i = 0; i < 100 && (p.heard.load() != 0.25f || p.notesBack.load() < 2 || p.fileNotes.load() < 2);
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FLOAT_EQ(p.heard.load(), 0.25f);
  EXPECT_GE(p.notesBack.load(), 2);
  EXPECT_GE(p.fileNotes.load(), 2);

  EXPECT_EQ(StopAndWait(play, SIGINT), 0);  // Ctrl-C: a clean exit
  // The project that played is remembered by its whole path.
  const std::string ini = Slurp(dir + "/cfg/Quillrow.ini");
  EXPECT_NE(ini.find("=" + dir + "/p.qrw\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("=p.qrw"), std::string::npos) << ini;

  // A project that fails to load is not remembered.
  std::vector<uint8_t> broken = ChainProject({});
  broken.resize(broken.size() / 2);
  ASSERT_TRUE(WriteBytes(dir + "/broken.qrw", broken));
  const pid_t bad = Spawn({QR_QUILLROW, "play", dir + "/broken.qrw", "--name", "qrbad"});
  int status = 0;
  for (int i = 0; i < 100 && waitpid(bad, &status, WNOHANG) != bad; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (kill(bad, 0) == 0) StopAndWait(bad, SIGINT);
  EXPECT_EQ(Slurp(dir + "/cfg/Quillrow.ini").find("broken.qrw"), std::string::npos);
  jack_deactivate(probe);
  jack_client_close(probe);
  StopAndWait(jackd, SIGTERM);
}
#else
TEST(QuillrowPlay, AudioAndMidiPassThroughAJackServer) {
  GTEST_SKIP() << "built without JACK headers (Debian package libjack-jackd2-dev)";
}
#endif
