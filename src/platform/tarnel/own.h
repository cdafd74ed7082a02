// Our own part of the platform: the registry's store, file-name matching, the icon-theme lookup, scaling
// and the other Linux glue behind the Windows functions of platform/include. The host, the mesh library, the
// platform's own implementation and the tests use it; the system sees only the Windows part, and the build
// keeps it so: only targets that link tarnelplat_own are compiled with TARNEL_OWN_PLATFORM.
#pragma once

#ifndef TARNEL_OWN_PLATFORM
#error "platform/tarnel is our own platform code, not the Windows platform: the system's code may not use it"
#endif

#include "windef.h"
