#include "host/HeapPolicy.h"

#include "host/Settings.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

char** g_argv = nullptr;

constexpr const char* kTunables = "GLIBC_TUNABLES";
// Huge pages for the heap and for blocks mapped on their own. Each mapping is then rounded up to whole huge
// pages, and the data bound counts address space: so only blocks of 32 MiB and more are mapped on their own
// (with the default threshold a few hundred blocks of a few hundred KiB would take 2 MiB each), and the
// threads share the main heap (each of the renderer's threads would otherwise begin a heap of its own, 2 MiB
// at once). Without both, a child met its bound with little of it in use, and was not told it needed more
// memory (6 of 12 renders at 4096 pixels under 256 MiB, run six at once; with both, 12 of 12).
constexpr const char* kHugePages =
    "glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=33554432:glibc.malloc.arena_max=1";
constexpr const char* kHugePagesAsked = "glibc.malloc.hugetlb=1";

// Whether the kernel gives huge pages to memory that asks for them ("always" or "madvise").
bool HugePagesOnRequest() {
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(in, modes);
    return modes.find("[always]") != std::string::npos || modes.find("[madvise]") != std::string::npos;
}

} // namespace

void RememberCommandLine(char** argv) {
    g_argv = argv;
}

void RunWithHugePageHeap() {
    const char* tunables = std::getenv(kTunables);
    if (g_argv == nullptr ||
        (tunables != nullptr && std::strstr(tunables, "glibc.malloc.hugetlb=") != nullptr))
        return; // asked already, by us or by the caller
    if (!HugePagesOnRequest())
        return;
    const bool had = tunables != nullptr;
    const std::string before = had ? tunables : "";
    const std::string value = before.empty() ? std::string(kHugePages) : before + ":" + kHugePages;
    if (::setenv(kTunables, value.c_str(), 1) != 0)
        return;
    ::setenv(tarnel::settings::kToldVariable, "1", 1);
    ::execv("/proc/self/exe", g_argv);
    ::unsetenv(tarnel::settings::kToldVariable);
    // Not run again (no /proc, say): the command goes on with pages as they are, and leaves the variable as
    // it found it.
    if (had)
        ::setenv(kTunables, before.c_str(), 1);
    else
        ::unsetenv(kTunables);
}

bool AllocatorAsksForHugePages() {
    const char* tunables = std::getenv(kTunables);
    return tunables != nullptr && std::strstr(tunables, kHugePagesAsked) != nullptr;
}
