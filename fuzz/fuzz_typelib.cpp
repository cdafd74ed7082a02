// Fuzz target: any bytes as the type library's text form, as a module's "TYPELIB" resource or a .tlb file
// beside it gives it. A class of a library that parses implements only interfaces of that library.
#include "platform/tarnel/typelib.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarnel::typelib::LibDesc lib;
    if (SUCCEEDED(tarnel::typelib::Parse(std::string_view(reinterpret_cast<const char*>(data), size), lib)))
        for (const tarnel::typelib::TypeDesc& type : lib.types)
            for (const auto& [index, flags] : type.implemented)
                if (index >= lib.types.size() || lib.types[index].kind == TKIND_COCLASS)
                    __builtin_trap();
    return 0;
}
