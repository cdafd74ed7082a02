// Fuzz target: any bytes as the index.theme of the user's icon theme, which any program of the user's may
// have written: the lookup reads its directories and their sizes, measures each against the size asked, and
// gives a file of the theme or nothing. The theme lives in a folder of the target's own, made once.
#include "platform/tarnel/icontheme.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// The theme's folder, removed when the process ends.
struct Folder {
    std::string path;
    ~Folder() {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
} g_theme;
std::string& g_folder = g_theme.path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/tarnel-fuzz-theme-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        std::abort();
    g_folder = pattern;
    const std::string theme = g_folder + "/icons/FuzzTheme";
    std::system(("mkdir -p '" + theme + "/32x32/mimetypes' '" + g_folder + "/config/gtk-3.0'").c_str());
    std::ofstream(theme + "/32x32/mimetypes/text-x-generic.png") << "a file";
    std::ofstream(g_folder + "/config/gtk-3.0/settings.ini") << "[Settings]\ngtk-icon-theme-name=FuzzTheme\n";
    ::setenv("XDG_DATA_HOME", g_folder.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (g_folder + "/none").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (g_folder + "/config").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream index(g_folder + "/icons/FuzzTheme/index.theme", std::ios::binary | std::ios::trunc);
        index.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    for (const int asked : {32, 1, 0, -2147483647 - 1, 2147483647}) {
        const std::string found = tarnel::plat::LookupThemedIcon({"text-x-generic"}, asked);
        if (!found.empty() && found.rfind(g_folder, 0) != 0)
            __builtin_trap(); // only the theme's own files, or nothing
    }
    return 0;
}
