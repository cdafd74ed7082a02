// What the `tarnel thumbnail` command line asks for, and the texts the commands print: parsed and made
// apart from the work, so that they can be tested and fuzzed on their own.
#pragma once

#include "host/Handlers.h"

#include "windef.h"

#include <string>
#include <string_view>

// Which module serves a file: the one the registry names for its extension, unless `module` names one.
struct ModuleChoice {
    std::string module; // empty: ask the registry
    CLSID clsid = CLSID_TarnelThumbnailer;
};

// Parses --module PATH and --clsid {...} at argv[i] (advancing i past a value). 1: taken; 0: not one of
// them; -1: bad usage, with the reason in `problem`.
int ParseModuleOption(int argc, char** argv, int& i, ModuleChoice& choice, std::string& problem);

// The largest thumbnail side the host asks for: four times the largest size of the freedesktop cache
// (xx-large, 1024), and a bitmap of 64 MiB at most.
constexpr long kMaxThumbnailSide = 4096;

// "N" or "WxH": whole numbers from 1 to kMaxThumbnailSide.
bool ParseSize(const char* text, SIZE& size);

// The memory an extraction may use (its data, heap and mappings; Isolated.h), in MiB: TARNEL_MEMORY_LIMIT or
// --memory, 0 for no bound. The default leaves room for a mesh preview of the largest size.
constexpr long kDefaultMemoryMiB = 1024;
constexpr long kMaxMemoryMiB = 1L << 20;
inline constexpr char kBadMemory[] = "the memory bound must be a whole number of MiB, 0 for none";
bool ParseMemory(const char* text, long& mebibytes);
// TARNEL_MEMORY_LIMIT when it is set and valid, else kDefaultMemoryMiB.
long DefaultMemoryMiB();

// Parses a time in seconds ("10", "0.5"); false for anything else, a negative value or more than 1e6.
bool ParseSeconds(const char* text, double& seconds);

// The seconds one file may take unless --timeout says otherwise.
constexpr double kDefaultTimeout = 10;

struct ThumbnailRequest {
    SIZE size = {256, 256};
    double timeout = kDefaultTimeout;
    long memoryMiB = kDefaultMemoryMiB;
    bool verbose = false, writeIcon = false, help = false;
    ModuleChoice choice;
    const char* input = nullptr;
    const char* output = nullptr;
};

// Parses `tarnel thumbnail`'s arguments (argv[0] is the command's name). False with the reason in problem.
bool ParseThumbnailArguments(int argc, char** argv, ThumbnailRequest& request, std::string& problem);

// The file name as the shell would pass it: absolute, as a wide string (see widestr.h).
std::wstring ShellPath(const char* arg);

// "S_OK (0x00000000)" and the like.
std::string DescribeHResult(HRESULT hr);

// A JSON string literal; undecodable file-name bytes become U+FFFD.
std::string JsonString(std::wstring_view text);
