// The `tarnel` command line as data: every command and sub-command with its options, arguments and help.
// host/CommandLine.* parses every command line from these tables and prints every --help from them; a manual
// page or a shell completion can be written from them as well. Plain data, depending on nothing else.
#pragma once

#include <span>

namespace tarnel::cli {

struct Option {
    char shortName;        // '\0' when the option has none
    const char* longName;  // without the dashes
    const char* valueName; // the value as the help names it ("SECONDS"); null for an option without a value
    const char* help;
    bool repeatable = false;       // may be given more than once (each value counts)
    int group = 0;                 // options of one group (> 0) exclude each other
    const char* choices = nullptr; // the values it takes, separated by spaces, when they are few
};

struct Argument {
    const char* name;        // as the help names it ("INPUT")
    bool optional = false;   // may be left out
    bool repeatable = false; // takes every remaining argument
};

struct Command {
    const char* name;
    const char* summary;     // one line for the list of commands
    const char* description; // paragraphs, separated by an empty line; the help wraps them
    std::span<const Option> options;
    std::span<const Argument> arguments;
    std::span<const Command> commands; // sub-commands: the first argument names one, the rest are its own
    const char* epilogue = nullptr;    // a last paragraph (exit statuses, notes)
    int requiredGroup = 0;             // one option of this group must be given
};

// Every command takes -h and --help: its help on standard output, exit status 0. The help does not list it.
inline constexpr Option kHelp = {'h', "help", nullptr, "print this help"};

inline constexpr char kMemoryHelp[] =
    "give up on a file that needs more memory (default 1024, or TARNEL_MEMORY_LIMIT; 0: no limit)";
inline constexpr char kTimeoutHelp[] = "give up on a file that takes longer (default 10, 0: no limit)";
inline constexpr char kClsidHelp[] = "the class --module serves (default tarnel's own)";

inline constexpr Option kThumbnailOptions[] = {
    {'s', "size", "SIZE",
     "N: a square of N x N pixels (default 256, at most 4096); WxH: W pixels wide, H high"},
    {'\0', "timeout", "SECONDS", kTimeoutHelp},
    {'\0', "memory", "MIB", kMemoryHelp},
    {'\0', "icon", nullptr, "also write the icon fallback's picture (exit status 3)"},
    {'\0', "module", "PATH", "ask this in-process server instead of the registry's"},
    {'\0', "clsid", "{...}", kClsidHelp},
    {'v', "verbose", nullptr, "print each call and its result on stderr"},
};
inline constexpr Argument kThumbnailArguments[] = {{"INPUT"}, {"OUTPUT.png"}};

inline constexpr Option kInfoOptions[] = {{'\0', "json", nullptr, "one JSON object instead of text"}};
inline constexpr Argument kInfoArguments[] = {{"FILE"}};

inline constexpr Option kWhyOptions[] = {
    {'\0', "json", nullptr, "one JSON object a line, one for each FILE"}};
inline constexpr Argument kWhyArguments[] = {{"FILE", false, true}};

inline constexpr Option kRegisterOptions[] = {
    {'\0', "system", nullptr, "the system's registry instead of the user's"}};
inline constexpr Argument kRegisterArguments[] = {{"MODULE", true}};
inline constexpr char kRegisterDescription[] =
    "Loads the in-process server MODULE (default: the libtarnel.so built or installed with this command), "
    "calls its DllRegisterServer and prints the result code: the module writes the entries that route the "
    "suite's extensions to its class. Entries go to the user's registry, or with --system to the system's; "
    "TARNEL_REGISTRY names one registry file instead of both. 'tarnel install' registers too, and writes "
    "what file managers read.";
inline constexpr char kUnregisterDescription[] =
    "Loads the in-process server MODULE (default: the libtarnel.so built or installed with this command), "
    "calls its DllUnregisterServer and prints the result code: the module removes the entries it wrote. "
    "From the user's registry, or with --system from the system's; TARNEL_REGISTRY names one registry file "
    "instead of both.";
inline constexpr char kRegisterEpilogue[] =
    "Exit status: 0 the export succeeded, 1 it failed or the module did not load, 2 bad usage.";

inline constexpr Option kDumpOptions[] = {
    {'\0', "user", nullptr, "only the user's classes", false, 1},
    {'\0', "system", nullptr, "only the system's classes", false, 1},
};
inline constexpr Argument kDumpArguments[] = {{"KEY", true, true}};
inline constexpr Command kRegistryCommands[] = {
    {"dump",
     "print HKEY_CLASSES_ROOT (or part of it) as regedit exports it",
     "Prints HKEY_CLASSES_ROOT (the user's classes laid over the system's), or only the user's or the "
     "system's, in regedit's export format; with KEYs (such as .stl or CLSID\\{...}), only those keys and "
     "what is below them.",
     kDumpOptions,
     kDumpArguments,
     {}},
    {"where", "print the registry files in use", "Prints the registry files in use.", {}, {}, {}},
};

inline constexpr Option kInstallOptions[] = {
    {'\0', "user", nullptr,
     "for this user: $XDG_DATA_HOME (default ~/.local/share) and the user's registry (the default)", false,
     1},
    {'\0', "system", nullptr,
     "for everybody: DIR/share, DIR being /usr/local unless --prefix says otherwise, and the system's "
     "registry",
     false, 1},
    {'\0', "prefix", "DIR", "the system-wide prefix (implies --system)"},
    {'\0', "module", "PATH", "the in-process server (default: the libtarnel.so installed with this command)"},
};
inline constexpr Option kUninstallOptions[] = {
    kInstallOptions[0],
    kInstallOptions[1],
    kInstallOptions[2],
    kInstallOptions[3],
    {'\0', "purge", nullptr,
     "also remove what tarnel wrote into this user's thumbnail cache (entries and failure records that name "
     "tarnel as their writer; other programs' stay)"},
};
inline constexpr char kInstallDescription[] =
    "Registers the in-process server (as 'tarnel register' does), then writes one thumbnailer entry for each "
    "registered server, listing the MIME types of the extensions routed to it and served by the settings' "
    "Formats, and the MIME definitions of the suite's files, and updates the MIME database. For this user "
    "(the default) Dolphin's saved list of preview plugins gains tarnel's. Run it again after changing "
    "Formats.";
inline constexpr char kUninstallDescription[] =
    "Removes the thumbnailer entries and MIME definitions that 'tarnel install' wrote (never another "
    "program's), updates the MIME database, takes tarnel out of Dolphin's saved list, and unregisters the "
    "server. With --purge, the thumbnails and failure records tarnel wrote into this user's cache go too.";
inline constexpr char kInstallEpilogue[] =
    "GNOME runs thumbnailers in a sandbox that sees only /usr: for GNOME Files, install the command under "
    "/usr "
    "(cmake --install with a prefix in /usr) and run 'tarnel install --system' from there.";

inline constexpr Option kCacheOptions[] = {
    {'s', "size", "NAME", "normal (128), large (256, the default), x-large (512), xx-large (1024)", false, 0,
     "normal large x-large xx-large"},
    {'j', "jobs", "N", "files made at once (default: the number of processors)"},
    {'\0', "timeout", "SECONDS", kTimeoutHelp},
    {'\0', "memory", "MIB", kMemoryHelp},
    {'\0', "retry-failed", nullptr, "try again the files recorded as failed"},
    {'\0', "module", "PATH", "ask this in-process server instead of the registry's handlers"},
    {'\0', "clsid", "{...}", kClsidHelp},
    {'\0', "list", "FILE",
     "also the paths in FILE, one a line ('#' starts a comment; a missing FILE is an empty list)", true},
    {'q', "quiet", nullptr, "a line only for the files that went wrong, and the summary", false, 1},
    {'v', "verbose", nullptr, "a line for every file, also for those left as they were", false, 1},
    {'\0', "forget", nullptr,
     "instead of making thumbnails, remove tarnel's entries (of every size) and failure records for the "
     "files"},
};
inline constexpr Argument kCacheArguments[] = {{"PATH", true, true}};

inline constexpr Option kShaderCacheOptions[] = {
    {'\0', "prepare", nullptr, "render a mesh once and keep the shaders it compiled in DIR", false, 1},
    {'\0', "remove", nullptr, "take the prepared shaders away", false, 1},
    {'\0', "where", nullptr, "print DIR and the shader cache a run uses now", false, 1},
    {'\0', "into", "DIR",
     "the prepared shaders' folder (default PREFIX/lib/<multiarch>/tarnel/shader-cache)"},
    {'\0', "module", "PATH",
     "the in-process server that renders (default: the one installed with this command)"},
};

inline constexpr Command kCommands[] = {
    {"thumbnail",
     "write the thumbnail of INPUT as a PNG (exit 0 picture, 1 none, 2 usage, 3 only the icon fallback, "
     "written because --icon asked for it)",
     "Writes the thumbnail of INPUT as an 8-bit RGB PNG (RGBA for a mesh on a transparent background, when "
     "the "
     "settings' TransparentMeshes is on) no larger than the size asked for (OUTPUT '-': to "
     "standard output). The handler registered for INPUT's extension makes it, as the shell would ask it. An "
     "OUTPUT that is a link, device, FIFO or folder is never written.",
     kThumbnailOptions,
     kThumbnailArguments,
     {},
     "Exit status: 0 a picture was written, 1 no picture, 2 bad usage (an OUTPUT that cannot be written "
     "too), 3 "
     "only the icon."},
    {"info",
     "what the extractor sees in FILE and why",
     "Prints what the extractor sees in FILE: its kind, the size limit's verdict with the limit in force and "
     "where it came from, and for a project the studies it names.",
     kInfoOptions,
     kInfoArguments,
     {}},
    {"why",
     "what the desktop does with FILE and why",
     "For each FILE: its MIME type and the thumbnailer entry that claims it (the first in the order file "
     "managers look, tarnel's or another program's), whether the settings leave its format to others, its "
     "kind and what decided it, the size limit's verdict and where the limit comes from, a project's studies "
     "with the missing ones marked, the thumbnail cache's entries for each size and whether they are "
     "current, "
     "failure records (whose, since when, and how to clear them), and what an extraction gives now.",
     kWhyOptions,
     kWhyArguments,
     {},
     "Exit status: 0 every FILE was looked at, 1 some could not be read, 2 bad usage."},
    {"register",
     "call the module's DllRegisterServer",
     kRegisterDescription,
     kRegisterOptions,
     kRegisterArguments,
     {},
     kRegisterEpilogue},
    {"unregister",
     "call the module's DllUnregisterServer",
     kUnregisterDescription,
     kRegisterOptions,
     kRegisterArguments,
     {},
     kRegisterEpilogue},
    {"registry",
     "what the registry holds",
     "A look at the registry that routes files to their handlers.",
     {},
     {},
     kRegistryCommands},
    {"install",
     "the thumbnailer entry and MIME definitions for file managers",
     kInstallDescription,
     kInstallOptions,
     {},
     {},
     kInstallEpilogue},
    {"uninstall", "removes them again", kUninstallDescription, kUninstallOptions, {}, {}, kInstallEpilogue},
    {"cache",
     "fills the thumbnail cache that file managers share",
     "Puts the thumbnails of the files named, and of the suite's files in the folders named, into the "
     "thumbnail cache that file managers share ($XDG_CACHE_HOME/thumbnails, default ~/.cache/thumbnails). "
     "Entries that are up to date are kept, whoever wrote them; a project's entry is made again when one of "
     "its studies changed. A file that the registered handler ran on and that gave no picture is recorded as "
     "failed, as GNOME records it, and not tried again unless it is named itself or --retry-failed is given. "
     "Files that no handler is registered for are skipped. A fault of the set-up (no handler for the suite's "
     "files, a module that cannot be loaded, a cache that cannot be written) stops the run and changes "
     "nothing in the cache.",
     kCacheOptions,
     kCacheArguments,
     {},
     "Not on a terminal, only the files that changed or went wrong get a line, and the summary; stopped by a "
     "signal (Ctrl-C), it says what it did so far. Exit status: "
     "0 every file has a thumbnail or was skipped, 1 some gave none, 2 bad usage, 4 the set-up failed (the "
     "cache is as it was)."},
    {"shader-cache",
     "compiled shaders for mesh previews, kept under the prefix",
     "--prepare renders a mesh once and keeps the shaders it compiled in DIR, where every later mesh preview "
     "reads them, also in GNOME's thumbnailer sandbox, which can keep no shader cache of its own. --remove "
     "takes them away; --where prints DIR and the shader cache a run uses now.",
     kShaderCacheOptions,
     {},
     {},
     nullptr,
     1},
};

inline constexpr Option kTarnelOptions[] = {{'\0', "version", nullptr, "print the version"}};

// The command itself: its options, then a command's name and that command's arguments.
inline constexpr Command kTarnel = {
    "tarnel",
    "thumbnails for the suite's files",
    "Thumbnails for the suite's study, project and mesh files.",
    kTarnelOptions,
    {},
    kCommands,
    "Run 'tarnel COMMAND --help' for a command's options, 'tarnel --version' for the version."};

} // namespace tarnel::cli
