// The child's system-call filter at run time: the program made at build time (make_filter, from the calls of
// Calls.cpp) with the child's own id put in its places, installed for good.
#include "confine/Confine.h"
#include "confine/Private.h"
#include "confine/generated/ChildFilter.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel::confine {

PreparedFilter PrepareFilter() {
    PreparedFilter filter;
    filter.program.assign(generated::kProgram, generated::kProgram + generated::kProgramLength);
    filter.selfAt.assign(generated::kSelfAt, generated::kSelfAt + generated::kSelfAtLength);
    filter.problem = generated::kProblem;
    filter.detail = generated::kDetail;
    return filter;
}

Outcome InstallFilter(const PreparedFilter* prepared, pid_t self) {
    PreparedFilter made;
    if (prepared == nullptr) {
        made = PrepareFilter();
        prepared = &made;
    }
    if (prepared->program.empty())
        return {"filter", false, prepared->problem};
    std::vector<sock_filter> program = prepared->program;
    for (size_t at : prepared->selfAt)
        program[at].k = uint32_t(self);
    sock_fprog fprog{uint16_t(program.size()), program.data()};
    // The kernel would otherwise also switch speculative store bypass off for the child (a defence for
    // sandboxes that run code of others, such as JavaScript). The child runs only its own code, and that
    // switch slows every part of it. Without the flag the filter still holds.
    std::string notes;
    long rc = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &fprog);
    if (rc != 0 && errno == EINVAL) {
        notes = "; speculative store bypass stays off";
        rc = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog);
    }
    if (rc != 0)
        return {"filter", false, std::string("the kernel refused it: ") + std::strerror(errno)};
    return {"filter", true, prepared->detail + notes};
}

} // namespace tarnel::confine
