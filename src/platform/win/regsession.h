// What the registrar needs of the registry for one root block of a script, over the real registry: a key
// path below the block's root, written at once (the registry keeps no session of its own, so Commit has
// nothing left to do and a failed registration is taken back by the registrar's own walk).
#pragma once

#include "platform/tarnel/regscript.h"

#include <string>
#include <vector>

namespace tarnel::reg {

class RegistrarSession {
public:
    using Path = std::vector<std::wstring>;

    // HKCR means HKEY_CLASSES_ROOT, whose new keys Windows puts among the machine's classes, or the user's
    // classes (HKCU\Software\Classes) when per-user registration is on; HKCU the user's root; anything else
    // the machine's.
    explicit RegistrarSession(const std::wstring& rootName);

    LONG DeleteTree(const Path& path);
    LONG Create(const Path& path);
    LONG SetValue(const Path& path, const RegScriptValue& v, DWORD number);
    LONG DeleteValue(const Path& path, const std::wstring& name);
    // Whether the key exists and whether it has subkeys.
    LONG Probe(const Path& path, bool& exists, bool& hasSubkeys);
    LONG DeleteKey(const Path& path);
    LONG Commit() { return ERROR_SUCCESS; }

private:
    std::wstring Full(const Path& path) const;

    HKEY m_root = HKEY_LOCAL_MACHINE;
    std::wstring m_prefix; // below m_root, ending in a backslash, or empty
};

} // namespace tarnel::reg
