// The module's resources: the registration script of CTarnelEx and the type library TarnelLib. The build
// names their files (TARNEL_RGS_FILE, TARNEL_TLB_FILE); their bytes go into the module file itself.
#include "module/resource.h"
#include "platform/tarnel/resource.h"

TARNEL_RESOURCE("REGISTRY", IDR_TARNELEX, 1033, TARNEL_RGS_FILE);
TARNEL_RESOURCE("TYPELIB", IDR_TYPELIB, 1033, TARNEL_TLB_FILE);
