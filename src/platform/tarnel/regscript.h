// The registrar's script language. A script is a list of root keys (HKCR, HKCU, HKLM or their long names),
// each with a block in braces; a block holds keys and values:
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38} = s 'TarnelEx Class'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// A key is an optional flag (NoRemove, ForceRemove), a name, optionally `= TYPE DATUM` for its default
// value, and optionally a block. `val NAME = TYPE DATUM` sets a named value. TYPE is s (a string) or d (a
// 32-bit number, decimal or 0x-hexadecimal). Words are separated by white space; a word in single quotes
// may hold anything, a single quote written twice. Keywords and flags are matched without regard to case,
// and only unquoted, so a quoted 'val' is a key name.
#pragma once

#include "platform/tarnel/own.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnel::reg {

struct RegScriptValue {
    std::wstring name; // empty for a key's default value
    wchar_t type = L's';
    std::wstring datum;
    bool operator==(const RegScriptValue&) const = default;
};

struct RegScriptKey {
    enum Flag { kNone, kNoRemove, kForceRemove };
    struct Item;

    Flag flag = kNone;
    std::wstring name;
    std::optional<RegScriptValue> defaultValue;
    std::vector<Item> items; // named values and subkeys, in the script's order
};

struct RegScriptKey::Item {
    std::optional<RegScriptValue> value; // a named value; otherwise the item is `key`
    RegScriptKey key;
};

struct RegScriptRoot {
    std::wstring name; // as written: HKCR, HKEY_CLASSES_ROOT, ...
    std::vector<RegScriptKey> keys;
};

typedef std::vector<std::pair<std::wstring, std::wstring>> RegReplacements;

// Replaces each %NAME% with its replacement (names compared without regard to case) and %% with %. False
// for a name without a replacement or a % without its partner.
TARNEL_API bool ExpandRegistrationScript(std::wstring_view text, const RegReplacements& replacements,
                                         std::wstring& out);
// False when the text does not follow the grammar above, names a key that the registry cannot hold, gives
// a number that is no 32-bit number, or nests deeper than 64 blocks.
TARNEL_API bool ParseRegistrationScript(std::wstring_view text, std::vector<RegScriptRoot>& roots);
// The script in a canonical form that parses back to the same roots.
TARNEL_API std::wstring FormatRegistrationScript(const std::vector<RegScriptRoot>& roots);
// The number of a `d` datum.
TARNEL_API bool ParseRegistrationNumber(std::wstring_view datum, DWORD& value);

} // namespace tarnel::reg
