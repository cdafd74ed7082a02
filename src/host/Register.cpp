// `tarnel register`, `tarnel unregister` and `tarnel registry`: the registration tool's part, and a look at
// what the registry holds.
#include "host/Escape.h"
#include "host/Host.h"
#include "host/ModuleLoader.h"

#include "platform/tarnel/regstore.h"
#include "platform/tarnel/widestr.h"
#include "statreg.h"
#include "winreg.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace tarnel::plat;
using namespace tarnel::reg;

namespace {

// Copies a key and everything below it, as the registry functions show it, into `into`.
LONG CopyKey(HKEY key, RegKeyNode& into) {
    std::vector<WCHAR> name(kRegMaxValueNameLength + 1);
    for (DWORD i = 0;; ++i) {
        DWORD cch = DWORD(name.size()), type = 0, size = 0;
        LONG r = RegEnumValueW(key, i, name.data(), &cch, nullptr, &type, nullptr, &size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS)
            return r;
        RegValue value{std::wstring(name.data(), cch), type, std::vector<BYTE>(size)};
        cch = DWORD(name.size());
        r = RegEnumValueW(key, i, name.data(), &cch, nullptr, &type, value.data.data(), &size);
        if (r != ERROR_SUCCESS)
            return r;
        value.data.resize(size);
        into.SetValue(std::move(value));
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = DWORD(name.size());
        LONG r = RegEnumKeyExW(key, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS)
            return r;
        const std::wstring subName(name.data(), cch);
        HKEY sub = nullptr;
        if ((r = RegOpenKeyExW(key, subName.c_str(), 0, KEY_READ, &sub)) != ERROR_SUCCESS)
            return r;
        r = CopyKey(sub, into.Child(subName));
        RegCloseKey(sub);
        if (r != ERROR_SUCCESS)
            return r;
    }
    return ERROR_SUCCESS;
}

int RunDump(const RegistryRequest& request) {
    HKEY root = HKEY_CLASSES_ROOT;
    std::wstring label = L"HKEY_CLASSES_ROOT", below;
    if (request.classes == RegistryRequest::User) {
        root = HKEY_CURRENT_USER;
        label = L"HKEY_CURRENT_USER";
        below = L"Software\\Classes";
    } else if (request.classes == RegistryRequest::System) {
        root = HKEY_LOCAL_MACHINE;
        label = L"HKEY_LOCAL_MACHINE";
        below = L"Software\\Classes";
    }
    std::vector<std::string> keys = request.keys;
    if (keys.empty())
        keys.push_back("");

    RegistryHive view;
    RegKeyNode& top = view.top.Child(label);
    for (const std::string& key : keys) {
        std::wstring path = below;
        const std::wstring wide = WidenFileName(key);
        if (!wide.empty())
            path += (path.empty() ? L"" : L"\\") + wide;
        // The node for this key in the view: the path's components one below the other.
        RegKeyNode* node = &top;
        for (size_t start = 0; start < path.size();) {
            size_t slash = path.find(L'\\', start);
            if (slash == std::wstring::npos)
                slash = path.size();
            if (slash > start)
                node = &node->Child(path.substr(start, slash - start));
            start = slash + 1;
        }
        HKEY h = nullptr;
        LONG r = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h);
        if (r == ERROR_FILE_NOT_FOUND) {
            std::fprintf(stderr, "tarnel registry: no key %s\n", Printable(key).c_str());
            return kExitNoPicture;
        }
        if (r == ERROR_SUCCESS) {
            r = CopyKey(h, *node);
            RegCloseKey(h);
        }
        if (r != ERROR_SUCCESS) {
            std::fprintf(stderr, "tarnel registry: cannot read the registry: %s\n",
                         DescribeHResult(HRESULT_FROM_WIN32(r)).c_str());
            return kExitNoPicture;
        }
    }
    std::fputs(view.Format().c_str(), stdout);
    return 0;
}

} // namespace

int RunRegister(int argc, char** argv) {
    RegisterRequest request;
    if (const int status = ReadArguments(ParseRegisterArguments, argc, argv, request); status >= 0)
        return status;
    return RegisterModule(request.module != nullptr ? request.module : DefaultModulePath(), request.system,
                          std::strcmp(request.line.command->name, "unregister") == 0,
                          request.line.command->name);
}

int RegisterModule(const std::string& module, bool system, bool unregister, const char* command) {
    AtlSetPerUserRegistration(!system);
    CModuleLoader loader;
    std::string error;
    if (!loader.Load(module, error)) {
        std::fprintf(stderr, "tarnel %s: %s\n", command, error.c_str());
        return kExitNoPicture;
    }
    CModuleLoader::EntryFn entry = unregister ? loader.DllUnregisterServer : loader.DllRegisterServer;
    const char* name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    if (entry == nullptr) {
        std::fprintf(stderr, "tarnel %s: %s has no %s\n", command, Printable(loader.Path()).c_str(), name);
        return kExitNoPicture;
    }
    const HRESULT hr = entry();
    std::printf("%s -> %s\n", name, DescribeHResult(hr).c_str());
    return SUCCEEDED(hr) ? 0 : kExitNoPicture;
}

int RunRegistry(int argc, char** argv) {
    RegistryRequest request;
    if (const int status = ReadArguments(ParseRegistryArguments, argc, argv, request); status >= 0)
        return status;
    if (request.action == RegistryRequest::Dump)
        return RunDump(request);
    std::printf("user: %s\nsystem: %s\n", Printable(HiveFile(RegRoot::CurrentUser)).c_str(),
                Printable(HiveFile(RegRoot::LocalMachine)).c_str());
    return 0;
}
