// Type libraries in the compact text form of our own, one statement a line ('#' starts a comment line),
// words separated by blanks, strings in double quotes with \" and \\ as escapes:
//
//   TARNEL-TYPELIB 1
//   library TarnelLib {9B2E4F70-1C3D-4A85-B6E2-0D4C7A9F1E63} version 1.0 lcid 0x409 helpstring "..."
//   importlib stdole2.tlb
//   interface ITarnelEx {C41F8E25-...} base IDispatch dual oleautomation helpstring "..."
//   coclass TarnelEx {3D7A91C2-...} helpstring "..." default ITarnelEx
//
// The library line comes first and once. An interface derives from IUnknown or IDispatch and may be dual
// (then from IDispatch) or oleautomation; a coclass lists the interfaces it implements (implements NAME, or
// default NAME for its default one, defined above it). Interfaces have no members in this form: their
// dispatch answers no names. ITypeLib and ITypeInfo (typelib.cpp) answer from what is read here;
// RegisterTypeLib and its kin (typelibreg.cpp) write the usual keys. Internal to the platform library.
#pragma once

#include "oleauto.h"
#include "platform/tarnel/own.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnel::typelib {

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
    std::wstring helpString;
    std::vector<TypeDesc> types;
};

// The library that the text describes; TYPE_E_INVDATAREAD when it is not well-formed.
TARNEL_API HRESULT Parse(std::string_view text, LibDesc& lib);

} // namespace tarnel::typelib
