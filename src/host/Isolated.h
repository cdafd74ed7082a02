// Work run in child processes with a bounded run time and memory, each confined (Confine.h) and given a
// private temporary folder: a file that makes the extractor hang, crash or misbehave costs only that file,
// whatever it leaves behind is removed, and the caller always gets an answer.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ChildOutcome {
    enum Kind { Exited, Crashed, TimedOut, NotStarted } kind = NotStarted;
    int code = -1;    // the exit status (Exited) or the signal (Crashed)
    long id = -1;     // the caller's tag for the work
    long peakKiB = 0; // the child's largest resident size
};

struct ChildLimits {
    double seconds = 0;   // <= 0: no bound on time
    long memoryMiB = 0;   // <= 0: none on memory. The child's data limit (RLIMIT_DATA: heap and private
                          // writable mappings), not its address space, so that a GPU driver's large
                          // reservations of address space still work. AddressSanitizer builds run without it.
    bool verbose = false; // tell, in the child, which confinement the kernel lacks
};

// Runs up to any number of children at once; each is killed when its time is up.
class ChildPool {
public:
    explicit ChildPool(const ChildLimits& limits);
    ~ChildPool();
    ChildPool(const ChildPool&) = delete;
    ChildPool& operator=(const ChildPool&) = delete;

    // Forks a confined child that runs work and exits with its result. The child keeps standard input, output
    // and error and the descriptors in keep; it closes every other. False when no child could be made.
    bool Start(long id, const std::function<int()>& work, const std::vector<int>& keep = {});
    size_t Running() const { return m_children.size(); }
    // Waits until one child has exited or has been killed for running too long; its folder is gone then.
    ChildOutcome WaitOne();

private:
    struct Child {
        pid_t pid;
        int pidfd;
        long id;
        double deadline;
        int slot; // in the table that a stop signal clears
    };
    ChildLimits m_limits;
    std::vector<Child> m_children;

    ChildOutcome Finish(const Child& c, bool killed);
};

// Runs work in one child process.
ChildOutcome RunIsolated(const ChildLimits& limits, const std::function<int()>& work,
                         const std::vector<int>& keep = {});

// Whether this build applies memory bounds (not under AddressSanitizer).
bool MemoryBoundsApply();

// The folder of its own that a child is given (TMPDIR and XDG_RUNTIME_DIR point there), in the first usable
// of $XDG_RUNTIME_DIR, $TMPDIR and /tmp; empty when none takes one. The parent removes it; folders that the
// children of a parent killed outright left behind are removed by the next run that makes one there.
std::string MakeChildFolder();
