// GLEW as Debian builds it is made for GLX: with an EGL context current it loads the OpenGL entry points and
// then answers GLEW_ERROR_NO_GLX_DISPLAY, which VTK takes for a failure. The mesh library that holds this
// file is opened first in a group of its own, ahead of GLEW, so this glewInit is the one VTK's libraries bind
// to; it calls GLEW's own and lets that one answer pass. It is the only place that knows about it.
#include "windef.h"

#include <dlfcn.h>

namespace {

constexpr unsigned kGlewOk = 0;
constexpr unsigned kGlewErrorNoGlxDisplay = 4;

using GlewInitFn = unsigned (*)();

GlewInitFn RealGlewInit() {
    static GlewInitFn real = [] {
        auto fn = reinterpret_cast<GlewInitFn>(::dlsym(RTLD_NEXT, "glewInit"));
        if (fn == nullptr) {
            // GLEW came later, with a module opened by dlopen: find it by name.
            if (void* glew = ::dlopen("libGLEW.so.2.2", RTLD_LAZY | RTLD_NOLOAD))
                fn = reinterpret_cast<GlewInitFn>(::dlsym(glew, "glewInit"));
        }
        return fn;
    }();
    return real;
}

} // namespace

extern "C" TARNEL_API unsigned glewInit() {
    GlewInitFn real = RealGlewInit();
    if (real == nullptr)
        return 1; // GLEW_ERROR_NO_VERSION: nothing to initialise with
    unsigned result = real();
    return result == kGlewErrorNoGlxDisplay ? kGlewOk : result;
}
