// The loading policy inside a user namespace, as GNOME's bubblewrap sandbox makes one: files whose owner the
// namespace does not map show as the overflow user, and count as root's only on a read-only mount.
#include "TestUtil.h"

#include "host/FileChecks.h"
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

using testutil::TempDir;
using testutil::WriteFile;

namespace {

bool WriteText(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Runs judge in a child inside a new user namespace that maps only root, and a mount namespace of its own
// where, with readOnly, folder is bound onto itself read-only. The child's answer: "" when it trusts the
// file, else the reason, or "namespace: ..." when the namespace could not be made.
std::string JudgedInNamespace(const std::string& folder, const std::string& file, bool readOnly) {
    int pipe[2];
    if (::pipe(pipe) != 0)
        return "namespace: pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        auto answer = [&](const std::string& text) {
            (void)!::write(pipe[1], text.data(), text.size());
            ::_exit(0);
        };
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            answer(std::string("namespace: unshare: ") + std::strerror(errno));
        if (!WriteText("/proc/self/setgroups", "deny") || !WriteText("/proc/self/uid_map", "0 0 1\n") ||
            !WriteText("/proc/self/gid_map", "0 0 1\n"))
            answer("namespace: cannot map root");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            answer(std::string("namespace: private mounts: ") + std::strerror(errno));
        if (readOnly &&
            (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
             ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0))
            answer(std::string("namespace: read-only bind: ") + std::strerror(errno));
        std::string why;
        answer(IsTrustworthy(file, why) ? "" : why);
    }
    ::close(pipe[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

// A module in a folder of another user: refused where that user is seen; in a namespace that hides the
// user, refused on a writable mount and trusted on a read-only one, as bubblewrap binds /usr.
TEST(Trust, AFileOfAnOwnerTheNamespaceHidesIsTrustedOnlyOnAReadOnlyMount) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to give a folder to another user";
    TempDir dir;
    const std::string folder = dir / "lib";
    const std::string module = folder + "/libtarnel.so";
    WriteFile(module, "a module");
    ASSERT_EQ(::chown(folder.c_str(), 4242, 4242), 0);
    ASSERT_EQ(::chown(module.c_str(), 4242, 4242), 0);

    std::string why;
    EXPECT_FALSE(IsTrustworthy(module, why));
    EXPECT_EQ(why, folder + " belongs to another user (uid 4242)");

    const std::string writable = JudgedInNamespace(folder, module, false);
    if (writable.rfind("namespace: ", 0) == 0)
        GTEST_SKIP() << "this machine makes no user namespace here: " << writable;
    EXPECT_EQ(writable, folder + " belongs to a user this user namespace does not show (uid 65534), on a "
                                 "mount that may be written");
    EXPECT_EQ(JudgedInNamespace(folder, module, true), "");

    // Read-only does not excuse what others may write.
    ASSERT_EQ(::chmod(module.c_str(), 0666), 0);
    EXPECT_EQ(JudgedInNamespace(folder, module, true), module + " may be changed by other users (mode 0666)");
}

} // namespace
