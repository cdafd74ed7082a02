// tarnel's settings: key files, as desktop entries are written, read by every command (and so by the
// thumbnailer entries, which a file manager runs without an environment of the user's).
//
//   [Thumbnails]
//   SizeLimit=100 MiB          bytes, or with KiB, MiB or GiB; "none": no limit
//   Timeout=10                 seconds one file may take, 0 for no limit
//   Memory=1024                MiB one file may use, 0 for no limit
//   Formats=qzt;kpv;kpz;stl    the extensions tarnel serves (default: all of the suite's)
//   TransparentMeshes=true     mesh pictures without their black background
//
// The files, the first to give a key winning: TARNEL_SETTINGS when it names one (instead of all others);
// else the user's $XDG_CONFIG_HOME/tarnel/tarnel.conf (default ~/.config), the system's
// /etc/tarnel/tarnel.conf, and the packaged PREFIX/share/tarnel/tarnel.conf, under /usr where GNOME's
// thumbnailer sandbox sees it. The environment beats every file: TARNEL_SIZE_LIMIT, TARNEL_IGNORE_SIZE and
// TARNEL_MEMORY_LIMIT keep their meaning. A line the reader cannot take is reported with its file and line
// and ignored: the key keeps what the next file or the default gives, and no thumbnail fails for it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::settings {

// A value with where it was written, "FILE:LINE".
template <class T>
struct Setting {
    T value{};
    std::string origin;
};

struct Settings {
    // The size limit in bytes; 0 for "none" (no limit).
    std::optional<Setting<unsigned long long>> sizeLimit;
    std::optional<Setting<double>> timeout;
    std::optional<Setting<long>> memoryMiB;
    std::optional<Setting<std::vector<std::string>>> formats; // lower-case extensions with the dot
    std::optional<Setting<bool>> transparentMeshes;
    std::vector<std::string> files;    // the files read, the first winning
    std::vector<std::string> problems; // "FILE:LINE: what is wrong; ..."
};

// The largest size limit the system takes (its limit is a signed 32-bit count of bytes).
constexpr unsigned long long kMaxSizeLimit = 0x7FFFFFFF;

// "1048576", "20 MiB", "1.5 GiB", "none" (0). False for anything else or more than kMaxSizeLimit.
bool ParseByteSize(std::string_view text, unsigned long long& bytes);

// Reads one file's text into settings; keys already set (by a file read earlier) stay. name is the file's
// name in origins and problems.
void ReadSettingsText(std::string_view text, const std::string& name, Settings& settings);

// The files in the order they are read (the first winning), whether or not they exist.
std::vector<std::string> SettingsFiles();

// The settings of this run: read once, from SettingsFiles(). Its problems are printed once, by Apply.
const Settings& Current();

// Puts the size limit of the settings where the system reads it, unless the environment gives one itself:
// TARNEL_SIZE_LIMIT (or TARNEL_IGNORE_SIZE=1 for "none"). Every child inherits it. Prints the problems of
// the settings files on stderr, one line each, naming the command.
void Apply(const char* command);

// Set by a command that runs itself again, so that the new run does not tell the problems a second time.
inline constexpr char kToldVariable[] = "TARNEL_SETTINGS_TOLD";

// Where the size limit in force came from when the settings gave it ("FILE:LINE"); empty when the
// environment or the system's default did.
const std::string& SizeLimitOrigin();

// Whether the settings let tarnel serve files with this extension (lower case, with the dot).
bool Serves(std::string_view extension);

// Whether mesh pictures are written with a transparent background.
bool TransparentMeshes();

} // namespace tarnel::settings
