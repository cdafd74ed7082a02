// Fuzz target: any bytes as a registration script applied by the registrar (StringRegister, then
// StringUnregister) to a registry of the target's own, as `tarnel register` applies a module's script. The
// registry it leaves is always one the hive reader takes back, and a script that registers unregisters
// without an error the kernel would have to report.
#include "platform/tarnel/widestr.h"
#include "statreg.h"
#include "winreg.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Hive {
    std::string folder, file;
    ~Hive() {
        if (!folder.empty())
            std::system(("rm -rf '" + folder + "'").c_str());
    }
} g_hive;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/tarnel-fuzz-registrar-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        std::abort();
    g_hive.folder = pattern;
    g_hive.file = g_hive.folder + "/registry.reg";
    ::setenv("TARNEL_REGISTRY", g_hive.file.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ::unlink(g_hive.file.c_str()); // each script on an empty registry
    const std::wstring script =
        tarnel::plat::WidenFileName(std::string_view(reinterpret_cast<const char*>(data), size));
    CRegObject registrar;
    registrar.AddReplacement(L"MODULE", L"/opt/tarnel/libtarnel.so");
    if (SUCCEEDED(registrar.StringRegister(script.c_str()))) {
        // What was written reads back: the hive is whole.
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"", 0, KEY_READ, &key) == ERROR_BADDB)
            __builtin_trap();
        if (key != nullptr)
            RegCloseKey(key);
        registrar.StringUnregister(script.c_str());
    }
    return 0;
}
