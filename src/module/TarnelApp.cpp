#include "module/TarnelApp.h"

#include "platform/atlcom.h"

namespace {

AFX_MODULE_STATE g_moduleState;
CAtlModule g_atlModule;

} // namespace

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    return &g_moduleState;
}

CAtlModule* _pAtlModule = &g_atlModule;

CTarnelApp theApp;

BOOL CTarnelApp::InitInstance() {
    return CWinApp::InitInstance();
}

int CTarnelApp::ExitInstance() {
    return CWinApp::ExitInstance();
}

namespace {

// Ties the application's start and end to the module's load and unload. Defined after theApp, so it is
// constructed after it and destroyed before it.
struct CModuleLifetime {
    CModuleLifetime() { theApp.InitInstance(); }
    ~CModuleLifetime() { theApp.ExitInstance(); }
} g_lifetime;

} // namespace
