#pragma once
// The project's audio folder: where recordings go and where "Copy to Audio
// folder" gathers a project's sample files, so that the project and its audio
// travel together.
#include <cstdint>
#include <string>
#include <vector>

namespace qr {

class CSample;

// The project file's folder + its name without extension + "_audio"; empty for
// an unsaved project (empty file name).
std::string AudioFolderOf(const std::string& project_file);

// Creates the audio folder of a saved project, or asks whether to use it when it
// exists already. Returns the folder, or empty when the project is not saved,
// the user declines, or the folder cannot be made.
std::string CreateAudioFolder(const std::string& project_file);

// folder/name.wav, or else folder/name_n.wav for n = 1, 2, ... until no such file exists.
std::string FreeWavName(const std::string& folder, const std::string& name);

// "Copy to Audio folder": copies the sample's file into the folder under a free
// name (never overwriting a file) unless it is there already (folders compare
// without regard to letter case), switches the sample to the copy and marks it
// as kept in the audio folder. Without a folder the user is told "Audio folder
// not set". True when the sample was treated. `renderer_busy` is the busy byte
// (CComp::busy) of the module whose processing renders the sample: the switch
// holds it, so a block never streams from a file that is being swapped.
bool CopyToAudioFolder(CSample& sample, const std::string& audio_folder, uint8_t& renderer_busy);
// "Copy all to Audio folder": the same for every sample; returns the number treated.
int CopyAllToAudioFolder(const std::vector<CSample*>& samples, const std::string& audio_folder,
                         uint8_t& renderer_busy);

// The folder the last sample was chosen from ("Folders"/"lastsamplepath" in the
// settings). Without an entry, the user's home folder.
std::string LastSampleFolder();
// Remembers it; a settings file that cannot be written is left as it is.
void SetLastSampleFolder(const std::string& folder);

}  // namespace qr
