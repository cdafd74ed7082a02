#include "platform/tarnel/icontheme.h"

#include <glib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

namespace tarnel::plat {

namespace {

struct KeyFileDeleter {
    void operator()(GKeyFile* k) const { g_key_file_free(k); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool IsFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folders that hold icon themes, in order of precedence.
std::vector<std::string> BaseDirs() {
    std::vector<std::string> dirs;
    const std::string home = Env("HOME");
    if (!home.empty())
        dirs.push_back(home + "/.icons");
    std::string dataHome = Env("XDG_DATA_HOME");
    if (dataHome.empty() && !home.empty())
        dataHome = home + "/.local/share";
    if (!dataHome.empty())
        dirs.push_back(dataHome + "/icons");
    std::string dataDirs = Env("XDG_DATA_DIRS");
    if (dataDirs.empty())
        dataDirs = "/usr/local/share:/usr/share";
    for (size_t start = 0; start <= dataDirs.size();) {
        size_t end = dataDirs.find(':', start);
        if (end == std::string::npos)
            end = dataDirs.size();
        if (end > start)
            dirs.push_back(dataDirs.substr(start, end - start) + "/icons");
        start = end + 1;
    }
    return dirs;
}

struct Directory {
    std::string name;
    int size = 0;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    enum { Fixed, Scalable, Threshold } type = Threshold;

    // Sizes come from the theme's file as any int: measured in 64 bits, where no sum or difference of two
    // of them overflows.
    bool MatchesSize(int s) const {
        const int64_t at = s;
        switch (type) {
        case Fixed:
            return at == size;
        case Scalable:
            return at >= minSize && at <= maxSize;
        default:
            return at >= int64_t(size) - threshold && at <= int64_t(size) + threshold;
        }
    }
    int64_t Distance(int s) const {
        const int64_t at = s, low = int64_t(size) - threshold, high = int64_t(size) + threshold;
        switch (type) {
        case Fixed:
            return at > size ? at - size : int64_t(size) - at;
        case Scalable:
            return at < minSize ? minSize - at : at > maxSize ? at - maxSize : 0;
        default:
            return at < low ? low - at : at > high ? at - high : 0;
        }
    }
};

struct Theme {
    std::vector<Directory> directories;
    std::vector<std::string> parents;
};

// Reads a theme's index.theme from the first base folder that has one.
bool LoadTheme(const std::string& name, const std::vector<std::string>& bases, Theme& theme) {
    for (const std::string& base : bases) {
        const std::string index = base + "/" + name + "/index.theme";
        if (!IsFile(index))
            continue;
        KeyFile kf(g_key_file_new());
        g_key_file_set_list_separator(kf.get(), ','); // theme lists are separated by commas
        if (!g_key_file_load_from_file(kf.get(), index.c_str(), G_KEY_FILE_NONE, nullptr))
            return false;
        gsize n = 0;
        gchar** dirs = g_key_file_get_string_list(kf.get(), "Icon Theme", "Directories", &n, nullptr);
        for (gsize i = 0; dirs != nullptr && i < n; ++i) {
            Directory d;
            d.name = dirs[i];
            const char* group = dirs[i];
            if (!g_key_file_has_group(kf.get(), group))
                continue;
            d.size = g_key_file_get_integer(kf.get(), group, "Size", nullptr);
            gchar* type = g_key_file_get_string(kf.get(), group, "Type", nullptr);
            if (type != nullptr) {
                d.type = g_str_equal(type, "Fixed")      ? Directory::Fixed
                         : g_str_equal(type, "Scalable") ? Directory::Scalable
                                                         : Directory::Threshold;
                g_free(type);
            }
            auto integer = [&](const char* key, int fallback) {
                GError* error = nullptr;
                int v = g_key_file_get_integer(kf.get(), group, key, &error);
                if (error != nullptr) {
                    g_error_free(error);
                    return fallback;
                }
                return v;
            };
            d.minSize = integer("MinSize", d.size);
            d.maxSize = integer("MaxSize", d.size);
            d.threshold = integer("Threshold", 2);
            theme.directories.push_back(d);
        }
        g_strfreev(dirs);
        gchar** inherits = g_key_file_get_string_list(kf.get(), "Icon Theme", "Inherits", &n, nullptr);
        for (gsize i = 0; inherits != nullptr && i < n; ++i)
            theme.parents.push_back(inherits[i]);
        g_strfreev(inherits);
        return true;
    }
    return false;
}

// One theme's own folders: an exact size match first, else the file in the nearest size.
std::string LookupIcon(const std::string& icon, int size, const std::string& themeName, const Theme& theme,
                       const std::vector<std::string>& bases) {
    static const char* kExtensions[] = {".png", ".svg"};
    for (const Directory& d : theme.directories) {
        if (!d.MatchesSize(size))
            continue;
        for (const std::string& base : bases)
            for (const char* ext : kExtensions) {
                std::string file = base + "/" + themeName + "/" + d.name + "/" + icon + ext;
                if (IsFile(file))
                    return file;
            }
    }
    std::string closest;
    int64_t best = INT64_MAX;
    for (const Directory& d : theme.directories) {
        const int64_t distance = d.Distance(size);
        if (distance >= best)
            continue;
        for (const std::string& base : bases)
            for (const char* ext : kExtensions) {
                std::string file = base + "/" + themeName + "/" + d.name + "/" + icon + ext;
                if (distance < best && IsFile(file)) {
                    closest = file;
                    best = distance;
                }
            }
    }
    return closest;
}

class Lookup {
public:
    explicit Lookup(int size) : m_size(size), m_bases(BaseDirs()) {}

    // The theme and the themes it inherits, depth first; each theme is visited once.
    std::string FindInTheme(const std::string& icon, const std::string& themeName,
                            std::set<std::string>& seen) {
        if (!seen.insert(themeName).second)
            return "";
        const Theme* theme = Get(themeName);
        if (theme == nullptr)
            return "";
        std::string file = LookupIcon(icon, m_size, themeName, *theme, m_bases);
        if (!file.empty())
            return file;
        for (const std::string& parent : theme->parents) {
            file = FindInTheme(icon, parent, seen);
            if (!file.empty())
                return file;
        }
        return "";
    }

    std::string Unthemed(const std::string& icon) {
        for (const std::string& base : m_bases)
            for (const char* ext : {".png", ".svg"})
                if (IsFile(base + "/" + icon + ext))
                    return base + "/" + icon + ext;
        for (const char* ext : {".png", ".svg"})
            if (IsFile("/usr/share/pixmaps/" + icon + ext))
                return "/usr/share/pixmaps/" + icon + ext;
        return "";
    }

private:
    const Theme* Get(const std::string& name) {
        auto it = m_themes.find(name);
        if (it == m_themes.end()) {
            Theme theme;
            bool loaded = LoadTheme(name, m_bases, theme);
            it = m_themes.emplace(name, loaded ? std::make_unique<Theme>(std::move(theme)) : nullptr).first;
        }
        return it->second.get();
    }

    int m_size;
    std::vector<std::string> m_bases;
    std::map<std::string, std::unique_ptr<Theme>> m_themes;
};

bool Symbolic(const std::string& name) {
    static const std::string suffix = "-symbolic";
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

std::string UserIconThemeName() {
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() && !Env("HOME").empty())
        config = Env("HOME") + "/.config";
    for (const char* gtk : {"/gtk-4.0/settings.ini", "/gtk-3.0/settings.ini"}) {
        if (config.empty())
            break;
        KeyFile kf(g_key_file_new());
        if (!g_key_file_load_from_file(kf.get(), (config + gtk).c_str(), G_KEY_FILE_NONE, nullptr))
            continue;
        gchar* name = g_key_file_get_string(kf.get(), "Settings", "gtk-icon-theme-name", nullptr);
        if (name != nullptr) {
            std::string theme = name;
            g_free(name);
            if (!theme.empty() && theme.find('/') == std::string::npos)
                return theme;
        }
    }
    return "Adwaita";
}

std::string LookupThemedIcon(const std::vector<std::string>& names, int size) {
    Lookup lookup(size);
    const std::string user = UserIconThemeName();
    for (const std::string& name : names) {
        if (name.empty() || Symbolic(name) || name.find('/') != std::string::npos)
            continue;
        std::set<std::string> seen;
        for (const std::string& theme : {user, std::string("hicolor"), std::string("Adwaita")}) {
            std::string file = lookup.FindInTheme(name, theme, seen);
            if (!file.empty())
                return file;
        }
        std::string file = lookup.Unthemed(name);
        if (!file.empty())
            return file;
    }
    return "";
}

} // namespace tarnel::plat
