// The type library TarnelLib: the dispatch interface ITarnelEx and the identifiers of the library, the
// interface and the class.
#pragma once

#include "oleauto.h"

extern const GUID LIBID_TarnelLib;
extern const IID IID_ITarnelEx;
extern const CLSID CLSID_TarnelEx;

// Dual, automation-compatible, with no members of its own.
struct ITarnelEx : IDispatch {
protected:
    ~ITarnelEx() = default;
};
