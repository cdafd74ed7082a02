// Runs a program and writes the peak resident memory of it and its waited-for children, in KiB, to a file:
//   peak_launcher REPORT PROGRAM [ARG...]
// The exit status is the program's. A benchmark cannot read that peak from its own children: the kernel
// counts the memory of the process that called exec (the benchmark itself, through vfork or fork) into the
// peak of the child, so every figure would be at least the benchmark's own size. This launcher is small, so
// the figure it reports is the program's own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: peak_launcher REPORT PROGRAM [ARG...]\n", stderr);
        return 125;
    }
    const pid_t pid = ::fork();
    if (pid < 0)
        return 125;
    if (pid == 0) {
        ::execv(argv[2], argv + 2);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return 125;
    FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr)
        return 125;
    std::fprintf(report, "%ld\n", usage.ru_maxrss);
    std::fclose(report);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
