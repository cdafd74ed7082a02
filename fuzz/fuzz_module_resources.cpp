// Fuzz target: any bytes as a module opened as a data file, as the registrar and the type library loader
// open one to read its "REGISTRY" and "TYPELIB" resources. Whatever the file holds, a resource found lies
// inside the file, and the module is let go again.
#include "MemoryFile.h"

#include "libloaderapi.h"
#include "winbase.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile file("module.so", data, size);
    if (!file.ok())
        return 0;
    HMODULE module = LoadLibraryExW(file.path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return 0;
    for (const auto& [name, type] :
         {std::pair{MAKEINTRESOURCEW(2001), L"REGISTRY"}, std::pair{MAKEINTRESOURCEW(1), L"TYPELIB"}}) {
        HRSRC found = FindResourceW(module, name, type);
        if (found == nullptr)
            continue;
        const DWORD bytes = SizeofResource(module, found);
        const auto* at = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
        if (bytes > size || (bytes > 0 && at == nullptr))
            __builtin_trap();
        volatile uint8_t sum = 0;
        for (DWORD i = 0; i < bytes; ++i)
            sum = uint8_t(sum + at[i]); // every byte of it can be read
    }
    FreeLibrary(module);
    return 0;
}
