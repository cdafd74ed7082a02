#include "platform/tarnel/regstore.h"
#include "winreg.h"

#include <cstring>
#include <mutex>
#include <new>
#include <set>

using namespace tarnel::reg;

namespace {

enum class Kind { Classes, CurrentUser, LocalMachine };

struct KeyHandle {
    Kind kind;
    std::vector<std::wstring> parts;
};

// Open handles, so that a closed or foreign handle is refused rather than followed.
std::mutex g_handlesLock;
std::set<const KeyHandle*> g_handles;

bool Resolve(HKEY hKey, KeyHandle& out) {
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) {
        out = {hKey == HKEY_CLASSES_ROOT   ? Kind::Classes
               : hKey == HKEY_CURRENT_USER ? Kind::CurrentUser
                                           : Kind::LocalMachine,
               {}};
        return true;
    }
    auto* h = reinterpret_cast<const KeyHandle*>(hKey);
    std::lock_guard<std::mutex> guard(g_handlesLock);
    if (g_handles.count(h) == 0)
        return false;
    out = *h;
    return true;
}

HKEY NewHandle(KeyHandle h) {
    auto* p = new KeyHandle(std::move(h));
    std::lock_guard<std::mutex> guard(g_handlesLock);
    g_handles.insert(p);
    return reinterpret_cast<HKEY>(p);
}

// Appends the components of a subkey path: a trailing backslash is allowed, empty components are not.
LONG AppendSubKey(std::vector<std::wstring>& parts, LPCWSTR subKey) {
    if (subKey == nullptr || subKey[0] == L'\0')
        return ERROR_SUCCESS;
    std::wstring_view rest(subKey);
    if (rest.back() == L'\\')
        rest.remove_suffix(1);
    for (;;) {
        size_t slash = rest.find(L'\\');
        std::wstring_view part = rest.substr(0, slash);
        if (part.empty())
            return ERROR_BAD_PATHNAME;
        parts.emplace_back(part);
        if (slash == std::wstring_view::npos)
            return ERROR_SUCCESS;
        rest.remove_prefix(slash + 1);
    }
}

RegKeyPath Below(RegKeyPath base, const std::vector<std::wstring>& parts) {
    base.parts.insert(base.parts.end(), parts.begin(), parts.end());
    return base;
}

RegKeyPath WritePath(const KeyHandle& h) {
    if (h.kind == Kind::Classes)
        return Below(ClassesWritePath(), h.parts);
    return {h.kind == Kind::CurrentUser ? RegRoot::CurrentUser : RegRoot::LocalMachine, h.parts};
}

// The key as a handle sees it: one node, or for HKEY_CLASSES_ROOT the user's and the system's.
struct View {
    const RegKeyNode* nodes[2] = {nullptr, nullptr};
    size_t count = 0;
    bool isRoot = false; // a predefined key always exists, even in an empty hive
    bool Exists() const { return count > 0 || isRoot; }
};

LONG Look(RegistrySession& session, const KeyHandle& h, View& view) {
    view.isRoot = h.parts.empty();
    RegKeyPath paths[2];
    size_t n = 0;
    if (h.kind == Kind::Classes) {
        paths[n++] = Below({RegRoot::CurrentUser, {L"Software", L"Classes"}}, h.parts);
        paths[n++] = Below({RegRoot::LocalMachine, {L"Software", L"Classes"}}, h.parts);
    } else {
        paths[n++] = WritePath(h);
    }
    for (size_t i = 0; i < n; ++i) {
        const RegKeyNode* node = nullptr;
        if (LONG r = session.Find(paths[i], node); r != ERROR_SUCCESS)
            return r;
        if (node != nullptr)
            view.nodes[view.count++] = node;
    }
    return ERROR_SUCCESS;
}

LONG CopyData(const std::vector<BYTE>& data, LPBYTE lpData, LPDWORD lpcbData) {
    const DWORD size = DWORD(data.size());
    if (lpData == nullptr) {
        if (lpcbData != nullptr)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD lpcch) {
    if (name.size() + 1 > *lpcch)
        return ERROR_MORE_DATA;
    std::wmemcpy(buffer, name.c_str(), name.size() + 1);
    *lpcch = DWORD(name.size());
    return ERROR_SUCCESS;
}

// One change through a handle, committed at once.
template <class Change>
LONG Write(HKEY hKey, const std::vector<std::wstring>& more, Change change) {
    KeyHandle h;
    if (!Resolve(hKey, h))
        return ERROR_INVALID_HANDLE;
    h.parts.insert(h.parts.end(), more.begin(), more.end());
    const RegKeyPath path = WritePath(h);
    RegistrySession session(path.root);
    LONG r = change(session, h, path);
    return r != ERROR_SUCCESS ? r : session.Commit();
}

// Reads through a handle, or the subkey below it: read(handle, view) of the key, or `missing` when the key
// does not exist.
template <class Read>
LONG ReadKey(HKEY hKey, LPCWSTR subKey, LONG missing, Read read) {
    try {
        KeyHandle h;
        if (!Resolve(hKey, h))
            return ERROR_INVALID_HANDLE;
        if (LONG r = AppendSubKey(h.parts, subKey); r != ERROR_SUCCESS)
            return r;
        RegistrySession session;
        View view;
        if (LONG r = Look(session, h, view); r != ERROR_SUCCESS)
            return r;
        if (!view.Exists())
            return missing;
        return read(h, view);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace

extern "C" {

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return ReadKey(hKey, lpSubKey, ERROR_FILE_NOT_FOUND, [&](KeyHandle& h, const View&) -> LONG {
        *phkResult = NewHandle(std::move(h));
        return ERROR_SUCCESS;
    });
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, void*, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    try {
        std::vector<std::wstring> more;
        if (LONG r = AppendSubKey(more, lpSubKey); r != ERROR_SUCCESS)
            return r;
        bool created = false;
        KeyHandle opened;
        LONG r = Write(hKey, more, [&](RegistrySession& session, const KeyHandle& h, const RegKeyPath& path) {
            opened = h;
            return session.Create(path, &created);
        });
        if (r != ERROR_SUCCESS)
            return r;
        if (lpdwDisposition != nullptr)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *phkResult = NewHandle(std::move(opened));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    auto* h = reinterpret_cast<const KeyHandle*>(hKey);
    {
        std::lock_guard<std::mutex> guard(g_handlesLock);
        if (g_handles.erase(h) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete h;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, nullptr, ERROR_KEY_DELETED, [&](KeyHandle&, const View& view) -> LONG {
        const std::wstring_view name = lpValueName != nullptr ? lpValueName : L"";
        for (size_t i = 0; i < view.count; ++i) {
            if (const RegValue* v = view.nodes[i]->FindValue(name)) {
                if (lpType != nullptr)
                    *lpType = v->type;
                return CopyData(v->data, lpData, lpcbData);
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData > 0)
        return ERROR_INVALID_PARAMETER;
    try {
        RegValue value{lpValueName != nullptr ? lpValueName : L"", dwType,
                       std::vector<BYTE>(lpData, lpData + (lpData != nullptr ? cbData : 0))};
        return Write(hKey, {}, [&](RegistrySession& session, const KeyHandle& h, const RegKeyPath& path) {
            LONG r = session.SetValue(path, value);
            if (r == ERROR_KEY_DELETED && h.kind == Kind::Classes) {
                // A class key seen only in the system's classes gets its own copy in the user's.
                View view;
                if (Look(session, h, view) == ERROR_SUCCESS && view.count > 0 &&
                    (r = session.Create(path)) == ERROR_SUCCESS)
                    r = session.SetValue(path, value);
            }
            return r;
        });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    try {
        const std::wstring name = lpValueName != nullptr ? lpValueName : L"";
        return Write(hKey, {}, [&](RegistrySession& session, const KeyHandle&, const RegKeyPath& path) {
            return session.DeleteValue(path, name);
        });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        std::vector<std::wstring> more;
        if (LONG r = AppendSubKey(more, lpSubKey); r != ERROR_SUCCESS)
            return r;
        return Write(hKey, more, [&](RegistrySession& session, const KeyHandle&, const RegKeyPath& path) {
            return session.DeleteKey(path);
        });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    try {
        std::vector<std::wstring> more;
        if (LONG r = AppendSubKey(more, lpSubKey); r != ERROR_SUCCESS)
            return r;
        const bool keepKey = lpSubKey == nullptr;
        return Write(hKey, more, [&](RegistrySession& session, const KeyHandle&, const RegKeyPath& path) {
            return session.DeleteTree(path, keepKey);
        });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                   LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, nullptr, ERROR_KEY_DELETED, [&](KeyHandle&, const View& view) -> LONG {
        std::set<std::wstring, NameLess> names; // the user's spelling wins
        for (size_t i = 0; i < view.count; ++i)
            for (const auto& [name, sub] : view.nodes[i]->subkeys)
                names.insert(sub->name);
        if (dwIndex >= names.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = names.begin();
        std::advance(it, dwIndex);
        if (LONG r = CopyName(*it, lpName, lpcchName); r != ERROR_SUCCESS)
            return r;
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            lpClass[0] = L'\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr)
            *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return ReadKey(hKey, nullptr, ERROR_KEY_DELETED, [&](KeyHandle&, const View& view) -> LONG {
        std::vector<const RegValue*> values;
        for (size_t i = 0; i < view.count; ++i)
            for (const RegValue& v : view.nodes[i]->values)
                if (i == 0 || view.nodes[0]->FindValue(v.name) == nullptr)
                    values.push_back(&v);
        if (dwIndex >= values.size())
            return ERROR_NO_MORE_ITEMS;
        const RegValue& v = *values[dwIndex];
        if (LONG r = CopyName(v.name, lpValueName, lpcchValueName); r != ERROR_SUCCESS)
            return r;
        if (lpType != nullptr)
            *lpType = v.type;
        return CopyData(v.data, lpData, lpcbData);
    });
}

} // extern "C"
