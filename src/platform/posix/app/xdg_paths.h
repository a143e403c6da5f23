// Where the program keeps its files on POSIX: the settings folder of the XDG base
// directories, the profile file, the autostart entry, and the running program's path.
#pragma once

#include <string>

namespace skiff {

// ${XDG_CONFIG_HOME:-$HOME/.config}; an XDG_CONFIG_HOME that is not absolute is ignored,
// as the XDG rules ask. Empty when neither gives a place.
std::string ConfigHome();

// <config home>/SkiffHouse/SkiffHouse.ini
std::string DefaultProfilePath();

// <config home>/autostart/SkiffHouse.desktop
std::string DefaultAutostartPath();

// The full path of the running executable; empty when the system cannot tell.
std::string SelfExecutablePath();

// Creates the folder and any missing parents; folders it creates get the given mode.
// True when the folder exists afterwards.
bool MakeFolders(const std::string& path, unsigned mode);

// Writes content to path atomically: a temporary file in the same folder with the given
// mode, flushed to disk, then renamed over path, then the folder flushed. On failure
// path is untouched and error holds the reason.
bool WriteFileAtomically(const std::string& path, const std::string& content, unsigned mode,
                         std::string& error);

}  // namespace skiff
