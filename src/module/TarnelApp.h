// The application object: one per module, made when the module is loaded and destroyed when it is unloaded.
#pragma once

#include "platform/afxwin.h"

class CTarnelApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
};

extern CTarnelApp theApp;
