// What `tarnel cache` hands its warm parent (Isolated.h): what to load once, and the job of each child as a
// small record.
#pragma once

#include "host/Host.h"
#include "host/PngWriter.h"

#include <string>
#include <vector>

// In the warm parent: loads the module that handler names, the mesh library beside it, and Mesa's EGL
// vendor library and driver, without making any display, context or thread, so that each child forked
// from it finds them loaded. What cannot be loaded is left for the children to load, as they would.
bool PreloadForChildren(const CheckedHandler& handler);

// One cache entry's job: the file, its handler and the entry's text chunks. The handler's and the output's
// descriptors travel beside it.
struct WarmJob {
    std::string path;
    std::string module;
    CLSID clsid = {};
    std::vector<PngText> texts;
};
std::string EncodeWarmJob(const WarmJob& job);
// False for a record that is not one EncodeWarmJob made.
bool DecodeWarmJob(const std::string& record, WarmJob& job);
