// Loads an in-process server as the platform's COM runtime would: by its file, through its exports, and
// lets it go only when it says that it may be unloaded.
#pragma once

#include "objbase.h"

#include <string>

class CModuleLoader {
public:
    typedef HRESULT (*GetClassObjectFn)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
    typedef HRESULT (*EntryFn)();

    CModuleLoader() = default;
    ~CModuleLoader() { Unload(); }
    CModuleLoader(const CModuleLoader&) = delete;
    CModuleLoader& operator=(const CModuleLoader&) = delete;

    // Loads the module (a relative path is taken from the current folder; links are not resolved, so the
    // module reports the path it was given). It must have DllGetClassObject and DllCanUnloadNow; the
    // registration exports may be missing (null). False with a message in `error`.
    bool Load(const std::string& path, std::string& error);
    // Loads the module open at fd (OpenTrustedModule), whose real path is path: the file itself, whatever
    // its name now leads to.
    bool Load(int fd, const std::string& path, std::string& error);
    // Unloads the module when DllCanUnloadNow answers S_OK; otherwise it stays loaded until the process
    // ends. True when it was unloaded (or none was loaded).
    bool Unload();

    const std::string& Path() const { return m_path; }
    // After a failed Load: the file loaded, but lacks DllGetClassObject or DllCanUnloadNow.
    bool LacksExports() const { return m_lacksExports; }

    GetClassObjectFn DllGetClassObject = nullptr;
    EntryFn DllCanUnloadNow = nullptr;
    EntryFn DllRegisterServer = nullptr;
    EntryFn DllUnregisterServer = nullptr;

private:
    bool Open(const std::string& file, const std::string& path, std::string& error);

    void* m_handle = nullptr;
    bool m_lacksExports = false;
    std::string m_path;
};

// The module that was built or installed with this host: lib/libtarnel.so beside the program's bin folder.
std::string DefaultModulePath();
