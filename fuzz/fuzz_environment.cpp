// Fuzz target: the values that are read as numbers, whoever set them: the size limit and its switch, which
// the system reads for every file, and the host's memory bound, from the environment (three values apart by
// NUL bytes) and from a settings file (the whole input). Whatever they say, each reading gives a number in
// its range, and every line the settings cannot take is named.
#include "host/Arguments.h"
#include "host/Settings.h"
#include "sources/SourceChain.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const char* const names[] = {"TARNEL_SIZE_LIMIT", "TARNEL_IGNORE_SIZE", "TARNEL_MEMORY_LIMIT"};
    size_t start = 0;
    for (const char* name : names) {
        if (start > input.size()) {
            ::unsetenv(name);
            continue;
        }
        const size_t end = std::min(input.find('\0', start), input.size());
        ::setenv(name, input.substr(start, end - start).c_str(), 1);
        start = end + 1;
    }
    bool fromEnvironment = false;
    const ULONG limit = GetSizeLimit(&fromEnvironment);
    (void)IsSizeCheckIgnored();
    if (!fromEnvironment && limit == 0)
        __builtin_trap(); // the default is a size
    if (DefaultMemoryMiB() < 0)
        __builtin_trap();
    // The input as a settings file: what it sets is in range, wherever the file came from.
    tarnel::settings::Settings settings;
    tarnel::settings::ReadSettingsText(input, "fuzz.conf", settings);
    if ((settings.sizeLimit && settings.sizeLimit->value > tarnel::settings::kMaxSizeLimit) ||
        (settings.timeout && !(settings.timeout->value >= 0)) ||
        (settings.memoryMiB && settings.memoryMiB->value < 0))
        __builtin_trap();
    return 0;
}
