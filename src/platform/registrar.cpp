// The registrar: the script's walk is the same on both platforms; the registry it walks is the platform's
// (RegistrarSession: our hive store here, the real registry on Windows).
#include "libloaderapi.h"
#include "platform/tarnel/regscript.h"
#include "statreg.h"
#include "stringapiset.h"
#ifdef _WIN32
#include "platform/win/regsession.h"
#else
#include "platform/tarnel/regsession.h"
#endif

#include <cstring>
#include <new>

using namespace tarnel::reg;

namespace {

using Path = RegistrarSession::Path;

Path Child(Path path, const std::wstring& name) {
    path.push_back(name);
    return path;
}

HRESULT Result(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT SetValue(RegistrarSession& session, const Path& path, const RegScriptValue& v) {
    DWORD number = 0;
    if (v.type == L'd')
        ParseRegistrationNumber(v.datum, number);
    return Result(session.SetValue(path, v, number));
}

HRESULT RegisterKey(RegistrarSession& session, const Path& parent, const RegScriptKey& key) {
    const Path path = Child(parent, key.name);
    if (key.flag == RegScriptKey::kForceRemove) {
        LONG r = session.DeleteTree(path);
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND)
            return Result(r);
    }
    if (LONG r = session.Create(path); r != ERROR_SUCCESS)
        return Result(r);
    if (key.defaultValue)
        if (HRESULT hr = SetValue(session, path, *key.defaultValue); FAILED(hr))
            return hr;
    for (const RegScriptKey::Item& item : key.items) {
        HRESULT hr = item.value ? SetValue(session, path, *item.value) : RegisterKey(session, path, item.key);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT UnregisterKey(RegistrarSession& session, const Path& parent, const RegScriptKey& key) {
    const Path path = Child(parent, key.name);
    bool exists = false, hasSubkeys = false;
    if (LONG r = session.Probe(path, exists, hasSubkeys); r != ERROR_SUCCESS)
        return Result(r);
    if (!exists)
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
    if (LONG r = session.Probe(path, exists, hasSubkeys); r != ERROR_SUCCESS)
        return Result(r);
    if (!exists || hasSubkeys) // others' subkeys keep the key
        return S_OK;
    return Result(session.DeleteKey(path));
}

HRESULT UnregisterKeys(RegistrarSession& session, const std::vector<RegScriptKey>& keys) {
    for (const RegScriptKey& key : keys)
        if (HRESULT hr = UnregisterKey(session, {}, key); FAILED(hr))
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
            RegistrarSession session(root.name);
            HRESULT hr = S_OK;
            if (bRegister) {
                for (const RegScriptKey& key : root.keys)
                    if (FAILED(hr = RegisterKey(session, {}, key)))
                        break;
                if (FAILED(hr)) {
                    // Take back what this block wrote: the registry is left as unregistering leaves it.
                    UnregisterKeys(session, root.keys);
                    session.Commit();
                    return hr;
                }
            } else {
                hr = UnregisterKeys(session, root.keys);
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
