// Type libraries: the text form they are kept in, the ITypeLib and ITypeInfo that answer from it, and their
// registration under HKEY_CLASSES_ROOT.
//
// The text form, one statement a line ('#' starts a comment line), words separated by blanks, strings in
// double quotes with \" and \\ as escapes:
//
//   TARNEL-TYPELIB 1
//   library TarnelLib {9B2E4F70-1C3D-4A85-B6E2-0D4C7A9F1E63} version 1.0 lcid 0x409 helpstring "..."
//   importlib stdole2.tlb
//   interface ITarnelEx {C41F8E25-...} base IDispatch dual oleautomation helpstring "..."
//   coclass TarnelEx {3D7A91C2-...} helpstring "..." default ITarnelEx
//
// The library line comes first and once; it may also name a helpfile. An interface derives from IUnknown
// or IDispatch and may be dual (then from IDispatch), oleautomation or hidden; a coclass lists the
// interfaces it implements (implements NAME, or default NAME for its default one, defined above it) and
// may be noncreatable. Interfaces have no members in this form: their dispatch answers no names.
#include "platform/filename.h"
#include "platform/libloader.h"
#include "platform/oleauto.h"
#include "platform/regstore.h"
#include "platform/widestr.h"
#include "platform/winreg.h"

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

namespace {

constexpr std::string_view kMagic = "TARNEL-TYPELIB 1";
constexpr size_t kMaxTypeLibFile = 1 << 20;
const wchar_t kPSOAInterface[] = L"{00020424-0000-0000-C000-000000000046}";
const wchar_t kPSDispatch[] = L"{00020420-0000-0000-C000-000000000046}";

struct TypeDesc {
    TYPEKIND kind = TKIND_INTERFACE;
    std::wstring name;
    GUID guid{};
    std::wstring helpString;
    WORD flags = 0;
    bool dispatchBase = false;
    std::vector<std::pair<size_t, INT>> implemented; // coclass: index of the interface, its flags
};

struct LibDesc {
    std::wstring name;
    GUID guid{};
    WORD major = 0, minor = 0;
    LCID lcid = 0;
    std::wstring helpString, helpFile;
    std::vector<TypeDesc> types;
};

// ----- the text form -----

bool SplitWords(std::string_view line, std::vector<std::string>& words) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            word += '"'; // marks a string
            for (++i;; ++i) {
                if (i >= line.size())
                    return false;
                if (line[i] == '"')
                    break;
                if (line[i] == '\\') {
                    if (i + 1 >= line.size() || (line[i + 1] != '"' && line[i + 1] != '\\'))
                        return false;
                    ++i;
                }
                word += line[i];
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                if (line[i] == '"')
                    return false;
                word += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool IsName(const std::string& w) {
    if (w.empty() || w.size() > 255 || w[0] == '"')
        return false;
    for (char c : w)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}

// Decimal, or hexadecimal with 0x where `hex` allows it.
bool ParseNumber(const std::string& w, uint32_t max, uint32_t& value, bool hex = false) {
    if (w.empty() || w.size() > 10)
        return false;
    char* end = nullptr;
    const bool isHex = hex && w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X');
    unsigned long v = std::strtoul(w.c_str(), &end, isHex ? 16 : 10);
    if (*end != '\0' || v > max || !std::isdigit(static_cast<unsigned char>(w[0])))
        return false;
    value = uint32_t(v);
    return true;
}

bool ParseGuid(const std::string& w, GUID& guid) {
    return w.size() == 38 && CLSIDFromString(WidenFileName(w).c_str(), &guid) == S_OK;
}

HRESULT ParseTypeLib(std::string_view text, LibDesc& lib) {
    bool magicSeen = false, librarySeen = false;
    std::vector<std::string> w;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!magicSeen) {
            if (line != kMagic)
                return TYPE_E_UNSUPFORMAT;
            magicSeen = true;
            continue;
        }
        if (!SplitWords(line, w))
            return TYPE_E_INVDATAREAD;
        if (w.empty() || w[0][0] == '#')
            continue;
        const std::string& what = w[0];
        if (what == "importlib") {
            if (!librarySeen || w.size() != 2)
                return TYPE_E_INVDATAREAD;
            continue;
        }
        if (w.size() < 3 || !IsName(w[1]))
            return TYPE_E_INVDATAREAD;
        GUID guid;
        if (!ParseGuid(w[2], guid))
            return TYPE_E_INVDATAREAD;
        auto stringAfter = [&](size_t& i, std::wstring& out) {
            if (i + 1 >= w.size() || w[i + 1][0] != '"')
                return false;
            out = WidenFileName(std::string_view(w[++i]).substr(1));
            return true;
        };
        if (what == "library") {
            if (librarySeen)
                return TYPE_E_INVDATAREAD;
            librarySeen = true;
            lib.name = WidenFileName(w[1]);
            lib.guid = guid;
            for (size_t i = 3; i < w.size(); ++i) {
                uint32_t n = 0;
                if (w[i] == "version" && i + 1 < w.size()) {
                    const std::string& v = w[++i];
                    size_t dot = v.find('.');
                    uint32_t major = 0, minor = 0;
                    if (dot == std::string::npos || !ParseNumber(v.substr(0, dot), 0xFFFF, major) ||
                        !ParseNumber(v.substr(dot + 1), 0xFFFF, minor))
                        return TYPE_E_INVDATAREAD;
                    lib.major = WORD(major);
                    lib.minor = WORD(minor);
                } else if (w[i] == "lcid" && i + 1 < w.size() && ParseNumber(w[i + 1], 0xFFFFFFFF, n, true)) {
                    lib.lcid = n;
                    ++i;
                } else if (!(w[i] == "helpstring" && stringAfter(i, lib.helpString)) &&
                           !(w[i] == "helpfile" && stringAfter(i, lib.helpFile))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
            continue;
        }
        if (!librarySeen || lib.types.size() >= 0xFFFF)
            return TYPE_E_INVDATAREAD;
        TypeDesc t;
        t.name = WidenFileName(w[1]);
        t.guid = guid;
        for (const TypeDesc& other : lib.types)
            if (other.name == t.name || other.guid == guid)
                return TYPE_E_INVDATAREAD;
        if (what == "interface") {
            t.kind = TKIND_INTERFACE;
            bool dual = false, baseGiven = false;
            for (size_t i = 3; i < w.size(); ++i) {
                if (w[i] == "base" && i + 1 < w.size() &&
                    (w[i + 1] == "IUnknown" || w[i + 1] == "IDispatch")) {
                    t.dispatchBase = w[++i] == "IDispatch";
                    baseGiven = true;
                } else if (w[i] == "dual") {
                    dual = true;
                } else if (w[i] == "oleautomation") {
                    t.flags |= TYPEFLAG_FOLEAUTOMATION;
                } else if (w[i] == "hidden") {
                    t.flags |= TYPEFLAG_FHIDDEN;
                } else if (!(w[i] == "helpstring" && stringAfter(i, t.helpString))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
            if (!baseGiven || (dual && !t.dispatchBase))
                return TYPE_E_INVDATAREAD;
            if (t.dispatchBase)
                t.flags |= TYPEFLAG_FDISPATCHABLE;
            if (dual) { // a dual interface is described by its dispatch side
                t.kind = TKIND_DISPATCH;
                t.flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
            }
        } else if (what == "coclass") {
            t.kind = TKIND_COCLASS;
            t.flags = TYPEFLAG_FCANCREATE;
            for (size_t i = 3; i < w.size(); ++i) {
                if ((w[i] == "implements" || w[i] == "default") && i + 1 < w.size()) {
                    const INT implFlags = w[i] == "default" ? IMPLTYPEFLAG_FDEFAULT : 0;
                    const std::wstring name = WidenFileName(w[++i]);
                    size_t k = 0;
                    while (k < lib.types.size() &&
                           (lib.types[k].name != name || lib.types[k].kind == TKIND_COCLASS))
                        ++k;
                    if (k == lib.types.size())
                        return TYPE_E_INVDATAREAD;
                    t.implemented.emplace_back(k, implFlags);
                } else if (w[i] == "noncreatable") {
                    t.flags &= ~TYPEFLAG_FCANCREATE;
                } else if (!(w[i] == "helpstring" && stringAfter(i, t.helpString))) {
                    return TYPE_E_INVDATAREAD;
                }
            }
        } else {
            return TYPE_E_INVDATAREAD;
        }
        lib.types.push_back(std::move(t));
    }
    return librarySeen ? S_OK : magicSeen ? TYPE_E_INVDATAREAD : TYPE_E_UNSUPFORMAT;
}

// ----- the objects -----

HRESULT SetBstr(BSTR* out, const std::wstring& s) {
    if (out == nullptr)
        return S_OK;
    *out = SysAllocStringLen(s.c_str(), UINT(s.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT Documentation(const std::wstring& name, const std::wstring& doc, const std::wstring& helpFile,
                      BSTR* pName, BSTR* pDoc, DWORD* pContext, BSTR* pHelpFile) {
    BSTR* outs[] = {pName, pDoc, pHelpFile};
    for (BSTR* p : outs)
        if (p != nullptr)
            *p = nullptr;
    if (pContext != nullptr)
        *pContext = 0;
    if (FAILED(SetBstr(pName, name)) || FAILED(SetBstr(pDoc, doc)) || FAILED(SetBstr(pHelpFile, helpFile))) {
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
            return Documentation(m_desc.name, m_desc.helpString, m_desc.helpFile, pBstrName, pBstrDocString,
                                 pdwHelpContext, pBstrHelpFile);
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
    return Documentation(Desc().name, Desc().helpString, m_lib->Desc().helpFile, pBstrName, pBstrDocString,
                         pdwHelpContext, pBstrHelpFile);
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

std::wstring GuidText(REFGUID guid) {
    wchar_t buffer[40];
    StringFromGUID2(guid, buffer, 40);
    return buffer;
}

std::wstring Hex(unsigned value) {
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%x", value);
    return buffer;
}

std::wstring VersionText(WORD major, WORD minor) {
    return Hex(major) + L"." + Hex(minor);
}

const wchar_t* SysKindName(SYSKIND syskind) {
    switch (syskind) {
    case SYS_WIN16:
        return L"win16";
    case SYS_WIN32:
        return L"win32";
    case SYS_MAC:
        return L"mac";
    default:
        return L"win64";
    }
}

RegValue StringValue(const std::wstring& name, const std::wstring& text) {
    RegValue v;
    v.name = name;
    v.type = REG_SZ;
    v.data.resize((text.size() + 1) * sizeof(WCHAR));
    std::memcpy(v.data.data(), text.c_str(), v.data.size());
    return v;
}

std::wstring StringOf(const RegKeyNode* key, std::wstring_view valueName) {
    const RegValue* v = key != nullptr ? key->FindValue(valueName) : nullptr;
    if (v == nullptr || v->type != REG_SZ)
        return std::wstring();
    std::wstring s(v->data.size() / sizeof(WCHAR), L'\0');
    std::memcpy(s.data(), v->data.data(), s.size() * sizeof(WCHAR));
    while (!s.empty() && s.back() == L'\0')
        s.pop_back();
    return s;
}

RegKeyPath Below(RegKeyPath path, std::initializer_list<std::wstring> parts) {
    path.parts.insert(path.parts.end(), parts.begin(), parts.end());
    return path;
}

// The default string value of HKEY_CLASSES_ROOT\key, if there is one.
bool ClassesString(const std::wstring& key, std::wstring& value) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExW(h, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ;
    if (ok) {
        std::wstring s(size / sizeof(WCHAR) + 1, L'\0');
        size = DWORD(s.size() * sizeof(WCHAR));
        ok = RegQueryValueExW(h, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(s.data()), &size) ==
             ERROR_SUCCESS;
        s.resize(size / sizeof(WCHAR));
        while (!s.empty() && s.back() == L'\0')
            s.pop_back();
        value = s;
    }
    RegCloseKey(h);
    return ok;
}

// The registered version key of the library: the version asked for, or the highest minor one above it.
bool FindVersion(const std::wstring& libKey, WORD major, WORD minor, std::wstring& version) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    bool found = false;
    unsigned best = 0;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 256;
        if (RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        unsigned keyMajor = 0, keyMinor = 0;
        wchar_t extra = 0;
        if (std::swscanf(name, L"%x.%x%lc", &keyMajor, &keyMinor, &extra) != 2 || keyMajor != major ||
            keyMinor < minor || (found && keyMinor <= best))
            continue;
        found = true;
        best = keyMinor;
        version = name;
        if (keyMinor == minor)
            break;
    }
    RegCloseKey(h);
    return found;
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
        if (HRESULT hr = ParseTypeLib(text, desc); FAILED(hr))
            return hr;
        *pptlib = new TypeLibrary(std::move(desc));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
    if (pptlib == nullptr)
        return E_INVALIDARG;
    *pptlib = nullptr;
    try {
        const std::wstring libKey = L"TypeLib\\" + GuidText(rguid);
        std::wstring version;
        if (!FindVersion(libKey, wVerMajor, wVerMinor, version))
            return TYPE_E_LIBNOTREGISTERED;
        if (lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT)
            lcid = 0x409;
        std::wstring path;
        bool found = false;
        for (LCID candidate : {lcid, lcid & 0x3FF, LCID(0), LCID(0x409)})
            if (!found)
                found = ClassesString(libKey + L"\\" + version + L"\\" + Hex(candidate) + L"\\win64", path);
        if (!found)
            return TYPE_E_LIBNOTREGISTERED;
        ITypeLib* lib = nullptr;
        HRESULT hr = LoadTypeLib(path.c_str(), &lib);
        if (FAILED(hr))
            return hr;
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        const bool same = SUCCEEDED(hr) && InlineIsEqualGUID(attr->guid, rguid);
        if (attr != nullptr)
            lib->ReleaseTLibAttr(attr);
        if (!same) { // the file registered there holds another library
            lib->Release();
            return FAILED(hr) ? hr : TYPE_E_LIBNOTREGISTERED;
        }
        *pptlib = lib;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (ptlib == nullptr || szFullPath == nullptr)
        return E_INVALIDARG;
    TLIBATTR* attr = nullptr;
    if (HRESULT hr = ptlib->GetLibAttr(&attr); FAILED(hr))
        return hr;
    try {
        const TLIBATTR lib = *attr;
        ptlib->ReleaseTLibAttr(attr);
        BSTR name = nullptr, doc = nullptr;
        ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
        const std::wstring title = doc != nullptr && doc[0] != L'\0' ? doc : name != nullptr ? name : L"";
        SysFreeString(name);
        SysFreeString(doc);

        const RegKeyPath classes = RegClassesWritePath();
        const std::wstring libid = GuidText(lib.guid),
                           version = VersionText(lib.wMajorVerNum, lib.wMinorVerNum);
        const RegKeyPath versionKey = Below(classes, {L"TypeLib", libid, version});
        RegistrySession session(classes.root);
        LONG r = ERROR_SUCCESS;
        auto put = [&](const RegKeyPath& key, const std::wstring& valueName, const std::wstring& text) {
            if (r == ERROR_SUCCESS)
                r = session.Create(key);
            if (r == ERROR_SUCCESS)
                r = session.SetValue(key, StringValue(valueName, text));
        };
        put(versionKey, L"", title);
        put(Below(versionKey, {L"FLAGS"}), L"", std::to_wstring(lib.wLibFlags));
        put(Below(versionKey, {L"HELPDIR"}), L"", szHelpDir != nullptr ? szHelpDir : L"");
        put(Below(versionKey, {Hex(lib.lcid), SysKindName(lib.syskind)}), L"", szFullPath);

        for (UINT i = 0; i < ptlib->GetTypeInfoCount() && r == ERROR_SUCCESS; ++i) {
            ITypeInfo* info = nullptr;
            TYPEATTR* ta = nullptr;
            if (FAILED(ptlib->GetTypeInfo(i, &info)))
                continue;
            if (SUCCEEDED(info->GetTypeAttr(&ta))) {
                const bool automation =
                    ta->typekind == TKIND_DISPATCH ||
                    (ta->typekind == TKIND_INTERFACE && (ta->wTypeFlags & TYPEFLAG_FOLEAUTOMATION));
                if (automation) {
                    BSTR typeName = nullptr;
                    info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr);
                    const RegKeyPath key = Below(classes, {L"Interface", GuidText(ta->guid)});
                    const std::wstring proxy =
                        (ta->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) != 0 ? kPSOAInterface
                                                                                           : kPSDispatch;
                    put(key, L"", typeName != nullptr ? typeName : L"");
                    put(Below(key, {L"ProxyStubClsid"}), L"", proxy);
                    put(Below(key, {L"ProxyStubClsid32"}), L"", proxy);
                    put(Below(key, {L"TypeLib"}), L"", libid);
                    put(Below(key, {L"TypeLib"}), L"Version", version);
                    SysFreeString(typeName);
                }
                info->ReleaseTypeAttr(ta);
            }
            info->Release();
        }
        if (r == ERROR_SUCCESS)
            r = session.Commit();
        return r == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
    try {
        const RegKeyPath classes = RegClassesWritePath();
        const std::wstring libid = GuidText(libID), version = VersionText(wVerMajor, wVerMinor);
        const RegKeyPath libKey = Below(classes, {L"TypeLib", libid});
        const RegKeyPath versionKey = Below(libKey, {version});
        RegistrySession session(classes.root);
        const RegKeyNode* node = nullptr;
        if (session.Find(versionKey, node) != ERROR_SUCCESS || node == nullptr)
            return TYPE_E_REGISTRYACCESS;

        LONG r = ERROR_SUCCESS;
        auto ok = [&](LONG result) {
            if (r == ERROR_SUCCESS && result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
                r = result;
        };
        const RegKeyPath lcidKey = Below(versionKey, {Hex(lcid)});
        ok(session.DeleteTree(Below(lcidKey, {SysKindName(syskind)})));
        if (session.Find(lcidKey, node) == ERROR_SUCCESS && node != nullptr && node->subkeys.empty())
            ok(session.DeleteKey(lcidKey));

        // The rest goes only when no other locale is registered for this version.
        bool otherLocales = false;
        if (session.Find(versionKey, node) == ERROR_SUCCESS && node != nullptr)
            for (const auto& [name, sub] : node->subkeys)
                otherLocales =
                    otherLocales || !(RegNamesEqual(name, L"FLAGS") || RegNamesEqual(name, L"HELPDIR"));
        if (!otherLocales) {
            std::vector<std::wstring> interfaces;
            if (session.Find(Below(classes, {L"Interface"}), node) == ERROR_SUCCESS && node != nullptr) {
                for (const auto& [name, sub] : node->subkeys) {
                    const RegKeyNode* typeLib = sub->Find(L"TypeLib");
                    if (RegNamesEqual(StringOf(typeLib, L""), libid) &&
                        StringOf(typeLib, L"Version") == version)
                        interfaces.push_back(name);
                }
            }
            for (const std::wstring& iid : interfaces)
                ok(session.DeleteTree(Below(classes, {L"Interface", iid})));
            ok(session.DeleteTree(versionKey));
            if (session.Find(libKey, node) == ERROR_SUCCESS && node != nullptr && node->subkeys.empty())
                ok(session.DeleteKey(libKey));
        }
        if (r == ERROR_SUCCESS)
            r = session.Commit();
        return r == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // extern "C"
