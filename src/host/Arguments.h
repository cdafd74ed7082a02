// What the `tarnel thumbnail` command line asks for, and the texts the commands print: parsed and made
// apart from the work, so that they can be tested and fuzzed on their own.
#pragma once

#include "host/Handlers.h"

#include "platform/wintypes.h"

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

// "N" or "WxH": positive whole numbers up to 100000.
bool ParseSize(const char* text, SIZE& size);

// Parses a time in seconds ("10", "0.5"); false for anything else, a negative value or more than 1e6.
bool ParseSeconds(const char* text, double& seconds);

// The seconds one file may take unless --timeout says otherwise.
constexpr double kDefaultTimeout = 10;

struct ThumbnailRequest {
    SIZE size = {256, 256};
    double timeout = kDefaultTimeout;
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
