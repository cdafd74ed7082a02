// What an extraction child may do. A thumbnailer reads files that anyone may have made; a fault in a decoder
// must cost nothing but that file's picture. Tumbler and KDE run thumbnailers with the user's full rights, so
// the child confines itself before it loads any module: no new privileges, resource limits, a system-call
// filter and, where the kernel has it, Landlock. What the kernel lacks is skipped (and told with -v), never a
// reason to give no picture.
#pragma once

#include <string>
#include <vector>

// A system call the filter refuses, and why the child never needs it.
struct RefusedCall {
    const char* name;
    const char* why;
};
// The filter's table. Everything else is allowed: Mesa's drivers, on a desktop with a GPU, open
// /dev/dri/renderD* and issue DRM ioctls, map large ranges and start threads.
const std::vector<RefusedCall>& RefusedCalls();

// Where the child may write (Landlock); reading stays open everywhere, since a project's studies and the
// icon themes may be anywhere.
std::vector<std::string> WritableFolders(const std::string& temporaryFolder);

struct ConfinementLimits {
    long memoryMiB = 0;     // RLIMIT_DATA; 0: none
    long openFiles = 256;   // RLIMIT_NOFILE
    long fileSizeMiB = 128; // RLIMIT_FSIZE: the largest PNG (4096 x 4096) with room to spare
};

// Confines the calling process for good. Returns a line for each feature that this kernel or build lacks.
std::vector<std::string> Confine(const std::string& temporaryFolder, const ConfinementLimits& limits);
