#include "host/Handlers.h"

#include "host/Escape.h"
#include "host/FileChecks.h"
#include "host/Formats.h"
#include "platform/tarnel/regstore.h"

#include <sys/stat.h>

#include "host/Arguments.h"

#include "platform/tarnel/widestr.h"
#include "winreg.h"

using tarnel::plat::NarrowFileName;
using tarnel::plat::WidenFileName;
using tarnel::reg::HiveFile;
using tarnel::reg::RegRoot;

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" read at compile time; a malformed text does not compile.
constexpr unsigned HexDigits(const char* text, int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : throw "not a hexadecimal digit";
        value = value * 16 + unsigned(digit);
    }
    return value;
}

constexpr GUID GuidOfText(const char (&text)[39]) {
    if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' ||
        text[37] != '}')
        throw "not a class identifier";
    GUID guid = {
        HexDigits(text + 1, 8), uint16_t(HexDigits(text + 10, 4)), uint16_t(HexDigits(text + 15, 4)), {}};
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = uint8_t(HexDigits(text + (i < 2 ? 20 + 2 * i : 21 + 2 * i), 2));
    return guid;
}

} // namespace

constinit const CLSID CLSID_TarnelThumbnailer = GuidOfText(kTarnelClassText);

namespace {

// An open registry key, closed at the end of the scope.
struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h != nullptr)
            RegCloseKey(h);
    }
    LONG Open(HKEY parent, const std::wstring& sub) {
        return RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ, &h);
    }
};

// Where class keys are read: HKEY_CLASSES_ROOT (the user's classes over the system's), or the system's alone.
struct Classes {
    HKEY root = HKEY_CLASSES_ROOT;
    std::wstring below; // the classes' key under root
    std::wstring Path(const std::wstring& key) const { return below.empty() ? key : below + L"\\" + key; }
};
const Classes kAllClasses;

// A key's default value as text; empty when the key or the value is missing or is no string. `failure`
// gets an error other than a missing key (a registry that cannot be read).
std::wstring DefaultValue(const Classes& classes, const std::wstring& keyPath, LONG& failure) {
    Key key;
    LONG r = key.Open(classes.root, classes.Path(keyPath));
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND && failure == ERROR_SUCCESS)
        failure = r;
    if (r != ERROR_SUCCESS)
        return {};
    DWORD type = 0, size = 0;
    r = RegQueryValueExW(key.h, nullptr, nullptr, &type, nullptr, &size);
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(WCHAR))
        return {};
    std::wstring text(size / sizeof(WCHAR), L'\0');
    r = RegQueryValueExW(key.h, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (r != ERROR_SUCCESS)
        return {};
    text.resize(size / sizeof(WCHAR));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

// The class registered as the extension's thumbnail handler: on the extension itself, or on the ProgID
// that the extension's default value names. Empty when there is none.
std::wstring HandlerClass(const Classes& classes, const std::wstring& extension, LONG& failure) {
    const std::wstring below = std::wstring(L"\\shellex\\") + kExtractImageHandler;
    std::wstring clsid = DefaultValue(classes, extension + below, failure);
    if (clsid.empty() && failure == ERROR_SUCCESS) {
        const std::wstring progId = DefaultValue(classes, extension, failure);
        if (!progId.empty() && progId.find(L'\\') == std::wstring::npos)
            clsid = DefaultValue(classes, progId + below, failure);
    }
    return clsid;
}

// Resolves the class and its module; false with a reason, which shows the registry's texts escaped.
bool ResolveClass(const Classes& classes, const std::wstring& extension, const std::wstring& clsidText,
                  ThumbnailHandler& handler, std::string& error) {
    const std::string ext = Printable(NarrowFileName(extension)), cls = Printable(NarrowFileName(clsidText));
    if (CLSIDFromString(clsidText.c_str(), &handler.clsid) != S_OK) {
        error = "the thumbnail handler registered for " + ext + " is no class identifier: '" + cls + "'";
        return false;
    }
    LONG failure = ERROR_SUCCESS;
    const std::wstring module = DefaultValue(classes, L"CLSID\\" + clsidText + L"\\InprocServer32", failure);
    if (module.empty()) {
        error = "the thumbnail handler " + cls + " registered for " + ext + " names no module (no CLSID\\" +
                cls + "\\InprocServer32)";
        return false;
    }
    handler.extension = extension;
    handler.module = NarrowFileName(module);
    return true;
}

} // namespace

std::string GuidText(REFGUID guid) {
    WCHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return NarrowFileName(text);
}

bool ParseGuidText(const std::string& text, GUID& guid) {
    return text.size() == 38 && CLSIDFromString(WidenFileName(text).c_str(), &guid) == S_OK;
}

std::wstring ExtensionOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'/');
    const std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot + 1 == name.size())
        return {};
    return name.substr(dot);
}

bool FindThumbnailHandler(const std::wstring& path, ThumbnailHandler& handler, std::string& error,
                          bool* notRouted) {
    if (notRouted != nullptr)
        *notRouted = false;
    // The registry names the modules that get loaded: one that someone else could change is not read. (What
    // is no regular file there is refused by the registry itself.)
    for (RegRoot root : {RegRoot::CurrentUser, RegRoot::LocalMachine}) {
        const std::string hive = HiveFile(root);
        std::string why;
        struct stat st {};
        if (::stat(hive.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !IsTrustworthy(hive, why)) {
            error = "the registry " + Printable(hive) + " is not trusted: " + Printable(why);
            return false;
        }
    }
    const std::wstring extension = ExtensionOf(path);
    if (extension.empty()) {
        if (notRouted != nullptr)
            *notRouted = true;
        const size_t slash = path.find_last_of(L'/');
        error = "no thumbnail handler: " +
                Printable(NarrowFileName(path.substr(slash == std::wstring::npos ? 0 : slash + 1))) +
                " has no extension";
        return false;
    }
    LONG failure = ERROR_SUCCESS;
    const std::wstring clsid = HandlerClass(kAllClasses, extension, failure);
    if (failure != ERROR_SUCCESS) {
        error = "cannot read the registry: " + DescribeHResult(HRESULT_FROM_WIN32(failure));
        return false;
    }
    if (clsid.empty()) {
        if (notRouted != nullptr)
            *notRouted = true;
        error = "no thumbnail handler is registered for " + Printable(NarrowFileName(extension)) +
                " (tarnel register, or --module)";
        return false;
    }
    return ResolveClass(kAllClasses, extension, clsid, handler, error);
}

std::vector<ThumbnailHandler> RegisteredThumbnailHandlers(bool systemOnly, std::string& error) {
    Classes classes;
    if (systemOnly)
        classes = {HKEY_LOCAL_MACHINE, L"Software\\Classes"};
    std::vector<ThumbnailHandler> handlers;
    std::vector<std::wstring> extensions;
    {
        Key top;
        LONG r = top.Open(classes.root, classes.below);
        if (r == ERROR_FILE_NOT_FOUND)
            return {};
        if (r != ERROR_SUCCESS) {
            error = "cannot read the registry: " + DescribeHResult(HRESULT_FROM_WIN32(r));
            return {};
        }
        WCHAR name[256];
        for (DWORD i = 0;; ++i) {
            DWORD cch = 256;
            r = RegEnumKeyExW(top.h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            if (r == ERROR_MORE_DATA)
                continue; // no extension is that long
            if (r != ERROR_SUCCESS) {
                error = "cannot read the registry: " + DescribeHResult(HRESULT_FROM_WIN32(r));
                return {};
            }
            if (cch > 1 && name[0] == L'.')
                extensions.emplace_back(name, cch);
        }
    }
    for (const std::wstring& extension : extensions) {
        LONG failure = ERROR_SUCCESS;
        const std::wstring clsid = HandlerClass(classes, extension, failure);
        ThumbnailHandler handler;
        std::string ignored;
        if (!clsid.empty() && ResolveClass(classes, extension, clsid, handler, ignored))
            handlers.push_back(handler);
    }
    return handlers;
}
