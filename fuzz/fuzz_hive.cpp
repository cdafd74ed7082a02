// Fuzz target: any bytes as a hive file. What is read is written out again, and that text reads back as
// the same keys and values and is written out the same.
#include "platform/tarnel/reghive.h"

#include <cstdint>
#include <string_view>

using tarnel::reg::RegistryHive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RegistryHive hive;
    if (!hive.Parse(std::string_view(reinterpret_cast<const char*>(data), size)))
        return 0;
    const std::string text = hive.Format();
    RegistryHive again;
    size_t line = 0;
    if (!again.Parse(text, &line) || !(again.top == hive.top) || again.Format() != text)
        __builtin_trap();
    return 0;
}
