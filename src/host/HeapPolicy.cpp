#include "host/HeapPolicy.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

char** g_argv = nullptr;

constexpr const char* kTunables = "GLIBC_TUNABLES";
// Huge pages for the heap and for blocks mapped on their own; and only blocks of 32 MiB and more mapped on
// their own, since each such mapping is rounded up to a whole huge page: with the default threshold a few
// hundred blocks of a few hundred KiB each would take 2 MiB of address space apiece, and a child would meet
// its memory bound with far less of it in use.
constexpr const char* kHugePages = "glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=33554432";
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
    ::execv("/proc/self/exe", g_argv);
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
