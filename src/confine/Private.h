// The confinement's steps, each applied and reported on its own (Confine.cpp runs them in order).
#pragma once

#include "confine/Confine.h"

#include <sys/types.h>

namespace tarnel::confine {

// A user namespace of the child's own, with its own mounts, network and IPC; the private folder becomes a
// tmpfs of plan.folderMiB there. ownUser tells whether the child now has a user namespace of its own.
Outcome EnterNamespaces(const Plan& plan, bool& ownUser);
// Resource limits. The thread bound needs a user namespace of the child's own: elsewhere RLIMIT_NPROC
// counts every process of the user.
Outcome SetLimits(const Plan& plan, bool ownUser);
// Landlock at the highest ABI the kernel has.
Outcome RestrictWithLandlock(const Plan& plan);
// The system-call filter, for the process self: the prepared program (or, without one, the one made at
// build time) with self in its places.
Outcome InstallFilter(const PreparedFilter* prepared, pid_t self);

// A process id that no process has (the kernel's largest is 2^22): its places in the program are where the
// child's own goes.
constexpr pid_t kAnyChild = 0x7eadbeef;
// The filter's instructions, built by libseccomp for the process self (at build time, by make_filter).
bool BuildFilter(pid_t self, PreparedFilter& out);

} // namespace tarnel::confine
