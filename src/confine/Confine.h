// The confinement of an extraction child. A thumbnailer reads files that anyone may have made, and a fault in
// a decoder (ours or a library's) must cost nothing but that file's picture. Tumbler, KDE and a terminal run
// thumbnailers with the user's full rights, so the child confines itself for good before it loads any module:
//
// - a session of its own (no controlling terminal), standard input from /dev/null, no terminal on output;
// - namespaces of its own where the kernel allows them: a user namespace (no capability outside it, for root
//   too), with its own network (no route out, no abstract socket of the desktop's), IPC and mounts; its
//   private folder becomes a tmpfs of bounded size there;
// - resource limits: data (the memory bound), threads, open files, file size, no core dumps;
// - Landlock: reads of devices only where rendering needs them, writes only in its own folders, ioctls only
//   on render nodes, no TCP, no abstract Unix sockets and no signals out of the child;
// - a system-call filter that allows what the child's real paths use and refuses everything else.
//
// Each rule is applied on its own; what this kernel lacks is told (with -v), never a reason to give no
// picture.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tarnel::confine {

// The system-call filter as a program, built once by the parent for every child it starts (building it takes
// libseccomp longer than the rest of the confinement), with the places where the child's own id goes.
struct PreparedFilter {
    std::vector<sock_filter> program;
    std::vector<size_t> selfAt;
    std::string problem; // why there is no program
    std::string detail;  // what it holds
};
// Builds the filter's program. Call it before forking; an empty program leaves each child to build its own.
PreparedFilter PrepareFilter();

struct Plan {
    std::string folder;                     // the child's private folder: its temporary files, Mesa's cache
    std::vector<std::string> writable;      // further folders the child may write (a shader database to make)
    long memoryMiB = 0;                     // RLIMIT_DATA; 0: none (and always none under AddressSanitizer)
    long threads = 0;                       // at most this many threads; 0: a bound from the processor count
    long openFiles = 64;                    // RLIMIT_NOFILE
    long fileSizeMiB = 128;                 // RLIMIT_FSIZE: the largest PNG (4096 x 4096) with room to spare
    long folderMiB = 128;                   // the bytes the child may leave in its folder, all files together
    const PreparedFilter* filter = nullptr; // the parent's, prepared before the fork
};

// What became of one rule.
struct Outcome {
    const char* rule; // "session", "namespaces", "limits", "landlock", "filter", ...
    bool applied;
    std::string detail; // what it holds, or why not
};

// Confines the calling process for good: a child that is single-threaded and has closed what it must not
// keep. Returns the fate of each rule.
std::vector<Outcome> Confine(const Plan& plan);

// Leaves the controlling terminal (a new session), reads standard input from and writes standard output to
// /dev/null, and standard error too where it is a terminal. Part of Confine; on its own for callers that
// confine later.
Outcome LeaveTerminal();

// Reads standard input from and writes standard output to /dev/null: the caller's streams are not the
// process's own. Part of LeaveTerminal; on its own for a process that hands them to children.
void DiscardCallerStreams();

// Closes every descriptor from 3 on but those in keep (close_range, else one by one).
void CloseAllBut(std::vector<int> keep);

// A system call in the filter's tables, and why it is there.
struct Call {
    const char* name;
    const char* why;
};
// Calls the child may make, some of them only with the arguments the filter checks (CheckedCalls).
const std::vector<Call>& AllowedCalls();
// Calls allowed only with some arguments: clone (threads), kill and kin (the child itself), ioctl (no
// terminal injection), prctl (the parent-death signal stays), mmap (no anonymous shared memory), ...
const std::vector<Call>& CheckedCalls();
// Calls refused with EPERM, named for readers and tests; every other call fails with ENOSYS.
const std::vector<Call>& RefusedCalls();

// The Landlock ABI of this kernel, 0 without Landlock.
int LandlockAbi();

} // namespace tarnel::confine
