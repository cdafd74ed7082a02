// How `tarnel thumbnail` finds the module for a file, as the shell does: extension, handler class,
// InprocServer32, exports, class object. Each way that can fail has its own clear message and exit status 1;
// two products' modules are each asked for their own extensions.
#include "Command.h"
#include "RegistryTestUtil.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/wait.h>

#include <array>
#include <chrono>

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
    };
    for (const Case& c : cases) {
        WriteFile(dir / c.file, "content");
        Result r = Tarnel("thumbnail " + (dir / c.file) + " " + (dir / "out.png"));
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

    r = Tarnel("uninstall --module " + std::string(TARNEL_MODULE));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir / "data/thumbnailers/tarnel.thumbnailer"));
    EXPECT_FALSE(std::filesystem::exists(dir / "data/thumbnailers/tarnel-second_module.thumbnailer"));
    EXPECT_TRUE(std::filesystem::exists(dir / "data/thumbnailers/tarnel-other.thumbnailer"));
    EXPECT_EQ(Tarnel("registry dump CLSID\\{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}").status, 1)
        << "tarnel's module is unregistered";
}

} // namespace
