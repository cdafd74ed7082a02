// What each command's line asks for, and the texts the commands print: parsed and made apart from the work,
// so that they can be tested and fuzzed on their own. The lines are read by host/CommandLine.h; each
// ParseXArguments takes argv as the command receives it (argv[0] its name) and gives false with the reason
// in problem. `line` then holds what AnswerCommandLine needs: the help asked for, or the command reached.
#pragma once

#include "host/CommandLine.h"
#include "host/Handlers.h"

#include "windef.h"

#include <string>
#include <string_view>
#include <vector>

// Which module serves a file: the one the registry names for its extension, unless `module` names one.
struct ModuleChoice {
    std::string module; // empty: ask the registry
    CLSID clsid = CLSID_TarnelThumbnailer;
};

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
// TARNEL_MEMORY_LIMIT when it is set and valid, else the settings' Memory, else kDefaultMemoryMiB.
long DefaultMemoryMiB();

// Parses a time in seconds ("10", "0.5"); false for anything else, a negative value or more than 1e6.
bool ParseSeconds(const char* text, double& seconds);

// The seconds one file may take unless --timeout or the settings say otherwise.
constexpr double kDefaultTimeout = 10;
// The settings' Timeout, else kDefaultTimeout.
double DefaultTimeout();

struct ThumbnailRequest {
    CommandLine line;
    SIZE size = {256, 256};
    double timeout = kDefaultTimeout;
    long memoryMiB = kDefaultMemoryMiB;
    bool verbose = false, writeIcon = false;
    ModuleChoice choice;
    const char* input = nullptr;
    const char* output = nullptr;
};
bool ParseThumbnailArguments(int argc, char** argv, ThumbnailRequest& request, std::string& problem);

struct CacheRequest {
    CommandLine line;
    const char* sizeName = "large";
    int pixels = 256;
    long jobs = 0; // the number of processors
    double timeout = kDefaultTimeout;
    long memoryMiB = kDefaultMemoryMiB;
    bool retryFailed = false;
    int verbosity = 0; // -1 --quiet, 1 --verbose
    bool forget = false;
    ModuleChoice choice;
    std::vector<const char*> paths, lists;
};
bool ParseCacheArguments(int argc, char** argv, CacheRequest& request, std::string& problem);

struct InfoRequest {
    CommandLine line;
    bool json = false;
    const char* file = nullptr;
};
bool ParseInfoArguments(int argc, char** argv, InfoRequest& request, std::string& problem);

// `tarnel register` and `tarnel unregister`, by argv[0].
struct RegisterRequest {
    CommandLine line;
    bool system = false;
    const char* module = nullptr; // null: the default module
};
bool ParseRegisterArguments(int argc, char** argv, RegisterRequest& request, std::string& problem);

struct RegistryRequest {
    CommandLine line;
    enum Action { Dump, Where } action = Dump;
    enum Classes { All, User, System } classes = All;
    std::vector<std::string> keys; // none: all of them
};
bool ParseRegistryArguments(int argc, char** argv, RegistryRequest& request, std::string& problem);

// `tarnel install` and `tarnel uninstall`, by argv[0].
struct InstallRequest {
    CommandLine line;
    bool system = false; // --system or --prefix
    std::string prefix = "/usr/local";
    const char* module = nullptr; // null: the default module
    bool purge = false;           // uninstall --purge
};
bool ParseInstallArguments(int argc, char** argv, InstallRequest& request, std::string& problem);

struct ShaderCacheRequest {
    CommandLine line;
    enum Action { Prepare, Remove, Where } action = Where;
    const char* into = nullptr;   // null: the prepared shaders' folder
    const char* module = nullptr; // null: the default module
};
bool ParseShaderCacheArguments(int argc, char** argv, ShaderCacheRequest& request, std::string& problem);

// Reads a command's line with its ParseXArguments, then prints the help or the usage error it asks for:
// the command's exit status then, -1 when the command goes on with the request.
template <class Request>
int ReadArguments(bool (*parse)(int, char**, Request&, std::string&), int argc, char** argv,
                  Request& request) {
    std::string problem;
    const bool parsed = parse(argc, argv, request, problem);
    return AnswerCommandLine(parsed, request.line, problem);
}

// The file name as the shell would pass it: absolute, as a wide string (see widestr.h).
std::wstring ShellPath(const char* arg);

// "S_OK (0x00000000)" and the like.
std::string DescribeHResult(HRESULT hr);

// A JSON string literal; undecodable file-name bytes become U+FFFD.
std::string JsonString(std::wstring_view text);
