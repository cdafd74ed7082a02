// ITypeLib and ITypeInfo over a type library read from its text form (platform/tarnel/typelib.h), and
// LoadTypeLib.
#include "platform/tarnel/typelib.h"
#include "libloaderapi.h"
#include "oleauto.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/regstore.h"
#include "platform/tarnel/widestr.h"
#include "stringapiset.h"
#include "winreg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <new>
#include <string>
#include <vector>

using namespace tarnel::plat;
using namespace tarnel::reg;
using namespace tarnel::typelib;

namespace {

constexpr size_t kMaxTypeLibFile = 1 << 20;

// ----- the objects -----

HRESULT SetBstr(BSTR* out, const std::wstring& s) {
    if (out == nullptr)
        return S_OK;
    *out = SysAllocStringLen(s.c_str(), UINT(s.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// No help file is named: the help file is an empty string.
HRESULT Documentation(const std::wstring& name, const std::wstring& doc, BSTR* pName, BSTR* pDoc,
                      DWORD* pContext, BSTR* pHelpFile) {
    BSTR* outs[] = {pName, pDoc, pHelpFile};
    for (BSTR* p : outs)
        if (p != nullptr)
            *p = nullptr;
    if (pContext != nullptr)
        *pContext = 0;
    if (FAILED(SetBstr(pName, name)) || FAILED(SetBstr(pDoc, doc)) ||
        FAILED(SetBstr(pHelpFile, std::wstring()))) {
        for (BSTR* p : outs)
            if (p != nullptr) {
                SysFreeString(*p);
                *p = nullptr;
            }
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

class TypeLibrary;

class TypeInfo final : public ITypeInfo {
public:
    TypeInfo(TypeLibrary* lib, size_t index) : m_lib(lib), m_index(index) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    STDMETHOD(GetTypeAttr)(TYPEATTR** ppTypeAttr) override;
    STDMETHOD(GetTypeComp)(ITypeComp**) override { return E_NOTIMPL; }
    STDMETHOD(GetFuncDesc)(UINT, tagFUNCDESC** pp) override { return NoMember(pp); }
    STDMETHOD(GetVarDesc)(UINT, tagVARDESC** pp) override { return NoMember(pp); }
    STDMETHOD(GetNames)(MEMBERID, BSTR* rgBstrNames, UINT, UINT* pcNames) override {
        if (rgBstrNames == nullptr || pcNames == nullptr)
            return E_INVALIDARG;
        *pcNames = 0;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHOD(GetRefTypeOfImplType)(UINT index, DWORD* pRefType) override;
    STDMETHOD(GetImplTypeFlags)(UINT index, INT* pImplTypeFlags) override;
    // The interfaces have no members of their own, so no name is ever found.
    STDMETHOD(GetIDsOfNames)(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override {
        if (rgszNames == nullptr || pMemId == nullptr || cNames == 0)
            return E_INVALIDARG;
        for (UINT i = 0; i < cNames; ++i)
            pMemId[i] = MEMBERID_NIL;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHOD(Invoke)(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    STDMETHOD(GetDocumentation)
    (MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
     BSTR* pBstrHelpFile) override;
    STDMETHOD(GetDllEntry)(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
    STDMETHOD(GetRefTypeInfo)(DWORD hRefType, ITypeInfo** ppTInfo) override;
    STDMETHOD(AddressOfMember)(MEMBERID, INVOKEKIND, void**) override { return E_NOTIMPL; }
    STDMETHOD(CreateInstance)(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHOD(GetMops)(MEMBERID, BSTR* pBstrMops) override {
        if (pBstrMops != nullptr)
            *pBstrMops = nullptr;
        return S_OK;
    }
    STDMETHOD(GetContainingTypeLib)(ITypeLib** ppTLib, UINT* pIndex) override;
    STDMETHOD_(void, ReleaseTypeAttr)(TYPEATTR* pTypeAttr) override { delete pTypeAttr; }
    STDMETHOD_(void, ReleaseFuncDesc)(tagFUNCDESC*) override {}
    STDMETHOD_(void, ReleaseVarDesc)(tagVARDESC*) override {}

private:
    template <class T>
    static HRESULT NoMember(T** pp) {
        if (pp == nullptr)
            return E_INVALIDARG;
        *pp = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    const TypeDesc& Desc() const;

    TypeLibrary* m_lib;
    size_t m_index;
};

// The library owns its type descriptions; they share its reference count, so that a description handed out
// keeps the whole library alive.
class TypeLibrary final : public ITypeLib {
public:
    explicit TypeLibrary(LibDesc desc) : m_desc(std::move(desc)) {
        for (size_t i = 0; i < m_desc.types.size(); ++i)
            m_infos.push_back(std::make_unique<TypeInfo>(this, i));
    }

    const LibDesc& Desc() const { return m_desc; }
    TypeInfo* Info(size_t i) const { return m_infos[i].get(); }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, IID_ITypeLib))
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<ITypeLib*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() override {
        ULONG n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }

    STDMETHOD_(UINT, GetTypeInfoCount)() override { return UINT(m_infos.size()); }
    STDMETHOD(GetTypeInfo)(UINT index, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr)
            return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (index >= m_infos.size())
            return TYPE_E_ELEMENTNOTFOUND;
        AddRef();
        *ppTInfo = m_infos[index].get();
        return S_OK;
    }
    STDMETHOD(GetTypeInfoType)(UINT index, INT* pTKind) override {
        if (pTKind == nullptr)
            return E_INVALIDARG;
        if (index >= m_infos.size())
            return TYPE_E_ELEMENTNOTFOUND;
        *pTKind = m_desc.types[index].kind;
        return S_OK;
    }
    STDMETHOD(GetTypeInfoOfGuid)(REFGUID guid, ITypeInfo** ppTinfo) override {
        if (ppTinfo == nullptr)
            return E_INVALIDARG;
        *ppTinfo = nullptr;
        for (size_t i = 0; i < m_desc.types.size(); ++i)
            if (InlineIsEqualGUID(m_desc.types[i].guid, guid))
                return GetTypeInfo(UINT(i), ppTinfo);
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHOD(GetLibAttr)(TLIBATTR** ppTLibAttr) override {
        if (ppTLibAttr == nullptr)
            return E_INVALIDARG;
        *ppTLibAttr =
            new (std::nothrow) TLIBATTR{m_desc.guid, m_desc.lcid, SYS_WIN64, m_desc.major, m_desc.minor, 0};
        return *ppTLibAttr != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHOD(GetTypeComp)(ITypeComp**) override { return E_NOTIMPL; }
    STDMETHOD(GetDocumentation)
    (INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override {
        if (index == -1)
            return Documentation(m_desc.name, m_desc.helpString, pBstrName, pBstrDocString, pdwHelpContext,
                                 pBstrHelpFile);
        if (index < 0 || size_t(index) >= m_infos.size())
            return TYPE_E_ELEMENTNOTFOUND;
        return m_infos[size_t(index)]->GetDocumentation(MEMBERID_NIL, pBstrName, pBstrDocString,
                                                        pdwHelpContext, pBstrHelpFile);
    }
    STDMETHOD(IsName)(LPOLESTR szNameBuf, ULONG, BOOL* pfName) override {
        if (szNameBuf == nullptr || pfName == nullptr)
            return E_INVALIDARG;
        *pfName = FALSE;
        for (const TypeDesc& t : m_desc.types) {
            if (t.name.size() == std::wcslen(szNameBuf) && EqualNoCase(t.name, szNameBuf)) {
                std::wmemcpy(szNameBuf, t.name.c_str(), t.name.size()); // the name as the library spells it
                *pfName = TRUE;
                break;
            }
        }
        return S_OK;
    }
    STDMETHOD(FindName)
    (LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId, WORD* pcFound) override {
        if (szNameBuf == nullptr || ppTInfo == nullptr || rgMemId == nullptr || pcFound == nullptr)
            return E_INVALIDARG;
        WORD found = 0;
        for (size_t i = 0; i < m_desc.types.size() && found < *pcFound; ++i) {
            if (m_desc.types[i].name.size() == std::wcslen(szNameBuf) &&
                EqualNoCase(m_desc.types[i].name, szNameBuf)) {
                AddRef();
                ppTInfo[found] = m_infos[i].get();
                rgMemId[found++] = MEMBERID_NIL;
            }
        }
        *pcFound = found;
        return S_OK;
    }
    STDMETHOD_(void, ReleaseTLibAttr)(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

private:
    ~TypeLibrary() = default;

    static bool EqualNoCase(const std::wstring& a, const wchar_t* b) {
        for (size_t i = 0; i < a.size(); ++i)
            if (std::towupper(wint_t(a[i])) != std::towupper(wint_t(b[i])))
                return false;
        return true;
    }

    std::atomic<ULONG> m_refs{1};
    LibDesc m_desc;
    std::vector<std::unique_ptr<TypeInfo>> m_infos;
};

const TypeDesc& TypeInfo::Desc() const {
    return m_lib->Desc().types[m_index];
}

STDMETHODIMP TypeInfo::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, IID_ITypeInfo))
        return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITypeInfo*>(this);
    return S_OK;
}

STDMETHODIMP_(ULONG) TypeInfo::AddRef() {
    return m_lib->AddRef();
}

STDMETHODIMP_(ULONG) TypeInfo::Release() {
    return m_lib->Release();
}

STDMETHODIMP TypeInfo::GetTypeAttr(TYPEATTR** ppTypeAttr) {
    if (ppTypeAttr == nullptr)
        return E_INVALIDARG;
    auto* attr = new (std::nothrow) TYPEATTR{};
    if (attr == nullptr)
        return E_OUTOFMEMORY;
    const TypeDesc& t = Desc();
    attr->guid = t.guid;
    attr->lcid = m_lib->Desc().lcid;
    attr->memidConstructor = attr->memidDestructor = MEMBERID_NIL;
    attr->typekind = t.kind;
    attr->cImplTypes = WORD(t.implemented.size());
    attr->cbSizeVft = t.kind == TKIND_COCLASS ? 0 : WORD((t.dispatchBase ? 7 : 3) * sizeof(void*));
    attr->cbAlignment = sizeof(void*);
    attr->cbSizeInstance = sizeof(void*);
    attr->wTypeFlags = t.flags;
    attr->tdescAlias.vt = VT_EMPTY;
    *ppTypeAttr = attr;
    return S_OK;
}

STDMETHODIMP TypeInfo::GetRefTypeOfImplType(UINT index, DWORD* pRefType) {
    if (pRefType == nullptr)
        return E_INVALIDARG;
    if (index >= Desc().implemented.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = HREFTYPE(Desc().implemented[index].first);
    return S_OK;
}

STDMETHODIMP TypeInfo::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) {
    if (pImplTypeFlags == nullptr)
        return E_INVALIDARG;
    if (index >= Desc().implemented.size())
        return TYPE_E_ELEMENTNOTFOUND;
    *pImplTypeFlags = Desc().implemented[index].second;
    return S_OK;
}

STDMETHODIMP TypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                        DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
    if (memid != MEMBERID_NIL)
        return TYPE_E_ELEMENTNOTFOUND;
    return Documentation(Desc().name, Desc().helpString, pBstrName, pBstrDocString, pdwHelpContext,
                         pBstrHelpFile);
}

STDMETHODIMP TypeInfo::GetRefTypeInfo(DWORD hRefType, ITypeInfo** ppTInfo) {
    return m_lib->GetTypeInfo(hRefType, ppTInfo);
}

STDMETHODIMP TypeInfo::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) {
    if (ppTLib == nullptr)
        return E_INVALIDARG;
    m_lib->AddRef();
    *ppTLib = m_lib;
    if (pIndex != nullptr)
        *pIndex = UINT(m_index);
    return S_OK;
}

// ----- loading -----

bool ReadWholeFile(LPCOLESTR name, std::string& text) {
    std::string native;
    if (!ResolveFileName(name, native))
        return false;
    int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= kMaxTypeLibFile;
    if (ok) {
        text.resize(size_t(st.st_size));
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
        text.resize(done);
    }
    ::close(fd);
    return ok;
}

} // namespace

extern "C" {

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    if (pptlib == nullptr)
        return E_INVALIDARG;
    *pptlib = nullptr;
    if (szFile == nullptr)
        return E_INVALIDARG;
    try {
        std::string text;
        if (HMODULE hModule = LoadLibraryExW(szFile, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
            HRSRC hRsrc = FindResourceW(hModule, MAKEINTRESOURCEW(1), L"TYPELIB");
            HGLOBAL hData = hRsrc != nullptr ? LoadResource(hModule, hRsrc) : nullptr;
            if (hData != nullptr)
                text.assign(static_cast<const char*>(LockResource(hData)), SizeofResource(hModule, hRsrc));
            FreeLibrary(hModule);
            if (hData == nullptr)
                return TYPE_E_CANTLOADLIBRARY;
        } else if (GetLastError() != ERROR_BAD_EXE_FORMAT || !ReadWholeFile(szFile, text)) {
            return TYPE_E_CANTLOADLIBRARY;
        }
        LibDesc desc;
        if (HRESULT hr = Parse(text, desc); FAILED(hr))
            return hr;
        *pptlib = new TypeLibrary(std::move(desc));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // extern "C"
