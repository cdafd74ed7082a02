#include "platform/win/regsession.h"

#include "platform/tarnel/reghive.h"
#include "statreg.h"

#include <atomic>

namespace {
std::atomic<bool> g_perUserRegistration{false};

// Opens the key for one call and closes it on every path.
class COpenKey {
public:
    COpenKey(HKEY root, const std::wstring& path, REGSAM access)
        : m_error(::RegOpenKeyExW(root, path.c_str(), 0, access, &m_key)) {}
    ~COpenKey() {
        if (m_error == ERROR_SUCCESS)
            ::RegCloseKey(m_key);
    }
    COpenKey(const COpenKey&) = delete;
    COpenKey& operator=(const COpenKey&) = delete;
    LONG Error() const { return m_error; }
    HKEY Key() const { return m_key; }

private:
    HKEY m_key = nullptr;
    LONG m_error;
};
} // namespace

// As ATL's: registrations go to the machine's classes unless the caller asks for the user's.
HRESULT AtlSetPerUserRegistration(bool bEnable) {
    g_perUserRegistration = bEnable;
    return S_OK;
}

HRESULT AtlGetPerUserRegistration(bool* pbEnabled) {
    if (pbEnabled == nullptr)
        return E_POINTER;
    *pbEnabled = g_perUserRegistration.load();
    return S_OK;
}

namespace tarnel::reg {

RegistrarSession::RegistrarSession(const std::wstring& rootName) {
    if (NamesEqual(rootName, L"HKCR") || NamesEqual(rootName, L"HKEY_CLASSES_ROOT")) {
        if (g_perUserRegistration) {
            m_root = HKEY_CURRENT_USER;
            m_prefix = L"Software\\Classes\\";
        } else {
            m_root = HKEY_CLASSES_ROOT;
        }
    } else if (NamesEqual(rootName, L"HKCU") || NamesEqual(rootName, L"HKEY_CURRENT_USER")) {
        m_root = HKEY_CURRENT_USER;
    }
}

std::wstring RegistrarSession::Full(const Path& path) const {
    std::wstring full = m_prefix;
    for (const std::wstring& part : path) {
        if (!full.empty() && full.back() != L'\\')
            full += L'\\';
        full += part;
    }
    return full;
}

LONG RegistrarSession::DeleteTree(const Path& path) {
    return ::RegDeleteTreeW(m_root, Full(path).c_str());
}

LONG RegistrarSession::Create(const Path& path) {
    HKEY key = nullptr;
    LONG r = ::RegCreateKeyExW(m_root, Full(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                               nullptr, &key, nullptr);
    if (r == ERROR_SUCCESS)
        ::RegCloseKey(key);
    return r;
}

LONG RegistrarSession::SetValue(const Path& path, const RegScriptValue& v, DWORD number) {
    COpenKey key(m_root, Full(path), KEY_SET_VALUE);
    if (key.Error() != ERROR_SUCCESS)
        return key.Error();
    const wchar_t* name = v.name.empty() ? nullptr : v.name.c_str();
    if (v.type == L'd')
        return ::RegSetValueExW(key.Key(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                sizeof number);
    return ::RegSetValueExW(key.Key(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.datum.c_str()),
                            DWORD((v.datum.size() + 1) * sizeof(wchar_t)));
}

LONG RegistrarSession::DeleteValue(const Path& path, const std::wstring& name) {
    COpenKey key(m_root, Full(path), KEY_SET_VALUE);
    if (key.Error() != ERROR_SUCCESS)
        return key.Error();
    return ::RegDeleteValueW(key.Key(), name.empty() ? nullptr : name.c_str());
}

LONG RegistrarSession::Probe(const Path& path, bool& exists, bool& hasSubkeys) {
    exists = hasSubkeys = false;
    COpenKey key(m_root, Full(path), KEY_READ);
    if (key.Error() == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (key.Error() != ERROR_SUCCESS)
        return key.Error();
    DWORD subkeys = 0;
    LONG r = ::RegQueryInfoKeyW(key.Key(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr);
    exists = true;
    hasSubkeys = subkeys != 0;
    return r;
}

LONG RegistrarSession::DeleteKey(const Path& path) {
    return ::RegDeleteKeyW(m_root, Full(path).c_str());
}

} // namespace tarnel::reg
