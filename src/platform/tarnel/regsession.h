// What the registrar needs of the registry for one root block of a script, over our hive store: a key
// path below the block's root, and the changes of one session that Commit writes as one change of the hive.
#pragma once

#include "platform/tarnel/regscript.h"
#include "platform/tarnel/regstore.h"

#include <cstring>
#include <string>
#include <vector>

namespace tarnel::reg {

class RegistrarSession {
public:
    using Path = std::vector<std::wstring>;

    // HKCR means the classes that registrations write (ClassesWritePath); HKCU the user's root; anything
    // else the machine's.
    explicit RegistrarSession(const std::wstring& rootName)
        : m_base(BaseOf(rootName)), m_session(m_base.root) {}

    LONG DeleteTree(const Path& path) { return m_session.DeleteTree(Full(path)); }
    LONG Create(const Path& path) { return m_session.Create(Full(path)); }
    LONG SetValue(const Path& path, const RegScriptValue& v, DWORD number) {
        RegValue value;
        value.name = v.name;
        if (v.type == L'd') {
            value.type = REG_DWORD;
            value.data = {BYTE(number), BYTE(number >> 8), BYTE(number >> 16), BYTE(number >> 24)};
        } else {
            value.type = REG_SZ;
            const size_t bytes = (v.datum.size() + 1) * sizeof(WCHAR);
            value.data.resize(bytes);
            std::memcpy(value.data.data(), v.datum.c_str(), bytes);
        }
        return m_session.SetValue(Full(path), std::move(value));
    }
    LONG DeleteValue(const Path& path, const std::wstring& name) {
        return m_session.DeleteValue(Full(path), name);
    }
    // Whether the key exists and whether it has subkeys.
    LONG Probe(const Path& path, bool& exists, bool& hasSubkeys) {
        const RegKeyNode* node = nullptr;
        const LONG r = m_session.Find(Full(path), node);
        exists = node != nullptr;
        hasSubkeys = node != nullptr && !node->subkeys.empty();
        return r;
    }
    LONG DeleteKey(const Path& path) { return m_session.DeleteKey(Full(path)); }
    LONG Commit() { return m_session.Commit(); }

private:
    static RegKeyPath BaseOf(const std::wstring& rootName) {
        if (NamesEqual(rootName, L"HKCR") || NamesEqual(rootName, L"HKEY_CLASSES_ROOT"))
            return ClassesWritePath();
        if (NamesEqual(rootName, L"HKCU") || NamesEqual(rootName, L"HKEY_CURRENT_USER"))
            return {RegRoot::CurrentUser, {}};
        return {RegRoot::LocalMachine, {}};
    }
    RegKeyPath Full(const Path& path) const {
        RegKeyPath full = m_base;
        full.parts.insert(full.parts.end(), path.begin(), path.end());
        return full;
    }

    RegKeyPath m_base;
    RegistrySession m_session;
};

} // namespace tarnel::reg
