// The module's four entry points: the only symbols it shows. No exception leaves them.
#include "module/TarnelApp.h"

#include "module/comexcept.h"

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    try {
        return _Module.GetClassObject(rclsid, riid, ppv);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

// Only the module's lock count decides: live objects, server locks and outside holders of the class object.
STDAPI DllCanUnloadNow() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return _Module.GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    try {
        return _Module.RegisterServer(TRUE);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

// Always S_OK: an installer that takes the module away must not be stopped by what is left behind.
STDAPI DllUnregisterServer() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    try {
        _Module.UnregisterServer(TRUE);
    } catch (...) {
        HResultFromCaughtException();
    }
    return S_OK;
}
