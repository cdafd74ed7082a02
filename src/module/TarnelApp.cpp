#include "module/TarnelApp.h"

#include "extractor/TarnelEx.h"

namespace {

AFX_MODULE_STATE g_moduleState;

// The class table: one class.
BEGIN_OBJECT_MAP(ObjectMap)
OBJECT_ENTRY(CLSID_TarnelEx, CTarnelEx)
END_OBJECT_MAP()

} // namespace

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    return &g_moduleState;
}

CComModule _Module;
CAtlModule* _pAtlModule = &_Module;

CTarnelApp theApp;

// Starts the server: the class table becomes the server's.
BOOL CTarnelApp::InitInstance() {
    _Module.Init(ObjectMap, AfxGetInstanceHandle());
    return CWinApp::InitInstance();
}

// Ends the server: the cached class object goes, the termination callbacks run.
int CTarnelApp::ExitInstance() {
    _Module.Term();
    return CWinApp::ExitInstance();
}

namespace {

// Ties the application's start and end to the module's load and unload, as the framework's entry point
// does. Defined after theApp and _Module, so it is made after them and destroyed before them.
struct CModuleLifetime {
    CModuleLifetime() {
        AFX_MANAGE_STATE(AfxGetStaticModuleState());
        HMODULE hInstance = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                 GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&g_moduleState), &hInstance);
        g_moduleState.m_hCurrentInstanceHandle = hInstance;
        theApp.InitInstance();
    }
    ~CModuleLifetime() {
        AFX_MANAGE_STATE(AfxGetStaticModuleState());
        theApp.ExitInstance();
    }
} g_lifetime;

} // namespace
