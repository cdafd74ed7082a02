// The `tarnel` command: the shell's part on Linux.
#pragma once

#include "host/Arguments.h"
#include "host/PngWriter.h"
#include "windef.h"

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Exit statuses shared by the commands.
// kExitSetUp: `tarnel cache` stopped for a fault of the set-up (no handler for the suite's files, a module
// that cannot be loaded, a cache that cannot be written), which a file that gave no picture is not.
enum ExitStatus { kExitPicture = 0, kExitNoPicture = 1, kExitUsage = 2, kExitIconOnly = 3, kExitSetUp = 4 };

struct ChildOutcome;
struct ChildAnswer;
struct InfoRecord;

// A file's handler with its module opened for the child, after the parent's own checks: the registry's
// route (or --module), the module's trust (FileChecks.h). The descriptor is the very file that was judged.
struct CheckedHandler {
    CLSID clsid = {};
    std::string module; // its real path
    int fd = -1;
    CheckedHandler() = default;
    CheckedHandler(const CheckedHandler&) = delete;
    CheckedHandler& operator=(const CheckedHandler&) = delete;
    CheckedHandler(CheckedHandler&& other) noexcept;
    CheckedHandler& operator=(CheckedHandler&& other) noexcept;
    ~CheckedHandler();
};
// Finds and checks input's handler. False with a line ready to print in error: no handler, a module that
// cannot be opened or is not to be trusted (a fault of the set-up, found without loading anything).
bool CheckHandler(const char* input, const ModuleChoice& choice, CheckedHandler& handler, std::string& error);

// The reason for a child's outcome without a picture, in the user's words, worded by the parent from the
// child's answer (never from what the child wrote). setUp tells a fault of the set-up from the file's.
std::string NoPictureReason(const CheckedHandler& handler, const ChildOutcome& outcome, double timeout,
                            long memoryMiB, bool* setUp = nullptr);
// What the child wrote on its standard error, one escaped line "tarnel: extractor: ..." a line, for -v.
void RelayChildText(const ChildOutcome& outcome);

// What the info library finds in file, looked at in a bounded, confined child (`tarnel info`). False with
// the reason in why when no record came back.
bool LookAt(const char* file, InfoRecord& record, std::string& why);
// Of a record: why the file cannot be read, and why its mesh shows nothing; null when not.
const char* InfoProblem(const InfoRecord& record);
const char* InfoMeshProblem(const InfoRecord& record);
// Where the size limit in force came from: a settings file ("FILE:LINE"), TARNEL_IGNORE_SIZE,
// TARNEL_SIZE_LIMIT, or "default".
std::string SizeLimitSource(const InfoRecord& record);
// A path as `tarnel info` shows it: its real path when there is such a file, else as given.
std::string ShownPath(const std::string& path);

// The thumbnail cache that file managers share: $XDG_CACHE_HOME/thumbnails (default ~/.cache/thumbnails);
// empty when neither names a folder.
std::string ThumbnailCacheFolder();

// The cache's folders of records, as `tarnel cache` and `tarnel why` look into them: one of entries for each
// size (named after it), then one of failure records for each program (named after it).
struct CacheRecordFolder {
    std::string path, name;
    bool failures;
};
std::vector<CacheRecordFolder> CacheRecordFolders(const std::string& thumbnails);

// What a record of the cache (an entry or a failure record) says of the file with this URI and modification
// time, for a project also written after its studies' newest change (seconds and nanoseconds): current, or
// why not, and who wrote it (Software) when.
struct CacheRecordFacts {
    bool current = false;
    std::string stale; // why it is not current
    std::string software;
    time_t written = 0;
};
CacheRecordFacts ReadCacheRecord(const std::string& png, const std::string& uri, time_t mtime,
                                 std::pair<time_t, long> studies);

// Removes every file of this user's thumbnail cache (entries of every size, failure records) that tarnel
// wrote, as its Software text says; removed counts them. False when one could not be removed.
bool PurgeCache(size_t& removed);

int RunThumbnail(int argc, char** argv);
int RunWhy(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunRegister(int argc, char** argv); // and `tarnel unregister`, by argv[0]
int RunRegistry(int argc, char** argv);
int RunInstall(int argc, char** argv);
int RunUninstall(int argc, char** argv);
int RunCache(int argc, char** argv);

// Calls the module's DllRegisterServer (or DllUnregisterServer) for the user's or the system's classes and
// prints its result; the exit status of `tarnel register`. command names the caller in messages.
int RegisterModule(const std::string& module, bool system, bool unregister, const char* command);

// Does what the shell does for one file and writes the picture as PNG, with texts, to fd; answers the
// parent (ChildAnswer.h) and returns the child's exit status. Run it only in a child process (Isolated.h): a
// hostile file may hang or crash it, or take it over.
int ExtractPng(const char* input, SIZE size, const CheckedHandler& handler, bool writeIcon, bool verbose,
               int fd, const std::vector<PngText>& texts);
