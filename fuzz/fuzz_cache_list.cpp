// Fuzz target: what `tarnel cache` reads that others wrote, apart from the pictures. The bytes are read as a
// list file, with and without a home folder; their first line is read as an entry's Thumb::MTime against
// the time that the rest spells.
#include "MemoryFile.h"

#include "host/CacheRecords.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

const char kHome[] = "/home/fuzz";
const char kEarlier[] = "/earlier/list/entry";

// The list read once; the paths of lists read before stay in front of its own.
std::vector<std::string> Read(const MemoryFile& file) {
    std::vector<std::string> paths = {kEarlier};
    if (!ReadList(file.narrowPath().c_str(), paths) || paths.empty() || paths.front() != kEarlier)
        __builtin_trap(); // a file that is there is always read, and only added to the paths
    paths.erase(paths.begin());
    return paths;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile file("list", data, size);
    if (!file.ok())
        return 0;
    ::setenv("HOME", kHome, 1);
    const std::vector<std::string> expanded = Read(file);
    ::unsetenv("HOME");
    const std::vector<std::string> literal = Read(file);
    if (expanded.size() != literal.size())
        __builtin_trap();
    const std::string home = std::string(kHome) + "/";
    for (size_t i = 0; i < literal.size(); ++i) {
        const std::string& path = literal[i];
        // No path is empty, a comment, or carries the blanks and line ends around it.
        if (path.empty() || path[0] == '#' || IsBlank(path.front()) || IsBlank(path.back()) ||
            path.back() == '\r' || path.find('\n') != std::string::npos)
            __builtin_trap();
        // The home folder stands for "~/" and for nothing else.
        const bool tilde = path.compare(0, 2, "~/") == 0;
        if (tilde ? expanded[i] != home + path.substr(2) : expanded[i] != path)
            __builtin_trap();
    }

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const size_t newline = bytes.find('\n');
    const std::string text = bytes.substr(0, newline);
    const std::string rest = newline == std::string::npos ? std::string() : bytes.substr(newline + 1);
    const time_t mtime = time_t(std::strtoll(rest.c_str(), nullptr, 10));
    // A text names one second at most; what the cache itself writes is always taken, with or without a
    // fraction.
    const bool last = mtime == std::numeric_limits<time_t>::max();
    if (SameMTime(text, mtime) && (text.empty() || (!last && SameMTime(text, mtime + 1))))
        __builtin_trap();
    const std::string written = std::to_string(mtime);
    if (!SameMTime(written, mtime) || !SameMTime(written + ".25", mtime) ||
        (!last && SameMTime(written, mtime + 1)))
        __builtin_trap();
    return 0;
}
