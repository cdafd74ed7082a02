// Compiled shaders for mesh previews, kept where every run can read them.
//
// Mesa caches the shaders it compiles under the user's cache folder. GNOME runs thumbnailers in a sandbox
// without a home, so there every mesh preview would compile its shaders afresh. Mesa can also read shaders
// from read-only databases; `tarnel shader-cache --prepare` (run at installation) renders a mesh once and
// keeps the shaders it compiled under the prefix, which the sandbox can see, and each run points Mesa at
// them. What is new Mesa writes in each child's own folder, which goes with the child.
#pragma once

#include <string>

// PREFIX/lib/tarnel/shader-cache, PREFIX being the folder above the command's bin folder.
std::string PreparedShaderFolder();

// In an extraction child: points Mesa's writable cache at the child's own folder, and at the prepared
// shaders when they exist, unless the environment chooses a shader cache of its own. What a child compiles
// so lives and dies with it: no other process ever runs a shader that a child wrote.
void PointChildShaders(const std::string& folder);

// `tarnel shader-cache`.
int RunShaderCache(int argc, char** argv);
