#pragma once
#include <string>

// Moves the process into the folder it works in: the frame file and the
// mail picture are written there, and the idle picture and the alarm sound
// are read from there under their bare names. `profile` is the name given
// with --profile, empty for the default. False, with a reason in `error`,
// when the folder cannot be made or entered.
//
// An installed program (its data folder lies beside it, see
// InstalledDataFolder) works in a private folder of its own and takes fresh
// copies of its data files there; a program run from its build tree works
// in the folder it was started in, as the launcher script arranges. A
// profile works in a subfolder named after it, with its own copies.
bool EnterWorkingFolder(const std::string& profile, std::string* error);

// The same for a program file at `programFile` (the running one above).
bool EnterWorkingFolderOf(const std::string& programFile, const std::string& profile,
                          std::string* error);

// The data folder of an installed program at `programFile`
// (<prefix>/bin/vardocam -> <prefix>/share/vardocam); empty when there is
// none, as in a build tree.
std::string InstalledDataFolder(const std::string& programFile);

// Where an installed program works: $XDG_RUNTIME_DIR/vardocam (tmpfs: the
// frame file is rewritten on every tick), or, without a usable runtime
// folder, vardocam under the user's cache folder. Empty when neither exists.
std::string PrivateWorkingFolder();

// A folder of the profile's own in the user's data folder, kept across
// logins (unlike the working folder): $XDG_DATA_HOME/vardocam/<kind>/<profile,
// or "default">, ~/.local/share without XDG_DATA_HOME. Empty without a home.
std::string ProfileDataFolder(const std::string& kind, const std::string& profile);

// Makes `folder` and its missing parents (mode 0700) and makes sure the
// folder itself is a real folder of this user, readable by nobody else.
bool MakePrivateFolder(const std::string& folder, std::string* error);

// The files an installed program copies from its data folder: the idle
// picture and the default alarm sound.
extern const char* const kInstalledDataFiles[2];
