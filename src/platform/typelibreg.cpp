// Registering type libraries under HKEY_CLASSES_ROOT (the TypeLib and Interface keys), and finding them
// there again: RegisterTypeLib, UnRegisterTypeLib, LoadRegTypeLib.
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

namespace {

const wchar_t kPSOAInterface[] = L"{00020424-0000-0000-C000-000000000046}";
const wchar_t kPSDispatch[] = L"{00020420-0000-0000-C000-000000000046}";

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

        const RegKeyPath classes = ClassesWritePath();
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
        const RegKeyPath classes = ClassesWritePath();
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
                otherLocales = otherLocales || !(NamesEqual(name, L"FLAGS") || NamesEqual(name, L"HELPDIR"));
        if (!otherLocales) {
            std::vector<std::wstring> interfaces;
            if (session.Find(Below(classes, {L"Interface"}), node) == ERROR_SUCCESS && node != nullptr) {
                for (const auto& [name, sub] : node->subkeys) {
                    const RegKeyNode* typeLib = sub->Find(L"TypeLib");
                    if (NamesEqual(StringOf(typeLib, L""), libid) && StringOf(typeLib, L"Version") == version)
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