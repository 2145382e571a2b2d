#include "audio/AudioFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "audio/Sample.h"
#include "graph/BusyFlag.h"
#include "platform/Files.h"
#include "platform/Messages.h"
#include "platform/Settings.h"

namespace qr {

namespace {

std::string Normalised(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  for (char& c : folder)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folder;
}

// Copies src to a new file dst; fails with errno EEXIST when dst exists, and
// removes a partial copy on any other failure.
bool CopyNew(const std::string& src, const std::string& dst) {
  const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const int e = errno;
    ::close(in);
    errno = e;
    return false;
  }
  bool ok = true;
  char buf[1 << 16];
  for (;;) {
    const ssize_t r = ::read(in, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ok = false;
    if (r <= 0) break;
    for (ssize_t done = 0; done < r && ok;) {
      const ssize_t w = ::write(out, buf + done, static_cast<size_t>(r - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        ok = false;
      else
        done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  ok = ::close(out) == 0 && ok;
  if (!ok) {
    ::unlink(dst.c_str());
    errno = EIO;
  }
  return ok;
}

bool CopyOne(CSample& sample, const std::string& folder, uint8_t& renderer_busy) {
  if (Normalised(FolderOf(sample.fileName)) == Normalised(folder)) {
    sample.pathKind = kPathAudioFolder;
    return true;
  }
  const std::string name = ReplaceExtension(FileNameOf(sample.fileName), "");
  for (;;) {
    const std::string dst = FreeWavName(folder, name);
    if (CopyNew(sample.fileName, dst)) {
      // A streamed sample reads from the copy from now on. The audio thread may
      // be inside the old file this very moment, so the copy is opened on the
      // side and only the handles change hands, while the renderer sits out;
      // the old file closes when `fresh` goes, after the renderer is back.
      if (auto* disk = dynamic_cast<CDiskSample*>(&sample); disk && disk->HasFile()) {
        CDiskSample fresh;
        fresh.computePeaks = 0;  // the frames are the same bytes: the peaks stay
        if (!fresh.OpenFile(dst)) {
          ::unlink(dst.c_str());  // the sample stays on its old file; leave no stray copy
          return false;
        }
        BusyLock lock(renderer_busy);
        disk->SwapFile(fresh);
      } else {
        BusyLock lock(renderer_busy);
        sample.fileName = dst;
        sample.displayName = FileNameOf(dst);
      }
      sample.pathKind = kPathAudioFolder;
      return true;
    }
    if (errno != EEXIST) return false;  // someone took the name meanwhile: look again
  }
}

}  // namespace

std::string AudioFolderOf(const std::string& project_file) {
  if (project_file.empty()) return {};
  return JoinPath(FolderOf(project_file), ReplaceExtension(FileNameOf(project_file), "") + "_audio");
}

std::string CreateAudioFolder(const std::string& project_file) {
  if (project_file.empty()) {
    ShowInformation("Audio folder", "Project is not saved. Can't create Audio folder");
    return {};
  }
  const std::string folder = AudioFolderOf(project_file);
  if (IsDirectory(folder)) {
    if (!AskYesNo("Audio folder",
                  "The folder '" + FileNameOf(folder) + "' already exists. Do you want to use this folder?"))
      return {};
    return folder;
  }
  if (!MakeDirectories(folder)) {
    ShowError("Audio folder", "Can't create " + folder);
    return {};
  }
  return folder;
}

std::string FreeWavName(const std::string& folder, const std::string& name) {
  std::string path = JoinPath(folder, name + ".wav");
  for (long n = 1; FileExists(path); ++n) path = JoinPath(folder, name + "_" + std::to_string(n) + ".wav");
  return path;
}

bool CopyToAudioFolder(CSample& sample, const std::string& audio_folder, uint8_t& renderer_busy) {
  if (audio_folder.empty()) {
    ShowInformation("Copy", "Audio folder not set");
    return false;
  }
  return CopyOne(sample, audio_folder, renderer_busy);
}

int CopyAllToAudioFolder(const std::vector<CSample*>& samples, const std::string& audio_folder,
                         uint8_t& renderer_busy) {
  if (audio_folder.empty()) {
    ShowInformation("Copy", "Audio folder not set");
    return 0;
  }
  int n = 0;
  for (CSample* s : samples)
    if (s && CopyOne(*s, audio_folder, renderer_busy)) ++n;
  return n;
}

std::string LastSampleFolder() {
  // The stored default names a drive of another system; here the home folder
  // is where a first sample is looked for.
  const char* home = std::getenv("HOME");
  return CSettings().Get(keys::kLastSamplePath, home && *home ? home : "/");
}

void SetLastSampleFolder(const std::string& folder) {
  try {
    CSettings().Set(keys::kLastSamplePath, folder);
  } catch (const IniWriteError&) {
  }
}

}  // namespace qr
