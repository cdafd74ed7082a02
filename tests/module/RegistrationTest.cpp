// DllRegisterServer and DllUnregisterServer of the built module: the exact entries, repeating, what belongs
// to others, hives that cannot be written, awkward module paths, the type library beside the module, and
// many processes registering at once.
#include "LoadedModule.h"

#include "platform/tarnel/reghive.h"
#include "platform/tarnel/regstore.h"
#include "statreg.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tarnel::reg::RegistryHive;
using tarnel::reg::testing::DenyWritesBelow;

using testutil::Entries;
using testutil::LoadedModule;
using testutil::PrivateHive;
using testutil::PutString;
using testutil::ReadFile;

namespace {

typedef std::set<std::string> Lines;

const std::string kClsid = "{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}";
const std::string kLibId = "{9B2E4F70-1C3D-4A85-B6E2-0D4C7A9F1E63}";
const std::string kHandler = "shellex\\{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";
const char* const kExtensions[] = {".jxe", ".qzt", ".lwq", ".kpz", ".kpv", ".gnw", ".stl", ".tvx", ".ybr"};

// Everything a registration writes under HKEY_CLASSES_ROOT, for a module at `module` whose type library
// was loaded from `typeLibFile`.
Lines Registered(const std::string& module, std::string typeLibFile = std::string()) {
    if (typeLibFile.empty())
        typeLibFile = module;
    const std::string cls = "CLSID\\" + kClsid;
    const std::string lib = "TypeLib\\" + kLibId + "\\1.0";
    const std::string itf = "Interface\\{C41F8E25-7B90-4D36-9E1A-5F2B8C0D7A94}";
    const std::string psoa = "{00020424-0000-0000-C000-000000000046}";
    Lines lines = {
        "Tarnel.TarnelEx.1", "Tarnel.TarnelEx.1|@=sz:TarnelEx Class", "Tarnel.TarnelEx.1\\CLSID",
        "Tarnel.TarnelEx.1\\CLSID|@=sz:" + kClsid, "Tarnel.TarnelEx", "Tarnel.TarnelEx|@=sz:TarnelEx Class",
        "Tarnel.TarnelEx\\CLSID", "Tarnel.TarnelEx\\CLSID|@=sz:" + kClsid, "Tarnel.TarnelEx\\CurVer",
        "Tarnel.TarnelEx\\CurVer|@=sz:Tarnel.TarnelEx.1", "CLSID", cls, cls + "|@=sz:TarnelEx Class",
        cls + "\\ProgID", cls + "\\ProgID|@=sz:Tarnel.TarnelEx.1", cls + "\\VersionIndependentProgID",
        cls + "\\VersionIndependentProgID|@=sz:Tarnel.TarnelEx", cls + "\\Programmable",
        cls + "\\InprocServer32", cls + "\\InprocServer32|@=sz:" + module,
        cls + "\\InprocServer32|ThreadingModel=sz:Apartment", cls + "\\TypeLib",
        cls + "\\TypeLib|@=sz:" + kLibId,
        // the type library and its interface
        "TypeLib", "TypeLib\\" + kLibId, lib, lib + "|@=sz:Tarnel 1.0 Type Library", lib + "\\FLAGS",
        lib + "\\FLAGS|@=sz:0", lib + "\\HELPDIR", lib + "\\HELPDIR|@=sz:", lib + "\\409",
        lib + "\\409\\win64", lib + "\\409\\win64|@=sz:" + typeLibFile, "Interface", itf,
        itf + "|@=sz:ITarnelEx", itf + "\\ProxyStubClsid", itf + "\\ProxyStubClsid|@=sz:" + psoa,
        itf + "\\ProxyStubClsid32", itf + "\\ProxyStubClsid32|@=sz:" + psoa, itf + "\\TypeLib",
        itf + "\\TypeLib|@=sz:" + kLibId, itf + "\\TypeLib|Version=sz:1.0"};
    for (const std::string ext : kExtensions) {
        for (const std::string& line :
             {ext, ext + "|Treatment=dword:1", ext + "|TypeOverlay=sz:", ext + "\\shellex",
              ext + "\\" + kHandler, ext + "\\" + kHandler + "|@=sz:" + kClsid})
            lines.insert(line);
    }
    return lines;
}

// What unregistering leaves of a registration: the NoRemove keys, emptied.
Lines Unregistered() {
    Lines lines = {"CLSID", "TypeLib", "Interface"};
    for (const char* ext : kExtensions)
        lines.insert(ext);
    return lines;
}

Lines Union(Lines a, const Lines& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// Software that was there before us: a file type with its default value and its own handlers.
void PutForeignEntries() {
    PutString(HKEY_CLASSES_ROOT, L".stl", L"", L"stlfile");
    PutString(HKEY_CLASSES_ROOT, L".stl", L"Content Type", L"model/stl");
    PutString(HKEY_CLASSES_ROOT, L".stl\\shellex\\{e357fccd-a995-4576-b01f-234630154e96}", L"",
              L"{00000000-1111-2222-3333-444444444444}");
    PutString(HKEY_CLASSES_ROOT, L".stl\\OpenWithProgids\\stlfile");
}

const Lines kForeign = {
    ".stl|@=sz:stlfile",
    ".stl|Content Type=sz:model/stl",
    ".stl\\shellex",
    ".stl\\shellex\\{e357fccd-a995-4576-b01f-234630154e96}",
    ".stl\\shellex\\{e357fccd-a995-4576-b01f-234630154e96}|@=sz:{00000000-1111-2222-3333-444444444444}",
    ".stl\\OpenWithProgids",
    ".stl\\OpenWithProgids\\stlfile"};

TEST(Registration, WritesExactlyItsEntries) {
    PrivateHive hive;
    LoadedModule m;
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(m.path));
    EXPECT_EQ(Entries(HKEY_LOCAL_MACHINE), Lines{}) << "a registration for this user only";
    RegistryHive parsed;
    EXPECT_TRUE(parsed.Parse(ReadFile(hive.File())));
}

TEST(Registration, RepeatingGivesOneSetWithoutStaleSubkeys) {
    PrivateHive hive;
    LoadedModule m;
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    const std::wstring cls = L"CLSID\\" + testutil::Wide(kClsid);
    PutString(HKEY_CLASSES_ROOT, cls + L"\\LocalServer32", L"", L"/old/server");
    PutString(HKEY_CLASSES_ROOT, cls + L"\\Programmable\\Old");
    PutString(HKEY_CLASSES_ROOT, cls, L"AppID", L"{old}");
    PutString(HKEY_CLASSES_ROOT, L".kpz\\" + testutil::Wide(kHandler), L"", L"{some other class}");
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(m.path));
}

TEST(Registration, UnregisteringTakesOnlyWhatTheScriptOwns) {
    PrivateHive hive;
    LoadedModule m;
    PutForeignEntries();
    PutString(HKEY_CLASSES_ROOT, L".qzt\\shellex\\{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}", L"",
              L"{55555555-6666-7777-8888-999999999999}");
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Union(Registered(m.path), kForeign))
        << "our handler replaced .qzt's";
    // Others extend our keys after we registered.
    PutString(HKEY_CLASSES_ROOT, L"Tarnel.TarnelEx.1\\Extra");
    PutString(HKEY_CLASSES_ROOT, L"CLSID\\" + testutil::Wide(kClsid) + L"\\Implemented Categories");

    ASSERT_EQ(m.DllUnregisterServer(), S_OK);
    const std::string cls = "CLSID\\" + kClsid;
    Lines expected = Union(Unregistered(), kForeign);
    expected.insert({"Tarnel.TarnelEx.1", "Tarnel.TarnelEx.1|@=sz:TarnelEx Class", "Tarnel.TarnelEx.1\\Extra",
                     cls, cls + "|@=sz:TarnelEx Class", cls + "\\Implemented Categories"});
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), expected)
        << "keys others extended survive; the .qzt handler is not restored";
}

TEST(Registration, UnregisteringWhatIsNotThereChangesNothing) {
    PrivateHive hive;
    LoadedModule m;
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
    EXPECT_FALSE(std::filesystem::exists(hive.File()));
    PutForeignEntries();
    const std::string before = ReadFile(hive.File());
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
    EXPECT_EQ(ReadFile(hive.File()), before);
}

TEST(Registration, AFailureTakesBackWhatWasWritten) {
    PrivateHive hive;
    LoadedModule m;
    PutForeignEntries();
    PutString(HKEY_CLASSES_ROOT, L".kpz", L"", L"kpzfile");
    const std::string before = ReadFile(hive.File());

    ASSERT_EQ(::chmod(hive.File().c_str(), 0444), 0);
    EXPECT_EQ(m.DllRegisterServer(), HRESULT(0x80070005)) << "a hive that cannot be written";
    EXPECT_EQ(ReadFile(hive.File()), before);
    ASSERT_EQ(::chmod(hive.File().c_str(), 0644), 0);

    // A key that may not be written half-way through: what was written before it is taken back.
    DenyWritesBelow(L"HKEY_CURRENT_USER\\Software\\Classes\\.kpz");
    const HRESULT hr = m.DllRegisterServer();
    DenyWritesBelow(nullptr);
    EXPECT_EQ(hr, HRESULT(0x80070005));
    Lines expected = Union(kForeign, {"CLSID", ".jxe", ".qzt", ".lwq", ".stl", ".kpz", ".kpz|@=sz:kpzfile"});
    const Lines left = Entries(HKEY_CLASSES_ROOT);
    EXPECT_EQ(left, expected) << "NoRemove keys made before the failure stay, empty; nothing else of ours";
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), left) << "as an unregistration leaves it";
}

TEST(Registration, ModulePathsAreKeptExactly) {
    PrivateHive hive;
    const std::string folder = hive.Dir() / "it's here";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(TARNEL_MODULE, folder + "/libtarnel.so");
    LoadedModule m(folder + "/libtarnel.so");
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(folder + "/libtarnel.so"));
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Unregistered());
}

// The module path must be shorter than 260 characters: a longer one is refused before anything is written.
TEST(Registration, ModulePathOf260CharactersIsRefused) {
    for (size_t length : {259, 260, 300}) {
        PrivateHive hive;
        std::string folder = hive.Dir().path().string();
        const std::string name = "/libtarnel.so";
        while (folder.size() + name.size() < length) {
            const size_t rest = length - name.size() - folder.size();
            size_t piece = std::min<size_t>(100, rest - 1);
            if (rest - 1 - piece == 1) // a single character left over could not be a folder of its own
                --piece;
            folder += "/" + std::string(piece, 'd');
        }
        ASSERT_EQ(folder.size() + name.size(), length);
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(TARNEL_MODULE, folder + name);
        LoadedModule m(folder + name);
        if (length < 260) {
            EXPECT_EQ(m.DllRegisterServer(), S_OK);
            EXPECT_EQ(m.DllUnregisterServer(), S_OK);
        } else {
            EXPECT_EQ(m.DllRegisterServer(), HRESULT(0x8007007A)) << length;
            EXPECT_FALSE(std::filesystem::exists(hive.File())) << length;
        }
    }
}

// Without a type library in the module, the one beside it serves; without either, the script's entries stay
// and the load error is the answer.
TEST(Registration, TypeLibraryBesideTheModule) {
    PrivateHive hive;
    std::string bytes = ReadFile(TARNEL_MODULE);
    const size_t at = bytes.find("TARNEL-TYPELIB 1");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'X';
    const std::string module = hive.Dir() / "libtarnel.so";
    testutil::WriteFile(module, bytes);
    LoadedModule m(module);
    EXPECT_EQ(m.DllRegisterServer(), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT).count("CLSID\\" + kClsid + "\\InprocServer32"), 1u);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT).count("TypeLib\\" + kLibId), 0u);

    std::filesystem::copy_file(TARNEL_TYPELIB_SOURCE, hive.Dir() / "libtarnel.tlb");
    ASSERT_EQ(m.DllRegisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(module, hive.Dir() / "libtarnel.tlb"));
    EXPECT_EQ(m.DllUnregisterServer(), S_OK);
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Unregistered());
}

TEST(Registration, SystemWideRegistrationGoesToTheSystemsClasses) {
    PrivateHive hive;
    LoadedModule m;
    AtlSetPerUserRegistration(false);
    const HRESULT hr = m.DllRegisterServer();
    AtlSetPerUserRegistration(true);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(Entries(HKEY_LOCAL_MACHINE, L"Software\\Classes"), Registered(m.path));
    EXPECT_EQ(Entries(HKEY_CURRENT_USER), Lines{});
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(m.path));
}

// Eight processes register and unregister 50 times each, all ending with a registration: every change is
// one locked read-modify-write, so the hive reads as one whole registration afterwards.
TEST(Registration, ManyProcessesLeaveOneConsistentHive) {
    PrivateHive hive;
    LoadedModule m;
    constexpr int kProcesses = 8, kCalls = 50;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kCalls; ++i)
                failures += FAILED(i % 2 == 0 ? m.DllUnregisterServer() : m.DllRegisterServer()) ? 1 : 0;
            ::_exit(failures);
        }
        if (pid > 0)
            children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ASSERT_EQ(children.size(), size_t(kProcesses));
    RegistryHive parsed;
    EXPECT_TRUE(parsed.Parse(ReadFile(hive.File())));
    EXPECT_EQ(Entries(HKEY_CLASSES_ROOT), Registered(m.path));
}

} // namespace
