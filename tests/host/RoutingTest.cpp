// How `tarnel thumbnail` finds the module for a file, as the shell does: extension, handler class,
// InprocServer32, exports, class object. Each way that can fail has its own clear message and exit status 1;
// two products' modules are each asked for their own extensions.
#include "Command.h"
#include "RegistryTestUtil.h"
#include "confine/Confine.h"
#include "host/Formats.h"
#include "host/Handlers.h"
#include "platform/tarnel/widestr.h"

#include "confine/Sanitizer.h"
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <set>

using tarnel::plat::NarrowFileName;
using testutil::PrivateHive;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const wchar_t kHandler[] = L"\\shellex\\{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}";
const std::string kSecondClsid = "{6C1F0D2E-9A47-4E0B-8D31-2F5C7B9E0A16}";

using Result = testutil::CommandResult;

Result Tarnel(const std::string& args) {
    return testutil::RunCommand(std::string(TARNEL_BINARY) + " " + args + " 2>&1");
}

void SetDefault(const std::wstring& key, const std::string& value) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    const std::wstring wide = testutil::Wide(value);
    ASSERT_EQ(RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                             DWORD((wide.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(h);
}

// Routes the extension to the class, and the class to the module.
void Route(const std::wstring& extension, const std::string& clsid, const std::string& module) {
    SetDefault(extension + kHandler, clsid);
    SetDefault(L"CLSID\\" + testutil::Wide(clsid) + L"\\InprocServer32", module);
}

bool Has(const Result& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
}

// Counts the pixels of the PNG that are pure red; -1 when it is no PNG.
long RedPixels(const std::string& png, int& width, int& height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
    if (pixbuf == nullptr)
        return -1;
    width = gdk_pixbuf_get_width(pixbuf);
    height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    long red = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const guchar* p = pixels + y * stride + x * channels;
            red += p[0] == 255 && p[1] == 0 && p[2] == 0;
        }
    g_object_unref(pixbuf);
    return red;
}

TEST(Routing, EachBrokenLinkHasItsOwnMessage) {
    PrivateHive hive;
    TempDir dir;
    Route(L".gone", "{11111111-2222-3333-4444-555555555555}", "/nonexistent/libgone.so");
    Route(L".noexp", "{11111111-2222-3333-4444-666666666666}", TARNEL_NO_EXPORTS);
    Route(L".other", "{11111111-2222-3333-4444-777777777777}", TARNEL_MODULE);
    SetDefault(L".bad" + std::wstring(kHandler), "not a class");
    SetDefault(std::wstring(L".noserver") + kHandler, "{11111111-2222-3333-4444-888888888888}");
    // Modules that someone else could have put there are not loaded: one named relative to wherever the host
    // runs, and one in a folder that anybody may write (unlike /tmp, no sticky bit).
    Route(L".rel", "{11111111-2222-3333-4444-999999999999}", "libsecond_module.so");
    std::filesystem::create_directory(dir / "open");
    std::filesystem::copy_file(TARNEL_SECOND_MODULE, dir / "open/libsecond_module.so");
    ::chmod((dir / "open").c_str(), 0777);
    Route(L".open", kSecondClsid, dir / "open/libsecond_module.so");
    struct Case {
        const char* file;
        const char* message;
    } cases[] = {
        {"a.abc", "no thumbnail handler is registered for .abc"},
        {"noextension", "no thumbnail handler: noextension has no extension"},
        {"a.gone", "cannot load /nonexistent/libgone.so"},
        {"a.noexp", "is no in-process server: DllGetClassObject or DllCanUnloadNow is missing"},
        {"a.other", "does not serve the class {11111111-2222-3333-4444-777777777777}: DllGetClassObject "
                    "answered CLASS_E_CLASSNOTAVAILABLE (0x80040111)"},
        {"a.bad", "the thumbnail handler registered for .bad is no class identifier: 'not a class'"},
        {"a.noserver", "names no module (no CLSID\\{11111111-2222-3333-4444-888888888888}\\InprocServer32)"},
        {"a.rel", "the module libsecond_module.so is not loaded: libsecond_module.so is not named by an "
                  "absolute path"},
        {"a.open", "/open may be changed by other users (mode 0777)"},
    };
    for (const Case& c : cases) {
        WriteFile(dir / c.file, "content");
        // From the module's own folder, where a relative name would find it.
        Result r = testutil::RunCommand(
            "cd " + std::filesystem::path(TARNEL_SECOND_MODULE).parent_path().string() + " && " +
            TARNEL_BINARY + " thumbnail " + (dir / c.file) + " " + (dir / "out.png") + " 2>&1");
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_TRUE(Has(r, c.message)) << c.file << ": " << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line: " << r.out;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
    }
}

TEST(Routing, TwoModulesAreAskedForTheirOwnExtensions) {
    PrivateHive hive;
    TempDir dir;
    ASSERT_EQ(Tarnel("register " + std::string(TARNEL_MODULE)).status, 0);
    Route(L".red", kSecondClsid, TARNEL_SECOND_MODULE);
    WriteFile(dir / "part.RED", "anything");
    WriteFile(dir / "mesh.stl",
              "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
              "endloop\nendfacet\nendsolid s\n");

    Result r = Tarnel("thumbnail -v -s 64 " + (dir / "part.RED") + " " + (dir / "red.png"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "handler " + kSecondClsid + " in " + TARNEL_SECOND_MODULE)) << r.out;
    EXPECT_TRUE(Has(r, "DllCanUnloadNow -> S_OK, module unloaded")) << r.out;
    int w = 0, h = 0;
    EXPECT_EQ(RedPixels(dir / "red.png", w, h), 64 * 64);

    r = Tarnel("thumbnail -v -s 64 " + (dir / "mesh.stl") + " " + (dir / "mesh.png"));
    if (r.status == 0) { // the mesh needs off-screen OpenGL
        EXPECT_TRUE(Has(r, "in " + std::string(TARNEL_MODULE))) << r.out;
        EXPECT_LT(RedPixels(dir / "mesh.png", w, h), 64 * 64 / 2);
    } else {
        EXPECT_TRUE(Has(r, "meshes need off-screen OpenGL")) << r.out;
    }

    // --module asks the module named, whatever the registry says.
    r = Tarnel("thumbnail --size 40x30 --module " + std::string(TARNEL_SECOND_MODULE) + " --clsid " +
               kSecondClsid + " " + (dir / "mesh.stl") + " " + (dir / "forced.png"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(RedPixels(dir / "forced.png", w, h), 40 * 30);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
}

TEST(Routing, ModuleOptionNeedsNoRegistry) {
    testutil::ScopedEnv none("TARNEL_REGISTRY", "/nonexistent/registry.reg");
    TempDir dir;
    WriteFile(dir / "plate.qzt", "no picture here");
    Result r = Tarnel("thumbnail --icon --module " + std::string(TARNEL_MODULE) + " " + (dir / "plate.qzt") +
                      " " + (dir / "icon.png"));
    EXPECT_EQ(r.status, 3) << r.out;
    r = Tarnel("thumbnail " + (dir / "plate.qzt") + " " + (dir / "icon.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r, "no thumbnail handler is registered for .qzt")) << r.out;
    EXPECT_EQ(Tarnel("thumbnail --clsid nonsense a.qzt b.png").status, 2);
    EXPECT_EQ(Tarnel("thumbnail a.qzt b.png --module").status, 2);
}

TEST(Routing, FailingCallsAreNamedAndAHangIsCutOff) {
    PrivateHive hive;
    TempDir dir;
    Route(L".red", kSecondClsid, TARNEL_SECOND_MODULE);
    WriteFile(dir / "refuse.red", "x");
    Result r = Tarnel("thumbnail " + (dir / "refuse.red") + " " + (dir / "out.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r, "IPersistFile::Load answered E_INVALIDARG (0x80070057)")) << r.out;

    WriteFile(dir / "hang.red", "x");
    const auto start = std::chrono::steady_clock::now();
    r = Tarnel("thumbnail --timeout 1 " + (dir / "hang.red") + " " + (dir / "out.png"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r, "gave up after 1 seconds")) << r.out;
    EXPECT_LT(seconds, 10);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
}

// One entry for each registered module, listing the MIME types of exactly its extensions; uninstall takes
// tarnel's away and keeps what it did not write.
TEST(Routing, InstallWritesOneEntryForEachModule) {
    PrivateHive hive;
    TempDir dir;
    testutil::ScopedEnv data("XDG_DATA_HOME", dir / "data");
    Route(L".xcf", kSecondClsid, TARNEL_SECOND_MODULE);
    Route(L".unknownext", kSecondClsid, TARNEL_SECOND_MODULE);
    std::filesystem::create_directories(dir / "data/thumbnailers");
    WriteFile(dir / "data/thumbnailers/tarnel-other.thumbnailer", "[Thumbnailer Entry]\n");
    Result r = Tarnel("install --module " + std::string(TARNEL_MODULE));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "no MIME type is known for .unknownext")) << r.out;
    const std::string second = testutil::ReadFile(dir / "data/thumbnailers/tarnel-second_module.thumbnailer");
    EXPECT_TRUE(Has({0, second}, "--module " + std::string(TARNEL_SECOND_MODULE) + " --clsid " +
                                     kSecondClsid + " -s %s %i %o\n"))
        << second;
    EXPECT_TRUE(Has({0, second}, "\nMimeType=image/x-xcf;\n")) << second;
    const std::string ours = testutil::ReadFile(dir / "data/thumbnailers/tarnel.thumbnailer");
    EXPECT_TRUE(Has({0, ours}, "\nMimeType=application/x-tarnel-document;application/x-tarnel-project;"
                               "application/x-tarnel-study;model/stl;model/x-tarnel-mesh;\n"))
        << ours;

    // The settings leave STL meshes to another thumbnailer: the entry no longer claims their type.
    WriteFile(dir / "tarnel.conf", "[Thumbnails]\nFormats=qzt;kpv;kpz;tvx;ybr;jxe;lwq;gnw\n");
    {
        testutil::ScopedEnv settings("TARNEL_SETTINGS", dir / "tarnel.conf");
        r = Tarnel("install --module " + std::string(TARNEL_MODULE));
    }
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "left .stl to other thumbnailers (Formats in " + (dir / "tarnel.conf") + ":2)"))
        << r.out;
    EXPECT_TRUE(Has({0, testutil::ReadFile(dir / "data/thumbnailers/tarnel.thumbnailer")},
                    "\nMimeType=application/x-tarnel-document;application/x-tarnel-project;"
                    "application/x-tarnel-study;model/x-tarnel-mesh;\n"));

    r = Tarnel("uninstall --module " + std::string(TARNEL_MODULE));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir / "data/thumbnailers/tarnel.thumbnailer"));
    EXPECT_FALSE(std::filesystem::exists(dir / "data/thumbnailers/tarnel-second_module.thumbnailer"));
    EXPECT_TRUE(std::filesystem::exists(dir / "data/thumbnailers/tarnel-other.thumbnailer"));
    EXPECT_EQ(Tarnel("registry dump CLSID\\{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}").status, 1)
        << "tarnel's module is unregistered";
}

// A user who once pressed OK in Dolphin's preview settings has a saved list of plugins, which Dolphin asks
// alone: install --user adds tarnel's to it and uninstall takes it out, every other line kept as it was. A
// file without a saved list (Dolphin asks every plugin then) and a link stay untouched.
TEST(Routing, InstallTurnsTarnelOnInDolphinsSavedPreviewList) {
    PrivateHive hive;
    TempDir dir;
    testutil::ScopedEnv data("XDG_DATA_HOME", dir / "data");
    testutil::ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
    const std::string rc = dir / "config/dolphinrc";
    const std::string before =
        "[General]\nPlugins=not,this,group\n\n[PreviewSettings]\nMaximumSize=5242880\n"
        "Plugins=appimagethumbnail,audiothumbnail,with\\,comma\nUseFileThumbnails=true\n";
    WriteFile(rc, before);
    ::chmod(rc.c_str(), 0600);
    const std::string module = " --module " + std::string(TARNEL_MODULE);
    Result r = Tarnel("install --user" + module);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "turned on tarnel's previews in " + rc)) << r.out;
    std::string after = before;
    const std::string last = "with\\,comma";
    after.replace(after.find(last), last.size(), last + ",tarnelthumbnail");
    EXPECT_EQ(testutil::ReadFile(rc), after);
    struct stat st {};
    ASSERT_EQ(::stat(rc.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Tarnel("install --user" + module).status, 0);
    EXPECT_EQ(testutil::ReadFile(rc), after) << "once only";
    r = Tarnel("uninstall --user" + module);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(testutil::ReadFile(rc), before);

    const std::string unsaved = "[PreviewSettings]\nMaximumSize=5242880\n";
    WriteFile(rc, unsaved);
    EXPECT_EQ(Tarnel("install --user" + module).status, 0);
    EXPECT_EQ(testutil::ReadFile(rc), unsaved);
    WriteFile(dir / "elsewhere", before);
    std::filesystem::remove(rc);
    std::filesystem::create_symlink(dir / "elsewhere", rc);
    r = Tarnel("install --user" + module);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r, "is a link, which tarnel does not write through")) << r.out;
    EXPECT_EQ(testutil::ReadFile(dir / "elsewhere"), before);
    EXPECT_EQ(Tarnel("uninstall --user" + module).status, 0);
}

// The module registers exactly the formats of the table (host/Formats.def), every one for the class the table
// names, and the entry that install writes lists exactly the table's MIME types.
TEST(Routing, TheModuleRegistersTheFormatsOfTheTable) {
    PrivateHive hive;
    ASSERT_EQ(Tarnel("register " + std::string(TARNEL_MODULE)).status, 0);
    std::string error;
    std::set<std::string> registered, table, types;
    for (const ThumbnailHandler& h : RegisteredThumbnailHandlers(false, error)) {
        std::string extension = NarrowFileName(h.extension);
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        EXPECT_TRUE(IsEqualGUID(h.clsid, CLSID_TarnelThumbnailer)) << extension << ": " << GuidText(h.clsid);
        EXPECT_EQ(h.module, TARNEL_MODULE) << extension;
        registered.insert(extension);
    }
    ASSERT_EQ(error, "");
    for (const SuiteFormat& format : kSuiteFormats) {
        table.insert(format.extension);
        types.insert(format.mimeType);
    }
    EXPECT_EQ(registered, table) << "module/TarnelEx.rgs and host/Formats.def name other extensions";

    TempDir dir;
    testutil::ScopedEnv data("XDG_DATA_HOME", dir / "data");
    ASSERT_EQ(Tarnel("install --module " + std::string(TARNEL_MODULE)).status, 0);
    std::string list;
    for (const std::string& type : types)
        list += type + ";";
    EXPECT_TRUE(Has({0, testutil::ReadFile(dir / "data/thumbnailers/tarnel.thumbnailer")},
                    "\nMimeType=" + list + "\n"))
        << list;
}

} // namespace

namespace {

// Listeners on this machine for the trespassing module to reach: a TCP port on 127.0.0.1, a Unix socket and
// an abstract one (as the session bus listens).
struct Listeners {
    int tcp = -1, unix = -1, abstract = -1;
    std::string port, path, name;
    explicit Listeners(const TempDir& dir) {
        tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        if (::bind(tcp, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(tcp, 4) == 0 &&
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&at), &length) == 0)
            port = std::to_string(ntohs(at.sin_port));
        unix = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        path = dir / "listener";
        std::snprintf(where.sun_path, sizeof where.sun_path, "%s", path.c_str());
        if (::bind(unix, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || ::listen(unix, 4) != 0)
            path.clear();
        abstract = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        name = "tarnel-test-" + std::to_string(::getpid());
        sockaddr_un hidden{};
        hidden.sun_family = AF_UNIX;
        std::memcpy(hidden.sun_path + 1, name.data(), name.size());
        const socklen_t size = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(abstract, reinterpret_cast<sockaddr*>(&hidden), size) != 0 || ::listen(abstract, 4) != 0)
            name.clear();
    }
    ~Listeners() {
        for (int s : {tcp, unix, abstract})
            ::close(s);
    }
    // How many connections came in since the last call.
    int Accepted() {
        int n = 0;
        for (int s : {tcp, unix, abstract})
            for (int c; (c = ::accept(s, nullptr, nullptr)) >= 0; ++n)
                ::close(c);
        return n;
    }
};

// Whether this machine lets a process make a user namespace of its own, which the folder's and the threads'
// bounds need.
bool UserNamespacesWork() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// What a decoder taken over by a hostile file tries (tests/support/Trespass.cpp), made once unconfined in a
// child of this test, where each must work (so that its check can see), and once in the host's confined
// child, where each must be refused. everywhere: a try that works unconfined on every machine; the others
// (io_uring off by the kernel's choice, TIOCSTI off in newer kernels) are checked where they work.
struct Try {
    const char* what;
    bool everywhere = true;
    bool sanitizer = true; // refused in sanitizer builds too (they have no memory bound, and LeakSanitizer's
                           // helper is a process that shares the memory)
    bool namespaces = false; // refused only with a user namespace of the child's own
    bool root = true;        // refused for root too (the kernel lets root's processes past RLIMIT_NPROC)
};
const Try kTries[] = {
    {"tcp connect"},
    {"unix connect"},
    {"abstract socket connect"},
    {"io_uring", false},
    {"write in HOME"},
    {"write in the cache"},
    {"fill the temporary folder with 160 MiB", true, true, true},
    {"change a file's mode"},
    {"open a terminal"},
    {"type into a terminal", false},
    {"write into the caller's standard output"},
    {"run /bin/sh"},
    {"fork"},
    {"clone a process", true, false},
    {"outlive the parent (PR_SET_PDEATHSIG)"},
    {"signal the parent"},
    {"signal every process"},
    {"start 200 threads", true, true, true, false},
    {"share 2 GiB of memory"},
    {"a memory file of 2 GiB"},
    {"allocate 4 GiB", true, false},
};

TEST(Confinement, AHandlerTakenOverCannotReachOutAndTheHostStillAnswers) {
    PrivateHive hive;
    TempDir dir;
    Listeners listeners(dir);
    ASSERT_FALSE(listeners.port.empty());
    ASSERT_FALSE(listeners.path.empty());
    ASSERT_FALSE(listeners.name.empty());
    std::filesystem::create_directories(dir / "home");
    std::filesystem::create_directories(dir / "cache");
    std::filesystem::create_directories(dir / "tmp");
    testutil::ScopedEnv home("HOME", dir / "home");
    testutil::ScopedEnv cache("XDG_CACHE_HOME", dir / "cache");
    testutil::ScopedEnv tmp("TMPDIR", dir / "tmp");
    testutil::ScopedEnv tcp("TARNEL_TEST_TCP_PORT", listeners.port);
    testutil::ScopedEnv unix("TARNEL_TEST_UNIX_SOCKET", listeners.path);
    testutil::ScopedEnv abstract("TARNEL_TEST_ABSTRACT_SOCKET", listeners.name);

    // Unconfined, in a child of the test.
    void* module = ::dlopen(TARNEL_SECOND_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr);
    auto trespass = reinterpret_cast<void (*)()>(::dlsym(module, "SecondModuleTrespass"));
    ASSERT_NE(trespass, nullptr);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe[1], STDERR_FILENO);
        ::dup2(pipe[1], STDOUT_FILENO); // a stream handed on, as a file manager's would be
        trespass();
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string free;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        free.append(buffer, size_t(n));
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    ::dlclose(module);
    EXPECT_EQ(listeners.Accepted(), 3);
    std::filesystem::remove(dir / "home/trespass");
    std::filesystem::remove(dir / "cache/trespass");

    // Confined, through the host, with -v so that the host relays what its child said.
    Route(L".red", kSecondClsid, TARNEL_SECOND_MODULE);
    WriteFile(dir / "trespass.red", "anything");
    const Result r = Tarnel("thumbnail -v " + (dir / "trespass.red") + " " + (dir / "out.png"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r, "tarnel: no picture for " + (dir / "trespass.red"))) << r.out;
    const bool namespaces = UserNamespacesWork();
    for (const Try& t : kTries) {
        const bool works = free.find("trespass: " + std::string(t.what) + ": ALLOWED") != std::string::npos;
        if (t.everywhere) {
            EXPECT_TRUE(works) << t.what << " must work unconfined, or its check sees nothing:\n" << free;
        }
        if (!works || (kAddressSanitizer && !t.sanitizer) || (t.namespaces && !namespaces) ||
            (!t.root && ::geteuid() == 0))
            continue;
        EXPECT_TRUE(Has(r, "tarnel: extractor: trespass: " + std::string(t.what) + ": refused"))
            << t.what << ":\n"
            << r.out;
    }
    EXPECT_EQ(listeners.Accepted(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "home/trespass"));
    EXPECT_FALSE(std::filesystem::exists(dir / "cache/trespass"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));

    // The thread bound, for an ordinary user (root's processes pass RLIMIT_NPROC): the same tries as nobody.
    if (::geteuid() == 0 && namespaces) {
        TempDir open;
        ::chmod(open.path().c_str(), 0755);
        WriteFile(open / "trespass.red", "anything");
        const Result user = testutil::RunCommand(
            "cd / && env -u TARNEL_TEST_TCP_PORT -u TARNEL_TEST_UNIX_SOCKET -u TARNEL_TEST_ABSTRACT_SOCKET "
            "HOME=/nonexistent XDG_CACHE_HOME=/nonexistent TMPDIR=/tmp setpriv --reuid=65534 --regid=65534 "
            "--clear-groups " +
            std::string(TARNEL_BINARY) + " thumbnail -v --module " + TARNEL_SECOND_MODULE + " --clsid " +
            kSecondClsid + " " + (open / "trespass.red") + " - 2>&1 >/dev/null");
        EXPECT_TRUE(Has(user, "tarnel: extractor: trespass: start 200 threads: refused")) << user.out;
    }

    // The host answers for the next file as before.
    WriteFile(dir / "next.red", "anything");
    EXPECT_EQ(Tarnel("thumbnail " + (dir / "next.red") + " " + (dir / "next.png")).status, 0);
    int w = 0, h = 0;
    EXPECT_GT(RedPixels(dir / "next.png", w, h), 0);
}

// A child taken over may answer as it likes: the parent keeps only a PNG within the asked size, with a mode
// of its own choosing, and a child's claim of a broken set-up costs only its own file, never the run.
TEST(Confinement, AForgedAnswerCostsOnlyItsOwnFile) {
    PrivateHive hive;
    TempDir dir;
    Route(L".red", kSecondClsid, TARNEL_SECOND_MODULE);
    WriteFile(dir / "forge-svg.red", "anything");
    WriteFile(dir / "out.png", "");
    Result r = Tarnel("thumbnail " + (dir / "forge-svg.red") + " " + (dir / "out.png"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "tarnel: no picture for " + (dir / "forge-svg.red") +
                         ": the extractor wrote no PNG within 256 x 256 pixels\n");
    EXPECT_EQ(testutil::ReadFile(dir / "out.png"), "") << "the placeholder stays empty";

    // The cache takes the suite's files from a folder: here the second module serves studies.
    Route(L".qzt", kSecondClsid, TARNEL_SECOND_MODULE);
    testutil::ScopedEnv cache("XDG_CACHE_HOME", dir / "cache");
    std::filesystem::create_directories(dir / "folder");
    for (const char* name : {"a.qzt", "b-forge-setup.qzt", "c.qzt", "d-forge-svg.qzt", "e.qzt"})
        WriteFile(dir / ("folder/" + std::string(name)), "anything");
    r = Tarnel("cache " + (dir / "folder"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(Has(r, "stopped")) << r.out;
    EXPECT_TRUE(Has(r, "tarnel cache: 3 made, 0 up to date, 1 no picture, 0 skipped, 1 failed set-up"))
        << r.out;
    EXPECT_TRUE(Has(r, "failed (" + std::string(TARNEL_SECOND_MODULE) +
                           " is no in-process server: DllGetClassObject or DllCanUnloadNow is missing) " +
                           (dir / "folder/b-forge-setup.qzt")))
        << r.out;
    EXPECT_TRUE(Has(r, "no picture (the extractor wrote no PNG within 256 x 256 pixels) " +
                           (dir / "folder/d-forge-svg.qzt")))
        << r.out;
    for (const auto& e : std::filesystem::directory_iterator(dir / "cache/thumbnails/large")) {
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << e.path();
    }
}

// The filter is built once by the parent with a stand-in for the child's id, which each child replaces by
// its own: a child may still signal itself (abort and raise need it), and never its parent.
TEST(Confinement, APreparedFilterNamesEachChildItself) {
    const tarnel::confine::PreparedFilter filter = tarnel::confine::PrepareFilter();
    ASSERT_FALSE(filter.program.empty()) << filter.problem;
    EXPECT_FALSE(filter.selfAt.empty());
    TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) {
        tarnel::confine::Plan plan;
        plan.folder = dir.path().string();
        plan.filter = &filter;
        for (const tarnel::confine::Outcome& o : tarnel::confine::Confine(plan))
            if (std::strcmp(o.rule, "filter") == 0 && !o.applied)
                ::_exit(10);
        static volatile sig_atomic_t got = 0;
        ::signal(SIGUSR1, [](int) { got = 1; });
        const bool self = ::raise(SIGUSR1) == 0 && got == 1;
        const bool parent = ::kill(::getppid(), 0) == 0;
        ::_exit(self && !parent ? 0 : self ? 11 : 12);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no filter, 11: the parent was reachable, 12: itself was not";
}

// No GPU here to try: the rules themselves must leave what Mesa's hardware drivers use (the render nodes,
// DRM ioctls, large mappings, threads) and refuse what no decoder needs.
TEST(Confinement, TheRulesLeaveWhatGpuDriversNeed) {
    std::set<std::string> allowed, checked, refused;
    for (const auto& call : tarnel::confine::AllowedCalls())
        allowed.insert(call.name);
    for (const auto& call : tarnel::confine::CheckedCalls())
        checked.insert(call.name);
    for (const auto& call : tarnel::confine::RefusedCalls()) {
        refused.insert(call.name);
        EXPECT_GT(std::strlen(call.why), 0u) << call.name;
        EXPECT_EQ(allowed.count(call.name) + checked.count(call.name), 0u) << call.name;
    }
    for (const char* needed :
         {"openat", "mremap", "mprotect", "madvise", "brk", "futex", "getrandom", "eventfd2", "poll", "ppoll",
          "fcntl", "dup3", "readlinkat", "statx", "sysinfo"})
        EXPECT_EQ(allowed.count(needed), 1u) << needed;
    for (const char* needed : {"ioctl", "mmap", "clone", "prctl", "kcmp"})
        EXPECT_EQ(checked.count(needed), 1u) << needed;
    for (const char* forbidden :
         {"execve", "execveat", "fork", "vfork", "socket", "connect", "io_uring_setup", "io_uring_enter",
          "memfd_create", "mount", "keyctl", "add_key", "request_key", "unshare", "setns", "bpf",
          "pidfd_send_signal", "tkill", "fchmod"})
        EXPECT_EQ(refused.count(forbidden), 1u) << forbidden;
}

} // namespace
