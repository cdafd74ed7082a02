// Where the registry's hives live and how changes reach them.
//
// HKEY_CURRENT_USER is kept in the user's hive file, HKEY_LOCAL_MACHINE in the system's; TARNEL_REGISTRY
// names one file that keeps both instead. A session reads each hive file once; a session that writes first
// takes the hive's lock (a lock file beside it), so that everything it reads and changes is one
// read-modify-write, and Commit replaces the file atomically (write a new file, flush it, rename it over the
// old one): a writer that dies at any point leaves the old hive or the new one, never a torn one.
#pragma once

#include "platform/tarnel/own.h"

#include "platform/tarnel/reghive.h"
#include "winerror.h"

#include <optional>
#include <string>
#include <vector>

namespace tarnel::reg {

enum class RegRoot { CurrentUser, LocalMachine };

struct RegKeyPath {
    RegRoot root;
    std::vector<std::wstring> parts; // below the root key
};

TARNEL_API const wchar_t* RootName(RegRoot root);

// The file that keeps a root: TARNEL_REGISTRY when set; otherwise $XDG_DATA_HOME/tarnel/registry.reg
// (~/.local/share/...) for the user and /var/lib/tarnel/registry.reg for the system.
TARNEL_API std::string HiveFile(RegRoot root);

// Where HKEY_CLASSES_ROOT's writes go: the user's classes (HKEY_CURRENT_USER\Software\Classes) unless
// per-user registration is turned off (AtlSetPerUserRegistration), then the system's.
TARNEL_API RegKeyPath ClassesWritePath();

class RegistrySession {
public:
    // A session that may change the hive holding `writeRoot`; other roots it may only read.
    TARNEL_API explicit RegistrySession(std::optional<RegRoot> writeRoot = std::nullopt);
    // Drops what was not committed and gives the lock back.
    TARNEL_API ~RegistrySession();
    RegistrySession(const RegistrySession&) = delete;
    RegistrySession& operator=(const RegistrySession&) = delete;

    // The key, or null when it does not exist. Fails when its hive cannot be read (ERROR_BADDB: damaged).
    TARNEL_API LONG Find(const RegKeyPath& path, const RegKeyNode*& node);

    // Changes, each in the session's copy until Commit. They fail with ERROR_ACCESS_DENIED when the hive
    // cannot be written (its file or folder is read-only, or the file has no write permission at all).
    TARNEL_API LONG Create(const RegKeyPath& path, bool* created = nullptr);
    TARNEL_API LONG SetValue(const RegKeyPath& path, RegValue value);
    // ERROR_FILE_NOT_FOUND when there is no such value (nothing is written then).
    TARNEL_API LONG DeleteValue(const RegKeyPath& path, std::wstring_view name);
    // ERROR_ACCESS_DENIED when the key still has subkeys, as the registry answers.
    TARNEL_API LONG DeleteKey(const RegKeyPath& path);
    // The key with everything below it; with keepKey, only its values and subkeys.
    TARNEL_API LONG DeleteTree(const RegKeyPath& path, bool keepKey = false);

    // Writes the changed hive; nothing is written when nothing changed.
    TARNEL_API LONG Commit();

private:
    struct Hive;
    LONG Open(RegRoot root, Hive*& hive);
    LONG Modify(const RegKeyPath& path, RegKeyNode*& node, Hive*& hive, LONG missing = ERROR_SUCCESS);
    LONG CheckWritable(const Hive* hive, const RegKeyPath& path) const;

    std::optional<RegRoot> m_writeRoot;
    std::vector<Hive*> m_hives;
};

#ifdef TARNEL_TEST_HOOKS
namespace testing {

// Test seams for the hive's crash safety and for the registrar's take-back, usable only from the process's
// own code. Only the tests' build of the library has them (TARNEL_TEST_HOOKS); the one that is installed has
// neither the functions nor their checks. Steps of replacing a hive file are counted over the whole process
// from 1 on; the process kills itself (SIGKILL) on reaching step n (0: never). The steps of one replacement:
// 1 lock taken and hive read, 2 half of the new file written, 3 new file written, 4 new file flushed, 5
// renamed over the old one.
TARNEL_API void KillWriterAtStep(int n);
// Changes to that key (a full path such as L"HKEY_CURRENT_USER\\Software\\Classes\\.kpz") and to
// everything below it fail with ERROR_ACCESS_DENIED, as for a key whose permissions forbid writing; null
// ends this.
TARNEL_API void DenyWritesBelow(LPCWSTR keyPath);

} // namespace testing
#endif

} // namespace tarnel::reg
