// Work run in child processes with a bounded run time and memory, each confined (confine/Confine.h) and given
// a private temporary folder: a file that makes the extractor hang, crash or misbehave costs only that file,
// whatever it leaves behind is removed, and the caller always gets an answer.
#pragma once

#include "host/ChildAnswer.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ChildOutcome {
    enum Kind { Exited, Crashed, TimedOut, NotStarted } kind = NotStarted;
    int code = -1;         // the exit status (Exited) or the signal (Crashed)
    long id = -1;          // the caller's tag for the work
    long peakKiB = 0;      // the child's largest resident size
    bool answered = false; // the child sent a valid answer (SendAnswer), which is in answer
    ChildAnswer answer;
    std::string said; // what the child wrote on its standard error, at most kChildSaidBytes of it
};

// How much of a child's standard error the parent keeps; the rest is read and dropped.
inline constexpr size_t kChildSaidBytes = 16384;

struct ChildLimits {
    double seconds = 0;   // <= 0: no bound on time
    long memoryMiB = 0;   // <= 0: none on memory. The child's data limit (RLIMIT_DATA: heap and private
                          // writable mappings), not its address space, so that a GPU driver's large
                          // reservations of address space still work. AddressSanitizer builds run without it.
    bool verbose = false; // tell, in the child, how each rule of its confinement went
    // Folders the child may write besides its own (a shader database being made). With any, the child leaves
    // Mesa's variables as the caller set them.
    std::vector<std::string> writable;
};

// What a warm parent runs in each child it forks (ChildPool::StartWarm): the request and descriptors that
// StartWarm was given, the descriptors as numbered in the child.
using WarmWork = std::function<int(const std::string& request, const std::vector<int>& fds)>;

// Runs up to any number of children at once; each is killed when its time is up.
class ChildPool {
public:
    explicit ChildPool(const ChildLimits& limits);
    ~ChildPool();
    ChildPool(const ChildPool&) = delete;
    ChildPool& operator=(const ChildPool&) = delete;

    // Forks a confined child that runs work and exits with its result. The child's standard input is
    // /dev/null, its standard error a pipe to the parent (ChildOutcome::said), its answer another
    // (SendAnswer); it keeps standard output (never a terminal) and the descriptors in keep, and closes every
    // other. False when no child could be made.
    bool Start(long id, const std::function<int()>& work, const std::vector<int>& keep = {});
    size_t Running() const { return m_children.size(); }

    // Forks the warm parent: a second process that runs preload once (it loads what the children need, and
    // must start no thread), keeping only the descriptors in keep, and then only forks children from
    // itself, each running work. Loading costs the children nothing then: they find it done. The children
    // are this process's own, supervised as Start's are. True when it runs (or already ran).
    bool StartWarmParent(const std::function<bool()>& preload, WarmWork work,
                         const std::vector<int>& keep = {});
    // As Start, but the child is forked from the warm parent and runs its work with request and fds. False
    // when there is no warm parent (or it has gone: the caller starts the child with Start).
    bool StartWarm(long id, const std::string& request, const std::vector<int>& fds);
    bool HasWarmParent() const { return m_warm >= 0; }
    // Waits until one child has exited or has been killed for running too long; its folder is gone then.
    ChildOutcome WaitOne();

private:
    struct Child {
        pid_t pid;
        int pidfd;
        long id;
        double deadline;
        int slot;   // in the table that a stop signal clears
        int said;   // the read end of its standard error
        int answer; // the read end of its answer
        std::string text;
    };
    // A child's folder and the pipes of its standard error and answer, made before it is.
    struct Prepared {
        std::string folder;
        int slot = -1;
        int said[2] = {-1, -1};
        int answer[2] = {-1, -1};
    };
    ChildLimits m_limits;
    std::vector<Child> m_children;
    int m_warm = -1; // the socket to the warm parent
    pid_t m_warmPid = -1;

    bool Prepare(Prepared& p);
    void Abandon(Prepared& p);
    void Register(long id, pid_t pid, Prepared& p);
    void StopWarmParent();

    ChildOutcome Finish(Child& c, bool killed);
    // Reads what the children wrote on their standard error so far (no pipe ever fills and stalls one).
    void Drain(Child& c);
};

// Runs work in one child process.
ChildOutcome RunIsolated(const ChildLimits& limits, const std::function<int()>& work,
                         const std::vector<int>& keep = {});

// Whether this build applies memory bounds (not under AddressSanitizer).
bool MemoryBoundsApply();

// Whether a child came near its memory bound: code that is refused memory seldom says so (it crashes, or
// gives up quietly), and a child whose resident peak reached three quarters of the bound or more is taken to
// have needed more.
bool NearMemoryBound(const ChildOutcome& outcome, long memoryMiB);
// The words for it; how names the options and variables that set the bound.
std::string MemoryBoundReason(long long mebibytes, const char* how = "--memory, TARNEL_MEMORY_LIMIT");

// The folder of its own that a child is given (TMPDIR and XDG_RUNTIME_DIR point there), in the first usable
// of $XDG_RUNTIME_DIR, $TMPDIR and /tmp; empty when none takes one. The parent removes it; folders that the
// children of a parent killed outright left behind are removed by the next run that makes one there.
std::string MakeChildFolder();
