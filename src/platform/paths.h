// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Paths of the program and the small path helpers every part uses. "/" is the separator.
// All functions are free of shared state and may be called from any thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Per-user state that stands for the program directory: one folder per server host with its
// group lists, and the default data directory. $XDG_DATA_HOME/qmere/ (default
// ~/.local/share/qmere/); always ends with "/".
std::string programDirectory();

// Read-only resources (help page, tips, pictures): $QMERE_RESOURCES when set, else the
// "resources" folder beside the executable, else the installed share folder. Ends with "/".
std::string resourceDirectory();

// The folder of the running program, ending with "/"; empty when it cannot be found.
std::string executableDirectory();

// The profile file: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini (default ~/.config/...).
std::string profilePath();

// The user's home folder ($HOME; "/tmp" without one).
std::string homeDirectory();
// The working folder of the process; empty when it cannot be found.
std::string currentDirectory();
// path when it is absolute, else path below base; "." components and doubled "/" dropped.
std::string absolutePath(std::string_view path, std::string_view base);

// a + "/" + b, without doubling a "/" that a already ends with.
std::string joinPath(std::string_view a, std::string_view b);

// Creates every missing directory along path, path included (a trailing "/" is allowed).
// 0 on success; non-zero when a prefix cannot be created or exists but is not a directory.
[[nodiscard]] int makeDirectories(std::string_view path);

// Free space in units of 1024 bytes of the volume that holds path (the nearest existing
// ancestor when path does not exist yet); 0 when it cannot be determined.
std::int64_t volumeFreeKB(const std::string& path);

// The help page, in the resource directory.
std::string helpFilePath();

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);

// The last path element (text after the last "/"), or the whole text without "/".
std::string_view baseName(std::string_view path);

}  // namespace qm
