// The application object and the server: one per module, made when the module is loaded and ended when it
// is unloaded.
#pragma once

#include "afxwin.h"
#include "atlcom.h"

class CTarnelApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
};

extern CTarnelApp theApp;
extern CComModule _Module;
