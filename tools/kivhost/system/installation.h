// Where kivhost finds what was installed with it, wherever it is started from, and where the
// driver's files go unless the user names a folder.
//
// The places are relative to the folder of the program itself (cmake/install-layout.cmake):
// the build tree and an installed tree (the Debian package, the Windows zip) look alike, so the
// same program finds its driver and its example files in both.
#pragma once

#include <string>
#include <vector>

namespace kivhost {

// The driver libraries kivhost loads by default, in the order tried: the one beside the
// program (the build tree, the Windows zip), then the one in the installed library folder.
std::vector<std::string> DriverCandidates();

// The example tag configuration of one line with eight controllers.
std::string DefaultTagFile();

// The working folder of 'kivhost run' when --workdir is not given: a folder of the user's own
// ($XDG_STATE_HOME/vududidi, else ~/.local/state/vududidi on Linux; %LOCALAPPDATA%\VUDUDIDI on
// Windows). Empty when the environment names no such place.
std::string DefaultWorkFolder();

// How DefaultWorkFolder is chosen, for the help text.
const char* DefaultWorkFolderRule();

// Makes the working folder ('chosen', else DefaultWorkFolder) and moves there: the driver opens
// its files by bare name. 'workDir' gets the folder as an absolute path. False after saying
// why on standard error ("kivhost COMMAND: ...").
bool MoveToWorkFolder(const char* command, const std::string& chosen, std::string& workDir);

}  // namespace kivhost
