// The `tarnel` command: the shell's part on Linux.
#pragma once

#include "host/Handlers.h"
#include "host/PngWriter.h"
#include "platform/wintypes.h"

#include <string>
#include <string_view>

// Exit statuses shared by the commands.
enum ExitStatus { kExitPicture = 0, kExitNoPicture = 1, kExitUsage = 2, kExitIconOnly = 3 };

int RunThumbnail(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunRegister(int argc, char** argv, bool unregister);
int RunRegistry(int argc, char** argv);
int RunInstall(int argc, char** argv);
int RunUninstall(int argc, char** argv);
int RunCache(int argc, char** argv);

// Calls the module's DllRegisterServer (or DllUnregisterServer) for the user's or the system's classes and
// prints its result; the exit status of `tarnel register`. command names the caller in messages.
int RegisterModule(const std::string& module, bool system, bool unregister, const char* command);

// The seconds one file may take unless --timeout says otherwise.
constexpr double kDefaultTimeout = 10;

// Which module serves a file: the one the registry names for its extension, unless `module` names one.
struct ModuleChoice {
    std::string module; // empty: ask the registry
    CLSID clsid = CLSID_TarnelThumbnailer;
};

// Parses --module PATH and --clsid {...} at argv[i] (advancing i past a value). 1: taken; 0: not one of
// them; -1: bad usage, with the reason in `problem`.
int ParseModuleOption(int argc, char** argv, int& i, ModuleChoice& choice, std::string& problem);

// Does what the shell does for one file and writes the picture as PNG, with texts, to fd. Returns the exit
// status of `tarnel thumbnail`. Run it in a child process (Isolated.h): a hostile file may hang or crash it.
int ExtractPng(const char* input, SIZE size, const ModuleChoice& choice, bool writeIcon, bool verbose, int fd,
               const std::vector<PngText>& texts);

// The file name as the shell would pass it: absolute, as a wide string (see widestr.h).
std::wstring ShellPath(const char* arg);

// "S_OK (0x00000000)" and the like.
std::string DescribeHResult(HRESULT hr);

// A JSON string literal; undecodable file-name bytes become U+FFFD.
std::string JsonString(std::wstring_view text);
