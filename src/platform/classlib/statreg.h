// The registrar: applies a registration script to the registry, or takes it back.
//
// Registering walks the script: a ForceRemove key that exists is first deleted with everything below it;
// then each key is opened or made, its default value and named values are set, and its block is walked.
// When a step fails, the same root block is walked again to unregister, so that what was just written is
// taken back, and the failure is returned. Unregistering walks children first: a missing key is skipped
// with everything below it; the values a block names are deleted (an absent value is no failure); a key is
// deleted unless it is NoRemove or other software has put subkeys in it. Values that others put on a key
// do not keep it. Each root block is one change of its hive.
//
// HKCR in a script means the classes that registrations write: the user's, or the system's when per-user
// registration is turned off.
#pragma once

#include "oleauto.h"
#include "winerror.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// ATL's: the last error as an HRESULT; E_FAIL when a failing call left no error behind.
inline HRESULT AtlHresultFromLastError() {
    DWORD dwErr = ::GetLastError();
    return dwErr == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(LONG(dwErr));
}

// Whether registrations go to the user's classes (the default here) or to the system's. Process-wide.
TARNEL_API HRESULT AtlSetPerUserRegistration(bool bEnable);
TARNEL_API HRESULT AtlGetPerUserRegistration(bool* pbEnabled);

// A script that does not follow the grammar, or names a placeholder without a replacement.
class CRegObject {
public:
    // %key% in a script becomes item; the item is put in as it is (a path's single quotes are the caller's
    // to double).
    TARNEL_API HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item);
    TARNEL_API HRESULT ClearReplacements();

    // The script resource nID of type szType in the module file resFileName, read as 8-bit text in the
    // thread's code page. The module is opened as a data file for this: nothing of it runs.
    TARNEL_API HRESULT ResourceRegister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType);
    TARNEL_API HRESULT ResourceUnregister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType);
    TARNEL_API HRESULT StringRegister(LPCOLESTR data);
    TARNEL_API HRESULT StringUnregister(LPCOLESTR data);

private:
    HRESULT Apply(std::wstring_view script, bool bRegister);
    HRESULT ApplyResource(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType, bool bRegister);

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
};
