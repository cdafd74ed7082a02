// ATL's base: the module (its lock count, its class-table lock, its termination callbacks and the
// registration of its script resources) and the loading and registration of the type library a module
// carries. All of it is compiled into each module, so every module has its own.
#pragma once

#include "libloaderapi.h"
#include "oleauto.h"
#include "statreg.h"

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

typedef void(WINAPI _ATL_TERMFUNC)(DWORD_PTR dw);

// The module: counts the reasons to stay loaded, guards the lazy creation of class objects and runs the
// callbacks registered for the end of the server. Each module defines its own instance and points
// _pAtlModule at it.
class CAtlModule {
public:
    virtual ~CAtlModule() = default;
    LONG Lock() { return ++m_nLockCnt; }
    LONG Unlock() { return --m_nLockCnt; }
    LONG GetLockCount() const { return m_nLockCnt.load(); }

    HRESULT AddTermFunc(_ATL_TERMFUNC* pFunc, DWORD_PTR dw) {
        try {
            std::lock_guard<std::mutex> guard(m_csTermFuncs);
            m_termFuncs.emplace_back(pFunc, dw);
            return S_OK;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    // Runs the termination callbacks, the last registered first.
    void RunTermFuncs() {
        std::vector<std::pair<_ATL_TERMFUNC*, DWORD_PTR>> funcs;
        {
            std::lock_guard<std::mutex> guard(m_csTermFuncs);
            funcs.swap(m_termFuncs);
        }
        for (auto it = funcs.rbegin(); it != funcs.rend(); ++it)
            it->first(it->second);
    }

    // Applies (or takes back) the registration script resource nResID of this module's file, with %MODULE%
    // standing for the file's full path.
    HRESULT UpdateRegistryFromResource(UINT nResID, BOOL bRegister);

    std::atomic<LONG> m_nLockCnt{0};
    std::mutex m_csObjMap; // the class-table lock
    HINSTANCE m_hInst = nullptr;

private:
    std::mutex m_csTermFuncs;
    std::vector<std::pair<_ATL_TERMFUNC*, DWORD_PTR>> m_termFuncs;
};
extern CAtlModule* _pAtlModule;

struct CComSingleThreadModel {
    static ULONG Increment(ULONG* p) { return ++(*p); }
    static ULONG Decrement(ULONG* p) { return --(*p); }
};

struct CComMultiThreadModel {
    static ULONG Increment(ULONG* p) { return std::atomic_ref<ULONG>(*p).fetch_add(1) + 1; }
    static ULONG Decrement(ULONG* p) { return std::atomic_ref<ULONG>(*p).fetch_sub(1) - 1; }
};
typedef CComMultiThreadModel CComGlobalsThreadModel;

// The full path of a module's file, for a buffer of MAX_PATH characters: a path that fills it is refused
// with ERROR_INSUFFICIENT_BUFFER rather than used cut short.
inline HRESULT AtlGetModulePath(HINSTANCE hInst, std::wstring& path) {
    WCHAR szModule[MAX_PATH];
    DWORD dwLen = ::GetModuleFileNameW(hInst, szModule, MAX_PATH);
    if (dwLen == 0)
        return AtlHresultFromLastError();
    if (dwLen == MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    path.assign(szModule, dwLen);
    return S_OK;
}

inline HRESULT CAtlModule::UpdateRegistryFromResource(UINT nResID, BOOL bRegister) {
    std::wstring path;
    HRESULT hr = AtlGetModulePath(m_hInst, path);
    if (FAILED(hr))
        return hr;
    // The script puts %MODULE% inside single quotes: doubled, a quote in the path reads back as one.
    std::wstring quoted;
    for (wchar_t c : path) {
        if (c == L'\'')
            quoted += L'\'';
        quoted += c;
    }
    CRegObject ro;
    hr = ro.AddReplacement(L"Module", quoted.c_str());
    if (FAILED(hr))
        return hr;
    return bRegister ? ro.ResourceRegister(path.c_str(), nResID, L"REGISTRY")
                     : ro.ResourceUnregister(path.c_str(), nResID, L"REGISTRY");
}

// The type library of a module: its "TYPELIB" resource, or else a ".tlb" file of the module's name beside
// it. *pbstrPath receives the file it came from.
inline HRESULT AtlLoadTypeLib(HINSTANCE hInstTypeLib, BSTR* pbstrPath, ITypeLib** ppTypeLib) {
    *pbstrPath = nullptr;
    *ppTypeLib = nullptr;
    std::wstring path;
    HRESULT hr = AtlGetModulePath(hInstTypeLib, path);
    if (FAILED(hr))
        return hr;
    hr = ::LoadTypeLib(path.c_str(), ppTypeLib);
    if (FAILED(hr)) {
        const size_t slash = path.find_last_of(L"/\\"), dot = path.rfind(L'.');
        if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
            path.erase(dot);
        path += L".tlb";
        hr = ::LoadTypeLib(path.c_str(), ppTypeLib);
    }
    if (SUCCEEDED(hr)) {
        *pbstrPath = ::SysAllocString(path.c_str());
        if (*pbstrPath == nullptr) {
            (*ppTypeLib)->Release();
            *ppTypeLib = nullptr;
            hr = E_OUTOFMEMORY;
        }
    }
    return hr;
}

// Registers the module's type library where it was found, with the folder of its help file if it names one.
inline HRESULT AtlRegisterTypeLib(HINSTANCE hInstTypeLib) {
    BSTR bstrPath = nullptr;
    ITypeLib* pTypeLib = nullptr;
    HRESULT hr = AtlLoadTypeLib(hInstTypeLib, &bstrPath, &pTypeLib);
    if (FAILED(hr))
        return hr;
    BSTR bstrHelpFile = nullptr;
    pTypeLib->GetDocumentation(-1, nullptr, nullptr, nullptr, &bstrHelpFile);
    std::wstring helpDir;
    if (bstrHelpFile != nullptr && bstrHelpFile[0] != L'\0') {
        helpDir = bstrPath;
        helpDir.erase(helpDir.find_last_of(L"/\\") + 1);
    }
    ::SysFreeString(bstrHelpFile);
    // The SDK declares the help folder writable; it is only read.
    hr = ::RegisterTypeLib(pTypeLib, bstrPath, helpDir.empty() ? nullptr : helpDir.data());
    ::SysFreeString(bstrPath);
    pTypeLib->Release();
    return hr;
}

inline HRESULT AtlUnRegisterTypeLib(HINSTANCE hInstTypeLib) {
    BSTR bstrPath = nullptr;
    ITypeLib* pTypeLib = nullptr;
    HRESULT hr = AtlLoadTypeLib(hInstTypeLib, &bstrPath, &pTypeLib);
    if (FAILED(hr))
        return hr;
    TLIBATTR* attr = nullptr;
    hr = pTypeLib->GetLibAttr(&attr);
    if (SUCCEEDED(hr)) {
        hr = ::UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                 attr->syskind);
        pTypeLib->ReleaseTLibAttr(attr);
    }
    ::SysFreeString(bstrPath);
    pTypeLib->Release();
    return hr;
}
