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
// The system-call filter, for the process self: the prepared program with self in its place, or, without one,
// a program built now.
Outcome InstallFilter(const PreparedFilter* prepared, pid_t self);

} // namespace tarnel::confine
