#include "libloaderapi.h"
#include "platform/tarnel/regscript.h"
#include "platform/tarnel/regstore.h"
#include "platform/tarnel/widestr.h"
#include "statreg.h"
#include "stringapiset.h"

#include <cstring>
#include <new>

using namespace tarnel::plat;
using namespace tarnel::reg;

namespace {

RegKeyPath BaseOf(const std::wstring& rootName) {
    if (NamesEqual(rootName, L"HKCR") || NamesEqual(rootName, L"HKEY_CLASSES_ROOT"))
        return ClassesWritePath();
    if (NamesEqual(rootName, L"HKCU") || NamesEqual(rootName, L"HKEY_CURRENT_USER"))
        return {RegRoot::CurrentUser, {}};
    return {RegRoot::LocalMachine, {}};
}

RegKeyPath Child(RegKeyPath path, const std::wstring& name) {
    path.parts.push_back(name);
    return path;
}

RegValue ToValue(const RegScriptValue& v) {
    RegValue value;
    value.name = v.name;
    if (v.type == L'd') {
        DWORD n = 0;
        ParseRegistrationNumber(v.datum, n);
        value.type = REG_DWORD;
        value.data = {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)};
    } else {
        value.type = REG_SZ;
        const size_t bytes = (v.datum.size() + 1) * sizeof(WCHAR);
        value.data.resize(bytes);
        std::memcpy(value.data.data(), v.datum.c_str(), bytes);
    }
    return value;
}

HRESULT Result(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT RegisterKey(RegistrySession& session, const RegKeyPath& parent, const RegScriptKey& key) {
    const RegKeyPath path = Child(parent, key.name);
    if (key.flag == RegScriptKey::kForceRemove) {
        LONG r = session.DeleteTree(path);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
            return Result(r);
    }
    if (LONG r = session.Create(path); r != ERROR_SUCCESS)
        return Result(r);
    if (key.defaultValue)
        if (LONG r = session.SetValue(path, ToValue(*key.defaultValue)); r != ERROR_SUCCESS)
            return Result(r);
    for (const RegScriptKey::Item& item : key.items) {
        HRESULT hr = item.value ? Result(session.SetValue(path, ToValue(*item.value)))
                                : RegisterKey(session, path, item.key);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT UnregisterKey(RegistrySession& session, const RegKeyPath& parent, const RegScriptKey& key) {
    const RegKeyPath path = Child(parent, key.name);
    const RegKeyNode* node = nullptr;
    if (LONG r = session.Find(path, node); r != ERROR_SUCCESS)
        return Result(r);
    if (node == nullptr)
        return S_OK;
    for (const RegScriptKey::Item& item : key.items) {
        if (item.value) {
            LONG r = session.DeleteValue(path, item.value->name);
            if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
                return Result(r);
        } else if (HRESULT hr = UnregisterKey(session, path, item.key); FAILED(hr)) {
            return hr;
        }
    }
    if (key.flag == RegScriptKey::kNoRemove)
        return S_OK;
    if (LONG r = session.Find(path, node); r != ERROR_SUCCESS)
        return Result(r);
    if (node == nullptr || !node->subkeys.empty()) // others' subkeys keep the key
        return S_OK;
    return Result(session.DeleteKey(path));
}

HRESULT UnregisterKeys(RegistrySession& session, const RegKeyPath& base,
                       const std::vector<RegScriptKey>& keys) {
    for (const RegScriptKey& key : keys)
        if (HRESULT hr = UnregisterKey(session, base, key); FAILED(hr))
            return hr;
    return S_OK;
}

} // namespace

HRESULT CRegObject::AddReplacement(LPCOLESTR key, LPCOLESTR item) {
    if (key == nullptr || item == nullptr)
        return E_INVALIDARG;
    try {
        m_replacements.emplace_back(key, item);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::ClearReplacements() {
    m_replacements.clear();
    return S_OK;
}

HRESULT CRegObject::ResourceRegister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) {
    return ApplyResource(resFileName, nID, szType, true);
}

HRESULT CRegObject::ResourceUnregister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) {
    return ApplyResource(resFileName, nID, szType, false);
}

HRESULT CRegObject::StringRegister(LPCOLESTR data) {
    return data == nullptr ? E_INVALIDARG : Apply(data, true);
}

HRESULT CRegObject::StringUnregister(LPCOLESTR data) {
    return data == nullptr ? E_INVALIDARG : Apply(data, false);
}

HRESULT CRegObject::ApplyResource(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType, bool bRegister) {
    if (resFileName == nullptr || szType == nullptr)
        return E_INVALIDARG;
    try {
        HMODULE hModule = ::LoadLibraryExW(resFileName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (hModule == nullptr)
            return AtlHresultFromLastError();
        HRESULT hr = S_OK;
        std::wstring script;
        HRSRC hRsrc = ::FindResourceW(hModule, MAKEINTRESOURCEW(nID), szType);
        HGLOBAL hData = hRsrc != nullptr ? ::LoadResource(hModule, hRsrc) : nullptr;
        if (hData == nullptr) {
            hr = AtlHresultFromLastError();
        } else {
            const auto* text = static_cast<const char*>(::LockResource(hData));
            const int size = int(::strnlen(text, ::SizeofResource(hModule, hRsrc)));
            const int length = size > 0 ? ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, size, nullptr, 0) : 0;
            script.resize(size_t(length));
            if (length > 0)
                ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, size, script.data(), length);
        }
        ::FreeLibrary(hModule);
        return FAILED(hr) ? hr : Apply(script, bRegister);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRegObject::Apply(std::wstring_view script, bool bRegister) {
    try {
        std::wstring expanded;
        std::vector<RegScriptRoot> roots;
        if (!ExpandRegistrationScript(script, m_replacements, expanded) ||
            !ParseRegistrationScript(expanded, roots))
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA); // no well-formed script
        for (const RegScriptRoot& root : roots) {
            const RegKeyPath base = BaseOf(root.name);
            RegistrySession session(base.root);
            HRESULT hr = S_OK;
            if (bRegister) {
                for (const RegScriptKey& key : root.keys)
                    if (FAILED(hr = RegisterKey(session, base, key)))
                        break;
                if (FAILED(hr)) {
                    // Take back what this block wrote: the registry is left as unregistering leaves it.
                    UnregisterKeys(session, base, root.keys);
                    session.Commit();
                    return hr;
                }
            } else {
                hr = UnregisterKeys(session, base, root.keys);
            }
            const HRESULT committed = Result(session.Commit());
            if (FAILED(hr))
                return hr;
            if (FAILED(committed))
                return committed;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
