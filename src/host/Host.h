// The `tarnel` command: the shell's part on Linux.
#pragma once

#include "host/Arguments.h"
#include "host/PngWriter.h"
#include "windef.h"

#include <string>
#include <string_view>

// Exit statuses shared by the commands.
enum ExitStatus { kExitPicture = 0, kExitNoPicture = 1, kExitUsage = 2, kExitIconOnly = 3 };

// How an extraction child tells its parent why it gave no picture (ExtractPng's other results).
enum ChildStatus {
    kChildSetUpFault = 20,   // no handler, a module that cannot be loaded, no rendering here: said on stderr
    kChildNoPicture = 21,    // the handler ran and gave none: the parent says why (NoPictureReason)
    kChildNothingDrawn = 22, // a mesh preview holding only its background
    kChildToldWhy = 23,      // the handler refused the file or ran out of memory: said on stderr
};

struct ChildOutcome;
// The reason for a child's outcome without a picture, in the user's words; empty when the child said it.
std::string NoPictureReason(const char* input, const ChildOutcome& outcome, double timeout, long memoryMiB);

int RunThumbnail(int argc, char** argv);
int RunRegister(int argc, char** argv); // and `tarnel unregister`, by argv[0]
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
