#include "host/CacheRecords.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

// The paths of a list file: one a line, blank lines and '#' comments left out, '~/' read as the home
// folder (a systemd unit names its folders this way). A missing file is an empty list.
bool ReadList(const char* file, std::vector<std::string>& paths) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(file, "r"), std::fclose);
    if (!f)
        return errno == ENOENT;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t n;
    while ((n = ::getline(&line, &capacity, f.get())) >= 0) {
        std::string path(line, size_t(n));
        while (!path.empty() &&
               (path.back() == '\n' || path.back() == '\r' || path.back() == ' ' || path.back() == '\t'))
            path.pop_back();
        const size_t start = path.find_first_not_of(" \t");
        if (start == std::string::npos || path[start] == '#')
            continue;
        path.erase(0, start);
        const char* home = std::getenv("HOME");
        if (path.compare(0, 2, "~/") == 0 && home != nullptr)
            path = std::string(home) + path.substr(1);
        paths.push_back(path);
    }
    std::free(line);
    return !std::ferror(f.get());
}

// Whether Thumb::MTime names the file's modification time. Writers differ in how they spell it: tumbler
// adds a fraction ("1796739023.341587"); what counts is the whole seconds.
bool SameMTime(const std::string& text, time_t mtime) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(s, &end, 10);
    if (end == s || errno != 0 || seconds != (long long)mtime)
        return false;
    if (*end == '.')
        for (++end; *end >= '0' && *end <= '9'; ++end) {
        }
    return *end == '\0';
}
