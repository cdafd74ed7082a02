// Work run in child processes with a bounded run time: a file that makes the extractor hang or crash costs
// only that file, and the caller always gets an answer.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

struct ChildOutcome {
    enum Kind { Exited, Crashed, TimedOut, NotStarted } kind = NotStarted;
    int code = -1;    // the exit status (Exited) or the signal (Crashed)
    long id = -1;     // the caller's tag for the work
    long peakKiB = 0; // the child's largest resident size
};

// Runs up to any number of children at once; each is killed when its time is up.
class ChildPool {
public:
    // seconds <= 0: no bound on time; memoryMiB <= 0: none on memory. The memory bound is the child's data
    // limit (RLIMIT_DATA: its heap and private writable mappings), not its address space, so that a GPU
    // driver's large reservations of address space still work. Builds with AddressSanitizer, whose shadow
    // memory is one vast mapping, run without it.
    explicit ChildPool(double seconds, long memoryMiB = 0) : m_seconds(seconds), m_memoryMiB(memoryMiB) {}
    ~ChildPool();
    ChildPool(const ChildPool&) = delete;
    ChildPool& operator=(const ChildPool&) = delete;

    // Forks a child that runs work and exits with its result. False when no child could be made.
    bool Start(long id, const std::function<int()>& work);
    size_t Running() const { return m_children.size(); }
    // Waits until one child has exited or has been killed for running too long.
    ChildOutcome WaitOne();

private:
    struct Child {
        pid_t pid;
        int pidfd;
        long id;
        double deadline;
    };
    double m_seconds;
    long m_memoryMiB;
    std::vector<Child> m_children;
};

// Runs work in one child process, bounded by seconds and memoryMiB.
ChildOutcome RunIsolated(double seconds, const std::function<int()>& work, long memoryMiB = 0);

// Whether this build applies memory bounds (not under AddressSanitizer).
bool MemoryBoundsApply();
