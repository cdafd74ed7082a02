// The registry's keys and values in memory, and the text in which a hive file keeps them: regedit's export
// format ("Windows Registry Editor Version 5.00"), written in UTF-8.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Classes\.stl]
//   @="stlfile"
//   "Treatment"=dword:00000001
//   "Paths"=hex(7):61,00,00,00,00,00
//
// Every key has a line of its own, its values follow it. Strings that are one whole line of printable text
// are quoted (backslash and double quote escaped with a backslash); any other string is written as hex(1),
// hex(2) or hex(7) in UTF-16LE, as regedit does; a double word as dword:; every other type as hex(N).
// Reading is strict: a file that does not have this shape is refused as a whole, so that a damaged hive is
// never taken for an empty or partial one.
#pragma once

#include "platform/tarnel/own.h"
#include "winreg.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::reg {

// Key and value names are compared without regard to ASCII case, as the registry compares them.
TARNEL_API bool NamesEqual(std::wstring_view a, std::wstring_view b);
struct NameLess {
    TARNEL_API bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// Limits the registry sets on names and nesting.
constexpr size_t kRegMaxKeyNameLength = 255;
constexpr size_t kRegMaxValueNameLength = 16383;
constexpr size_t kRegMaxKeyDepth = 512;

// A key name: 1 to 255 characters, no backslash, no control character, no surrogate.
TARNEL_API bool IsValidKeyName(std::wstring_view name);
// A value name: up to 16383 characters, no control character, no surrogate (empty: the default value).
TARNEL_API bool IsValidValueName(std::wstring_view name);
// Whether data of a string type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is whole WCHARs that have a UTF-16
// form: no high surrogate, nothing past U+10FFFF. Low surrogates pass, since file names carry them.
TARNEL_API bool IsStorableData(DWORD type, const BYTE* data, size_t size);

struct RegValue {
    std::wstring name; // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data; // as RegSetValueExW takes it: strings as WCHARs with their terminator
    bool operator==(const RegValue&) const = default;
};

class RegKeyNode {
public:
    std::wstring name;
    std::vector<RegValue> values; // in the order in which they were first set
    std::map<std::wstring, std::unique_ptr<RegKeyNode>, NameLess> subkeys;

    TARNEL_API RegKeyNode* Find(std::wstring_view subkey) const;
    // The subkey of that name, made if there is none.
    TARNEL_API RegKeyNode& Child(const std::wstring& subkey);
    TARNEL_API const RegValue* FindValue(std::wstring_view valueName) const;
    TARNEL_API void SetValue(RegValue value);
    TARNEL_API bool DeleteValue(std::wstring_view valueName);
    // The same names (exact spelling), values and subkeys, all the way down.
    TARNEL_API bool operator==(const RegKeyNode& other) const;
};

// A whole hive: the root keys (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, ...) are the subkeys of `top`.
class RegistryHive {
public:
    RegKeyNode top;

    // False, with the number of the offending line, when the text is no well-formed hive. An empty text is
    // an empty hive.
    TARNEL_API bool Parse(std::string_view text, size_t* errorLine = nullptr);
    TARNEL_API std::string Format() const;
};

} // namespace tarnel::reg
