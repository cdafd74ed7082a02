// What a decoder taken over by a hostile file would try, made by the second module for a file named
// "trespass": each try is told on stderr as "trespass: WHAT: ALLOWED" or "trespass: WHAT: refused (why)". The
// tests run the same tries unconfined (so that each check can fail) and in the host's child (where each must
// be refused). The listeners are named by TARNEL_TEST_TCP_PORT (on 127.0.0.1), TARNEL_TEST_UNIX_SOCKET and
// TARNEL_TEST_ABSTRACT_SOCKET; files go to $HOME, $XDG_CACHE_HOME and $TMPDIR.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

void Tell(const char* what, bool allowed, int error) {
    if (allowed)
        std::fprintf(stderr, "trespass: %s: ALLOWED\n", what);
    else
        std::fprintf(stderr, "trespass: %s: refused (%s)\n", what, std::strerror(error));
}

// Connects to the socket address; the error of the first step that failed in error.
bool Connect(int family, const sockaddr* to, socklen_t size, int& error) {
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = s >= 0 && ::connect(s, to, size) == 0;
    error = errno;
    if (s >= 0)
        ::close(s);
    return connected;
}

void Sockets() {
    int error = 0;
    if (const char* port = std::getenv("TARNEL_TEST_TCP_PORT")) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(std::atoi(port)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = Connect(AF_INET, reinterpret_cast<sockaddr*>(&to), sizeof to, error);
        Tell("tcp connect", ok, error);
    }
    for (const char* variable : {"TARNEL_TEST_UNIX_SOCKET", "TARNEL_TEST_ABSTRACT_SOCKET"}) {
        const char* name = std::getenv(variable);
        if (name == nullptr)
            continue;
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        const bool abstract = variable[12] == 'A';
        std::snprintf(to.sun_path + (abstract ? 1 : 0), sizeof to.sun_path - 1, "%s", name);
        const socklen_t size =
            socklen_t(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + std::strlen(name));
        const bool ok = Connect(AF_UNIX, reinterpret_cast<sockaddr*>(&to), size, error);
        Tell(abstract ? "abstract socket connect" : "unix connect", ok, error);
    }
    // io_uring makes sockets and opens files without the calls a filter looks at.
    io_uring_params params{};
    const int ring = int(::syscall(__NR_io_uring_setup, 4, &params));
    Tell("io_uring", ring >= 0, errno);
    if (ring >= 0)
        ::close(ring);
}

void Files() {
    for (const char* variable : {"HOME", "XDG_CACHE_HOME"}) {
        const char* folder = std::getenv(variable);
        if (folder == nullptr)
            continue;
        const std::string file = std::string(folder) + "/trespass";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        Tell(variable[0] == 'H' ? "write in HOME" : "write in the cache", fd >= 0, errno);
        if (fd >= 0)
            ::close(fd);
    }
    // More than the child's folder may hold, in files of 32 MiB.
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp != nullptr ? tmp : "/tmp";
    std::vector<char> block(size_t(32) << 20, 'x');
    int error = 0;
    size_t written = 0;
    for (int i = 0; i < 5 && error == 0; ++i) {
        const std::string file = folder + "/trespass-" + std::to_string(i);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = errno;
            break;
        }
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n != ssize_t(block.size()))
            error = n < 0 ? errno : ENOSPC;
        written += n > 0 ? size_t(n) : 0;
        ::close(fd);
    }
    for (int i = 0; i < 5; ++i)
        ::unlink((folder + "/trespass-" + std::to_string(i)).c_str());
    Tell("fill the temporary folder with 160 MiB", error == 0 && written == size_t(160) << 20, error);
    const std::string file = folder + "/trespass-mode";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool changed = fd >= 0 && ::fchmod(fd, 0777) == 0;
    Tell("change a file's mode", changed, errno);
    if (fd >= 0)
        ::close(fd);
    ::unlink(file.c_str());
}

// A terminal of its own, made the controlling one, with input pushed into it: what TIOCSTI does to the
// user's shell. Every step must work unconfined.
void Terminal() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        Tell("open a terminal", false, errno);
        Tell("type into a terminal", false, errno);
        return;
    }
    Tell("open a terminal", true, 0);
    ::grantpt(master);
    ::unlockpt(master);
    const char* name = ::ptsname(master);
    // The terminal hangs up when it closes, which would end its session's leader.
    ::signal(SIGHUP, SIG_IGN);
    ::setsid();
    const int slave = name != nullptr ? ::open(name, O_RDWR) : -1;
    char c = 'x';
    const bool typed = slave >= 0 && ::ioctl(slave, TIOCSTI, &c) == 0;
    Tell("type into a terminal", typed, errno);
    if (slave >= 0)
        ::close(slave);
    ::close(master);
    ::signal(SIGHUP, SIG_DFL);
}

int Child(void*) {
    ::_exit(0);
}

void* Wait(void* release) {
    while (!static_cast<std::atomic<bool>*>(release)->load())
        ::usleep(1000);
    return nullptr;
}

void Processes() {
    pid_t pid = 0;
    char sh[] = "/bin/sh", dashC[] = "-c", script[] = "exit 0";
    char* argv[] = {sh, dashC, script, nullptr};
    int status = -1;
    const int spawned = ::posix_spawn(&pid, sh, nullptr, nullptr, argv, environ);
    if (spawned == 0)
        ::waitpid(pid, &status, 0);
    Tell("run /bin/sh", spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
         spawned != 0 ? spawned : EPERM);
    pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    Tell("fork", pid > 0, errno);
    // A process that shares the memory but not the thread group: no thread, and it would outlive a timeout.
    static char stack[65536];
    pid = ::clone(Child, stack + sizeof stack, CLONE_VM | SIGCHLD, nullptr);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    Tell("clone a process", pid > 0, errno);
    Tell("outlive the parent (PR_SET_PDEATHSIG)", ::prctl(PR_SET_PDEATHSIG, 0) == 0, errno);
    // Signal 0 asks only whether a signal may be sent.
    Tell("signal the parent", ::kill(::getppid(), 0) == 0, errno);
    Tell("signal every process", ::kill(-1, 0) == 0, errno);
    std::atomic<bool> release{false};
    std::vector<pthread_t> threads;
    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, 65536);
    int error = 0;
    for (int i = 0; i < 200 && error == 0; ++i) {
        pthread_t t;
        error = ::pthread_create(&t, &attr, Wait, &release);
        if (error == 0)
            threads.push_back(t);
    }
    release = true;
    for (pthread_t t : threads)
        ::pthread_join(t, nullptr);
    ::pthread_attr_destroy(&attr);
    Tell("start 200 threads", error == 0, error);
}

void Memory() {
    const size_t large = size_t(2) << 30;
    void* shared = ::mmap(nullptr, large, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    const bool sharedMapped = shared != MAP_FAILED;
    Tell("share 2 GiB of memory", sharedMapped, errno);
    if (sharedMapped) {
        static_cast<char*>(shared)[0] = 1;
        ::munmap(shared, large);
    }
    const int memory = int(::syscall(SYS_memfd_create, "trespass", 0));
    const bool sized = memory >= 0 && ::ftruncate(memory, off_t(large)) == 0;
    Tell("a memory file of 2 GiB", sized, errno);
    if (memory >= 0)
        ::close(memory);
    const size_t lots = size_t(4) << 30; // past any bound the host sets by default
    void* block = std::malloc(lots);
    if (block != nullptr)
        std::memset(block, 1, 1 << 20);
    Tell("allocate 4 GiB", block != nullptr, ENOMEM);
    std::free(block);
}

} // namespace

// The caller's standard output, which may carry the picture to a file manager (tarnel thumbnail FILE -): a
// child that can write there can forge it. Only looked at, never written: open for writing, and not
// /dev/null.
void StandardOutput() {
    struct stat out {
    }, null{};
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    const bool writable = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && ::fstat(STDOUT_FILENO, &out) == 0;
    const bool discarded =
        writable && ::stat("/dev/null", &null) == 0 && S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
    Tell("write into the caller's standard output", writable && !discarded, writable ? EBADF : errno);
}

extern "C" __attribute__((visibility("default"))) void SecondModuleTrespass() {
    Sockets();
    Files();
    Terminal();
    StandardOutput();
    Processes();
    Memory();
}
