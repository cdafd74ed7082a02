#include "host/DolphinSettings.h"

#include "host/Escape.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

std::string Trimmed(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t");
    const size_t end = s.find_last_not_of(" \t\r");
    return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

// The names of a KDE list value: separated by commas, "\," standing for a comma within a name.
std::vector<std::string> ListItems(const std::string& value) {
    std::vector<std::string> items(1);
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            items.back() += value.substr(i, 2);
            ++i;
        } else if (value[i] == ',') {
            items.emplace_back();
        } else {
            items.back() += value[i];
        }
    }
    if (items.size() == 1 && items[0].empty())
        items.clear();
    return items;
}

} // namespace

std::string DolphinSettingsPath() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
        return std::string(config) + "/dolphinrc";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return std::string(home) + "/.config/dolphinrc";
    return {};
}

std::string WithDolphinPlugin(const std::string& settings, bool enable) {
    std::string result;
    bool inGroup = false, changed = false;
    std::istringstream in(settings);
    for (std::string line; std::getline(in, line);) {
        const bool lastLine = in.eof();
        const std::string text = Trimmed(line);
        if (!text.empty() && text[0] == '[')
            inGroup = text == "[PreviewSettings]";
        const size_t equals = line.find('=');
        if (inGroup && !changed && equals != std::string::npos &&
            Trimmed(line.substr(0, equals)) == "Plugins") {
            std::vector<std::string> items = ListItems(Trimmed(line.substr(equals + 1)));
            std::vector<std::string> kept;
            bool had = false;
            for (const std::string& item : items) {
                if (item == kDolphinPluginName)
                    had = true;
                if (item != kDolphinPluginName || enable)
                    kept.push_back(item);
            }
            if (enable && !had)
                kept.push_back(kDolphinPluginName);
            if (had != enable) {
                line = line.substr(0, equals + 1);
                for (size_t i = 0; i < kept.size(); ++i)
                    line += (i > 0 ? "," : "") + kept[i];
                changed = true;
            }
        }
        result += line;
        if (!lastLine || (!settings.empty() && settings.back() == '\n'))
            result += '\n';
    }
    return changed ? result : settings;
}

std::string ChangeDolphinSettings(const std::string& path, bool enable, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP && enable)
            error = Printable(path) +
                    " is a link, which tarnel does not write through: tick \"Analysis suite files "
                    "(tarnel)\" in Dolphin's preview settings";
        else if (errno != ELOOP)
            error = "cannot read " + Printable(path) + ": " + std::strerror(errno);
        return {};
    }
    struct stat st {};
    std::string settings;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[8192];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && settings.size() < (16u << 20);)
            settings.append(buffer, size_t(n));
    }
    ::close(fd);
    if (!S_ISREG(st.st_mode))
        return {};
    const std::string changed = WithDolphinPlugin(settings, enable);
    if (changed == settings)
        return {};
    std::string temp = path + ".tarnel-XXXXXX";
    const int out = ::mkstemp(temp.data());
    if (out < 0) {
        error = "cannot write " + Printable(path) + ": " + std::strerror(errno);
        return {};
    }
    bool ok = ::fchmod(out, st.st_mode & 07777) == 0;
    for (size_t done = 0; ok && done < changed.size();) {
        const ssize_t n = ::write(out, changed.data() + done, changed.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? size_t(n) : 0;
    }
    ok = ::fsync(out) == 0 && ok;
    ok = ::close(out) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + Printable(path) + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return {};
    }
    return std::string(enable ? "turned on tarnel's previews in " : "took tarnel's previews out of ") +
           Printable(path);
}
