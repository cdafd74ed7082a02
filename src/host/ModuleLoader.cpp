#include "host/ModuleLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

bool CModuleLoader::Load(const std::string& path, std::string& error) {
    Unload();
    std::filesystem::path full(path);
    if (full.is_relative()) {
        std::error_code ec;
        full = std::filesystem::current_path(ec) / full;
    }
    m_path = full.lexically_normal().string();
    m_handle = ::dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = ::dlerror();
        error = "cannot load " + m_path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    DllGetClassObject = reinterpret_cast<GetClassObjectFn>(::dlsym(m_handle, "DllGetClassObject"));
    DllCanUnloadNow = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllCanUnloadNow"));
    DllRegisterServer = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllRegisterServer"));
    DllUnregisterServer = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllUnregisterServer"));
    if (DllGetClassObject == nullptr || DllCanUnloadNow == nullptr) {
        error = m_path + " is no in-process server: DllGetClassObject or DllCanUnloadNow is missing";
        ::dlclose(m_handle);
        m_handle = nullptr;
        DllGetClassObject = nullptr;
        DllCanUnloadNow = DllRegisterServer = DllUnregisterServer = nullptr;
        return false;
    }
    return true;
}

bool CModuleLoader::Unload() {
    if (m_handle == nullptr)
        return true;
    if (DllCanUnloadNow() != S_OK)
        return false; // something still uses it; the process's end takes it away
    ::dlclose(m_handle);
    m_handle = nullptr;
    DllGetClassObject = nullptr;
    DllCanUnloadNow = DllRegisterServer = DllUnregisterServer = nullptr;
    return true;
}

std::string DefaultModulePath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "libtarnel.so";
    self[n] = '\0';
    // Installed, the libraries are tarnel's own below PREFIX/lib (TARNEL_PRIVATE_LIBDIR); in a build they
    // lie in lib/ beside bin/.
    const std::filesystem::path prefix = std::filesystem::path(self).parent_path() / "..";
    const std::filesystem::path installed =
        (prefix / TARNEL_PRIVATE_LIBDIR / "libtarnel.so").lexically_normal();
    if (::access(installed.c_str(), F_OK) == 0)
        return installed.string();
    return (prefix / "lib" / "libtarnel.so").lexically_normal().string();
}
