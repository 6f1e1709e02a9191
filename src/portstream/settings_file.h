// The library's settings file: an INI file next to the library, named like it
// with the extension ".ini" (section "main" holds the integer keys). The
// environment variable QUORVIA_SETTINGS names another file to use instead.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qv {

// The text without leading and trailing white space.
std::string TrimSpace(const std::string& s);

// Path of the settings file in use: $QUORVIA_SETTINGS when set and not empty,
// else the library path with its extension replaced by ".ini" (".ini"
// appended when the file name has no dot). Empty when neither is known.
std::string SettingsFilePath();

// The library path turned into the settings file name (exposed for tests).
std::string SettingsPathForLibrary(const std::string& libraryPath);

// Integer key of a section, read the way private-profile files are read:
// a missing file, section or key gives the default; a present value gives its
// leading decimal integer (0 when it has none). Section and key names ignore case.
int ReadSettingInt(const char* section, const char* key, int defaultValue);
int ReadSettingIntFrom(const std::string& file, const char* section, const char* key,
                       int defaultValue);

// Every key=value line of a section, in file order, keys and values trimmed.
std::vector<std::pair<std::string, std::string>> ReadSettingSection(const char* section);
std::vector<std::pair<std::string, std::string>> ReadSettingSectionFrom(const std::string& file,
                                                                        const char* section);

}  // namespace qv
