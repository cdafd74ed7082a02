// Compiled shaders for mesh previews, kept where every run can read them.
//
// Mesa caches the shaders it compiles under the user's cache folder. GNOME runs thumbnailers in a sandbox
// without a home, so there every mesh preview would compile its shaders afresh. Mesa can also read shaders
// from read-only databases; `tarnel shader-cache --prepare` (run at installation) renders a mesh once and
// keeps the shaders it compiled under the prefix, which the sandbox can see, and each run points Mesa at
// them. Mesa still needs a writable cache folder beside them for what is new; a private folder under /tmp
// serves where the user's cache folder is missing.
#pragma once

#include <string>

// PREFIX/lib/tarnel/shader-cache, PREFIX being the folder above the command's bin folder.
std::string PreparedShaderFolder();

// Points Mesa at the prepared shaders, when they exist and the environment does not choose a shader cache
// of its own. Call it before anything makes an OpenGL context; children inherit it.
void UsePreparedShaders();

// `tarnel shader-cache`.
int RunShaderCache(int argc, char** argv);
