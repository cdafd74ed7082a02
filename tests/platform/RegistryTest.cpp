// The registry functions over hive files: keys and values, HKEY_CLASSES_ROOT's two layers, where the hives
// live, hives that may not be written or cannot be read, and a writer killed at any step.
#include "RegistryTestUtil.h"

#include "platform/tarnel/regstore.h"
#include "statreg.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using tarnel::reg::HiveFile;
using tarnel::reg::RegRoot;
using tarnel::reg::testing::KillWriterAtStep;

using testutil::Entries;
using testutil::PrivateHive;
using testutil::PutString;
using testutil::ReadFile;
using testutil::ScopedEnv;

namespace {

typedef std::set<std::string> Lines;

LONG SetDword(HKEY h, const wchar_t* name, DWORD v) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LONG Create(HKEY root, const wchar_t* path, HKEY* out, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, out, disposition);
}

// Turns per-user registration off for the scope.
struct SystemWide {
    SystemWide() { AtlSetPerUserRegistration(false); }
    ~SystemWide() { AtlSetPerUserRegistration(true); }
};

TEST(Registry, KeysAndValues) {
    PrivateHive hive;
    HKEY key = nullptr, again = nullptr, parent = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"Software\\Tarnel\\Deep\\", &key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(Create(HKEY_CURRENT_USER, L"software\\TARNEL\\deep", &again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(SetDword(key, L"Count", 7), ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExW(again, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"hello"), 6 * sizeof(WCHAR)),
        ERROR_SUCCESS);

    DWORD type = 0, size = 0, count = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 6 * sizeof(WCHAR));
    WCHAR small[2];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<LPBYTE>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6 * sizeof(WCHAR)) << "the size needed";
    size = sizeof count;
    EXPECT_EQ(RegQueryValueExW(key, L"COUNT", nullptr, &type, reinterpret_cast<LPBYTE>(&count), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(RegQueryValueExW(key, L"missing", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    PutString(HKEY_CURRENT_USER, L"Software\\Tarnel\\b");
    PutString(HKEY_CURRENT_USER, L"Software\\Tarnel\\A");
    PutString(HKEY_CURRENT_USER, L"Software\\Tarnel\\c");
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tarnel", 0, KEY_READ, &parent), ERROR_SUCCESS);
    std::vector<std::wstring> names;
    WCHAR name[16];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 16;
        if (RegEnumKeyExW(parent, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, cch);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A", L"b", L"c", L"Deep"}))
        << "by name, without regard to case";
    DWORD cch = 1;
    EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tarnel"), ERROR_ACCESS_DENIED) << "it has subkeys";
    EXPECT_EQ(RegDeleteValueW(key, L"count"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, L"count"), ERROR_FILE_NOT_FOUND);
    const wchar_t highSurrogate[] = L"\xD800";
    EXPECT_EQ(RegSetValueExW(key, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(highSurrogate),
                             sizeof highSurrogate),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\\\Tarnel", 0, KEY_READ, &again),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tarnel"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(Entries(HKEY_CURRENT_USER), Lines{"Software"});

    for (HKEY h : {key, parent})
        EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a closed handle is refused, not followed";
}

TEST(Registry, ClassesRootIsTheUsersClassesOverTheSystems) {
    PrivateHive hive;
    PutString(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.kpz", L"", L"system type");
    PutString(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.kpz", L"Content Type", L"text/plain");
    PutString(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.kpz\\SystemOnly");
    PutString(HKEY_CURRENT_USER, L"Software\\Classes\\.kpz", L"", L"user type");
    PutString(HKEY_CURRENT_USER, L"Software\\Classes\\.KPZ\\UserOnly");
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT),
              (Lines{".kpz", ".kpz|@=sz:user type", ".kpz|Content Type=sz:text/plain", ".kpz\\SystemOnly",
                     ".kpz\\UserOnly"}));

    PutString(HKEY_CLASSES_ROOT, L".stl", L"", L"mine");
    {
        SystemWide system;
        PutString(HKEY_CLASSES_ROOT, L".ybr", L"", L"everyone's");
    }
    EXPECT_EQ(Entries(HKEY_CURRENT_USER, L"Software\\Classes\\.stl"), Lines{"|@=sz:mine"});
    EXPECT_EQ(Entries(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.ybr"), Lines{"|@=sz:everyone's"});
    EXPECT_EQ(Entries(HKEY_CURRENT_USER, L"Software\\Classes").count(".ybr"), 0u);
}

TEST(Registry, ReadOnlyAndDamagedHivesAreNeverWritten) {
    PrivateHive hive;
    PutString(HKEY_CURRENT_USER, L"Software\\Kept", L"v", L"1");
    const std::string before = ReadFile(hive.File());
    // No write permission at all makes a hive read-only, for root as well.
    ASSERT_EQ(::chmod(hive.File().c_str(), 0444), 0);
    HKEY h = nullptr;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"Software\\New", &h), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kept"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(HKEY_CURRENT_USER, L"absent"), ERROR_FILE_NOT_FOUND) << "nothing to write";
    EXPECT_EQ(Entries(HKEY_CURRENT_USER, L"Software"), (Lines{"Kept", "Kept|v=sz:1"}));
    EXPECT_EQ(ReadFile(hive.File()), before);

    ASSERT_EQ(::chmod(hive.File().c_str(), 0644), 0);
    const std::string damaged = before.substr(0, before.size() - 3) + "\"cut";
    testutil::WriteFile(hive.File(), damaged);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &h), ERROR_BADDB);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, L"Software\\New", &h), ERROR_BADDB);
    EXPECT_EQ(ReadFile(hive.File()), damaged) << "a damaged hive is left for a person to look at";
}

TEST(Registry, HiveFilesFollowTheEnvironment) {
    ScopedEnv none("TARNEL_REGISTRY", std::nullopt);
    ScopedEnv data("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(HiveFile(RegRoot::CurrentUser), "/data/home/tarnel/registry.reg");
    EXPECT_EQ(HiveFile(RegRoot::LocalMachine), "/var/lib/tarnel/registry.reg");
    {
        ScopedEnv relative("XDG_DATA_HOME", "relative/data");
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(HiveFile(RegRoot::CurrentUser), "/home/someone/.local/share/tarnel/registry.reg");
    }
    ScopedEnv one("TARNEL_REGISTRY", "/tmp/one.reg");
    EXPECT_EQ(HiveFile(RegRoot::CurrentUser), "/tmp/one.reg");
    EXPECT_EQ(HiveFile(RegRoot::LocalMachine), "/tmp/one.reg");
}

// A writer killed at each step of replacing the hive leaves the old hive or the new one, whole; the next
// writer is not held up by its lock or by the file it left half written.
TEST(Registry, AKilledWriterLeavesTheOldHiveOrTheNew) {
    PrivateHive hive;
    PutString(HKEY_CURRENT_USER, L"Software\\Tarnel", L"Version", L"old");
    const std::string oldText = ReadFile(hive.File());
    std::string newText;
    {
        PrivateHive other;
        testutil::WriteFile(other.File(), oldText);
        PutString(HKEY_CURRENT_USER, L"Software\\Tarnel", L"Version", std::wstring(200, L'n'));
        newText = ReadFile(other.File());
    }
    ASSERT_NE(oldText, newText);

    for (int step = 1; step <= 5; ++step) {
        testutil::WriteFile(hive.File(), oldText);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            KillWriterAtStep(step);
            const std::wstring text(200, L'n');
            HKEY h = nullptr;
            RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tarnel", 0, KEY_ALL_ACCESS, &h);
            RegSetValueExW(h, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           DWORD((text.size() + 1) * sizeof(WCHAR)));
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "step " << step;
        EXPECT_EQ(ReadFile(hive.File()), step < 5 ? oldText : newText) << "step " << step;

        PutString(HKEY_CURRENT_USER, L"Software\\Tarnel", L"After", L"yes");
        EXPECT_EQ(Entries(HKEY_CURRENT_USER, L"Software\\Tarnel").count("|After=sz:yes"), 1u)
            << "step " << step;
    }
}

} // namespace
