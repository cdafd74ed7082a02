#include "host/Settings.h"

#include "host/Arguments.h"
#include "host/Escape.h"
#include "host/Formats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <type_traits>

namespace tarnel::settings {

namespace {

// A settings file larger than this is not read: it is a few lines a person writes.
constexpr size_t kMaxFileBytes = 64 * 1024;

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool ParseBool(std::string_view text, bool& value) {
    const std::string t = Lower(text);
    if (t == "true" || t == "yes" || t == "on" || t == "1")
        value = true;
    else if (t == "false" || t == "no" || t == "off" || t == "0")
        value = false;
    else
        return false;
    return true;
}

// "qzt;kpv;.STL": the suite's extensions, lower case with the dot. False with the first unknown one.
bool ParseFormats(std::string_view text, std::vector<std::string>& formats, std::string& unknown) {
    formats.clear();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        std::string item = Lower(Trimmed(text.substr(start, end - start)));
        start = end + 1;
        if (item.empty())
            continue;
        if (item[0] != '.')
            item.insert(0, ".");
        if (std::none_of(std::begin(kSuiteFormats), std::end(kSuiteFormats),
                         [&](const SuiteFormat& f) { return item == f.extension; })) {
            unknown = item;
            return false;
        }
        if (std::find(formats.begin(), formats.end(), item) == formats.end())
            formats.push_back(item);
    }
    return true;
}

std::string Quoted(std::string_view value) {
    return "'" + Printable(value) + "'";
}

// The text of a file, if it is a regular file of a sensible size; nullopt when there is none. A file that
// cannot be read is a problem of its own.
std::optional<std::string> ReadSettingsFile(const std::string& path, std::vector<std::string>& problems) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        // A file that is there and cannot be read is worth a line; a folder on the way that this user may
        // not enter (another user's home, as a sandbox shows it) is not.
        const int error = errno;
        struct stat st {};
        if (error != ENOENT && error != ENOTDIR && ::stat(path.c_str(), &st) == 0)
            problems.push_back(Printable(path) + ": cannot be read: " + std::strerror(error));
        return std::nullopt;
    }
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problems.push_back(Printable(path) + ": not a regular file; it is not read");
    } else if (size_t(st.st_size) > kMaxFileBytes) {
        problems.push_back(Printable(path) + ": larger than 64 KiB; it is not read");
    } else {
        std::string content(size_t(st.st_size), '\0');
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::read(fd, content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        content.resize(done);
        text = std::move(content);
    }
    ::close(fd);
    return text;
}

const Settings*& CurrentPointer() {
    static const Settings* current = nullptr;
    return current;
}

std::string& SizeOrigin() {
    static std::string origin;
    return origin;
}

} // namespace

bool ParseByteSize(std::string_view text, unsigned long long& bytes) {
    text = Trimmed(text);
    if (Lower(text) == "none") {
        bytes = 0;
        return true;
    }
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || errno != 0 || !std::isfinite(number) || number <= 0)
        return false;
    const std::string unit = Lower(Trimmed(std::string_view(end)));
    double scale = 1;
    if (unit == "kib" || unit == "k")
        scale = 1024.0;
    else if (unit == "mib" || unit == "m")
        scale = 1024.0 * 1024;
    else if (unit == "gib" || unit == "g")
        scale = 1024.0 * 1024 * 1024;
    else if (!unit.empty() && unit != "b" && unit != "bytes")
        return false;
    const double value = std::floor(number * scale);
    if (value < 1 || value > double(kMaxSizeLimit))
        return false;
    bytes = static_cast<unsigned long long>(value);
    return true;
}

void ReadSettingsText(std::string_view text, const std::string& name, Settings& settings) {
    std::string group;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        const std::string origin = Printable(name) + ":" + std::to_string(lineNumber);
        auto problem = [&](const std::string& what) {
            settings.problems.push_back(origin + ": " + what + "; the line is ignored");
        };
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                problem("a group's name ends with ']'");
                continue;
            }
            group = std::string(line.substr(1, line.size() - 2));
            if (group != "Thumbnails")
                problem("unknown group " + Quoted(group) + " (tarnel reads [Thumbnails])");
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem("not a KEY=VALUE line");
            continue;
        }
        if (group != "Thumbnails") {
            if (group.empty())
                problem("a key before the group [Thumbnails]");
            continue;
        }
        const std::string key(Trimmed(line.substr(0, equals)));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        const std::string v(value);
        // A value read well is kept unless a file read earlier gave the key; else the line is named.
        auto keep = [&](auto& slot, bool read, auto&& parsed, const std::string& wrong) {
            if (!read)
                problem(wrong);
            else if (!slot)
                slot = typename std::decay_t<decltype(slot)>::value_type{std::move(parsed), origin};
        };
        if (key == "SizeLimit") {
            unsigned long long bytes = 0;
            keep(settings.sizeLimit, ParseByteSize(value, bytes), bytes,
                 "SizeLimit " + Quoted(value) +
                     " is not a size (bytes, or with KiB, MiB or GiB, up to 2 GiB; or none)");
        } else if (key == "Timeout") {
            double seconds = 0;
            keep(settings.timeout, ParseSeconds(v.c_str(), seconds), seconds,
                 "Timeout " + Quoted(value) + " is not a number of seconds");
        } else if (key == "Memory") {
            long mebibytes = 0;
            keep(settings.memoryMiB, ParseMemory(v.c_str(), mebibytes), mebibytes,
                 "Memory " + Quoted(value) + " is not a whole number of MiB");
        } else if (key == "Formats") {
            std::vector<std::string> formats;
            std::string unknown;
            const bool read = ParseFormats(value, formats, unknown);
            keep(settings.formats, read, formats,
                 "Formats names " + Quoted(unknown) + ", which is not one of the suite's extensions");
        } else if (key == "TransparentMeshes") {
            bool on = false;
            keep(settings.transparentMeshes, ParseBool(value, on), on,
                 "TransparentMeshes " + Quoted(value) + " is neither true nor false");
        } else {
            problem("unknown key " + Quoted(key));
        }
    }
}

std::vector<std::string> SettingsFiles() {
    if (const char* only = std::getenv("TARNEL_SETTINGS"); only != nullptr && only[0] != '\0')
        return {only};
    std::vector<std::string> files;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/')
        files.push_back(std::string(config) + "/tarnel/tarnel.conf");
    else if (home != nullptr && home[0] == '/')
        files.push_back(std::string(home) + "/.config/tarnel/tarnel.conf");
    files.emplace_back("/etc/tarnel/tarnel.conf");
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        files.push_back((self.parent_path().parent_path() / "share/tarnel/tarnel.conf").string());
    return files;
}

const Settings& Current() {
    const Settings*& current = CurrentPointer();
    if (current == nullptr) {
        auto* settings = new Settings; // lives as long as the process
        for (const std::string& file : SettingsFiles()) {
            if (std::optional<std::string> text = ReadSettingsFile(file, settings->problems)) {
                settings->files.push_back(file);
                ReadSettingsText(*text, file, *settings);
            }
        }
        current = settings;
    }
    return *current;
}

void Apply(const char* command) {
    const Settings& s = Current();
    // A command that runs itself again (host/HeapPolicy.h) told them the first time.
    if (std::getenv(kToldVariable) != nullptr)
        ::unsetenv(kToldVariable);
    else
        for (const std::string& problem : s.problems)
            std::fprintf(stderr, "tarnel %s: settings: %s\n", command, problem.c_str());
    if (!s.sizeLimit || std::getenv("TARNEL_SIZE_LIMIT") != nullptr ||
        std::getenv("TARNEL_IGNORE_SIZE") != nullptr)
        return;
    if (s.sizeLimit->value == 0)
        ::setenv("TARNEL_IGNORE_SIZE", "1", 1);
    else
        ::setenv("TARNEL_SIZE_LIMIT", std::to_string(s.sizeLimit->value).c_str(), 1);
    SizeOrigin() = s.sizeLimit->origin;
}

const std::string& SizeLimitOrigin() {
    return SizeOrigin();
}

bool Serves(std::string_view extension) {
    const Settings& s = Current();
    if (!s.formats)
        return true;
    const std::string lower = Lower(extension);
    return std::find(s.formats->value.begin(), s.formats->value.end(), lower) != s.formats->value.end();
}

bool TransparentMeshes() {
    const Settings& s = Current();
    return s.transparentMeshes && s.transparentMeshes->value;
}

} // namespace tarnel::settings
