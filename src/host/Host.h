// The `tarnel` command: the shell's part on Linux.
#pragma once

#include "host/Arguments.h"
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

// Does what the shell does for one file and writes the picture as PNG, with texts, to fd. Returns the exit
// status of `tarnel thumbnail`. Run it in a child process (Isolated.h): a hostile file may hang or crash it.
int ExtractPng(const char* input, SIZE size, const ModuleChoice& choice, bool writeIcon, bool verbose, int fd,
               const std::vector<PngText>& texts);
