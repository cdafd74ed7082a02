// Resource numbers of the module.
#pragma once

#define IDR_TARNELEX 2001 // the registration script of CTarnelEx, type "REGISTRY"
#define IDR_TYPELIB 1     // the type library TarnelLib, type "TYPELIB"
