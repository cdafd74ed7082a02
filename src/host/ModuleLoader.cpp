#include "host/ModuleLoader.h"

#include "host/Escape.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

bool CModuleLoader::Load(const std::string& path, std::string& error) {
    std::filesystem::path full(path);
    if (full.is_relative()) {
        std::error_code ec;
        full = std::filesystem::current_path(ec) / full;
    }
    return Open(full.lexically_normal().string(), full.lexically_normal().string(), error);
}

bool CModuleLoader::Load(int fd, const std::string& path, std::string& error) {
    // Through the descriptor's own name; where /proc is missing, by the real path, which only root or this
    // user can change (OpenTrustedModule judged every folder above it).
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return Open(::access(self.c_str(), R_OK) == 0 ? self : path, path, error);
}

bool CModuleLoader::Open(const std::string& file, const std::string& path, std::string& error) {
    Unload();
    m_path = path;
    m_lacksExports = false;
    m_handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = ::dlerror();
        error = "cannot load " + Printable(m_path) + ": " + Printable(why != nullptr ? why : "unknown error");
        return false;
    }
    DllGetClassObject = reinterpret_cast<GetClassObjectFn>(::dlsym(m_handle, "DllGetClassObject"));
    DllCanUnloadNow = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllCanUnloadNow"));
    DllRegisterServer = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllRegisterServer"));
    DllUnregisterServer = reinterpret_cast<EntryFn>(::dlsym(m_handle, "DllUnregisterServer"));
    if (DllGetClassObject == nullptr || DllCanUnloadNow == nullptr) {
        m_lacksExports = true;
        error =
            Printable(m_path) + " is no in-process server: DllGetClassObject or DllCanUnloadNow is missing";
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
