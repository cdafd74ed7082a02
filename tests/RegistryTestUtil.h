// Helpers for tests that touch the registry: a private hive for the test, and what the registry holds as
// lines that are easy to compare.
#pragma once

#include "TestUtil.h"

#include "platform/tarnel/widestr.h"
#include "winreg.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace testutil {

// Points TARNEL_REGISTRY at a hive file in a fresh folder while it lives: tests never see or change the
// user's or the system's registry.
class PrivateHive {
public:
    PrivateHive() : m_env("TARNEL_REGISTRY", m_dir / "registry.reg") {}
    std::string File() const { return m_dir / "registry.reg"; }
    const TempDir& Dir() const { return m_dir; }

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

namespace detail {

inline std::string ValueLine(const std::string& key, const std::wstring& name, DWORD type,
                             const std::vector<BYTE>& data) {
    std::string line = key + "|" + (name.empty() ? "@" : tarnel::plat::NarrowFileName(name)) + "=";
    if (type == REG_SZ && data.size() % sizeof(WCHAR) == 0) {
        std::wstring text(data.size() / sizeof(WCHAR), L'\0');
        std::memcpy(text.data(), data.data(), data.size());
        if (!text.empty() && text.back() == L'\0')
            text.pop_back();
        return line + "sz:" + tarnel::plat::NarrowFileName(text);
    }
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t n;
        std::memcpy(&n, data.data(), 4);
        return line + "dword:" + std::to_string(n);
    }
    line += "type" + std::to_string(type) + ":";
    for (BYTE b : data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", b);
        line += hex;
    }
    return line;
}

inline void Collect(HKEY key, const std::string& path, std::set<std::string>& out) {
    WCHAR name[512];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 512, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        cch = 512;
        RegEnumValueW(key, i, name, &cch, nullptr, &type, data.data(), &size);
        out.insert(ValueLine(path, std::wstring(name, cch), type, data));
    }
    for (DWORD i = 0;; ++i) {
        DWORD cch = 512;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::string sub =
            (path.empty() ? "" : path + "\\") + tarnel::plat::NarrowFileName(std::wstring(name, cch));
        out.insert(sub);
        HKEY h = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &h) == ERROR_SUCCESS) {
            Collect(h, sub, out);
            RegCloseKey(h);
        }
    }
}

} // namespace detail

// Every key and value below root\subKey (not the key itself), one line each: "PATH" for a key,
// "PATH|NAME=sz:TEXT", "PATH|NAME=dword:N" or "PATH|NAME=typeT:HEX" for a value, "@" naming the default.
inline std::set<std::string> Entries(HKEY root, const std::wstring& subKey = L"") {
    std::set<std::string> out;
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS) {
        detail::Collect(h, "", out);
        RegCloseKey(h);
    }
    return out;
}

// Writes a key (made with its parents) and, when valueName is given, a string value on it.
inline void PutString(HKEY root, const std::wstring& key, const wchar_t* valueName = nullptr,
                      const std::wstring& text = L"") {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    if (valueName != nullptr) {
        EXPECT_EQ(RegSetValueExW(h, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 DWORD((text.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
    }
    RegCloseKey(h);
}

} // namespace testutil
