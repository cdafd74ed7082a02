#include "TestUtil.h"

#include "platform/stdfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Contents(FILE* f) {
    std::string out;
    char buf[64];
    while (size_t n = std::fread(buf, 1, sizeof buf, f))
        out.append(buf, n);
    return out;
}

} // namespace

TEST(RegularFileStream, OpensThroughTheNameMatching) {
    TempDir dir;
    WriteFile(dir / "Parts/Gear.STL", "solid\r\n");
    for (std::string name :
         {dir / "Parts/Gear.STL", dir / "parts/gear.stl", dir.path().string() + "/parts\\gear.stl"}) {
        FILE* f = OpenRegularFile(name.c_str(), "r");
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(Contents(f), "solid\r\n") << "bytes as they are, in either mode";
        EXPECT_EQ(::fcntl(fileno(f), F_GETFL) & O_NONBLOCK, 0) << "blocking reads once the file is known";
        EXPECT_NE(::fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
        std::fclose(f);
    }
    WriteFile(dir / "caf\xE9.stl", "x");
    FILE* f = OpenRegularFile((dir / "caf\xE9.stl").c_str(), "rb");
    ASSERT_NE(f, nullptr) << "bytes that are not UTF-8 round-trip";
    std::fclose(f);
}

TEST(RegularFileStream, RefusesWhatIsNoRegularFileWithoutBlocking) {
    TempDir dir;
    WriteFile(dir / "a.stl", "x");
    std::string fifo = dir / "pipe.stl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(fifo.c_str(), (dir / "link.stl").c_str()), 0);
    for (std::string name : {fifo, dir / "link.stl", dir.path().string(), std::string("/dev/null")}) {
        errno = 0;
        EXPECT_EQ(OpenRegularFile(name.c_str(), "r"), nullptr) << name;
        EXPECT_EQ(errno, EACCES) << name;
    }
    errno = 0;
    EXPECT_EQ(OpenRegularFile((dir / "missing.stl").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(OpenRegularFile(nullptr, "r"), nullptr);
    EXPECT_EQ(OpenRegularFile("", "r"), nullptr);
    for (const char* mode : {"w", "r+", "a", "rw", ""}) {
        errno = 0;
        EXPECT_EQ(OpenRegularFile((dir / "a.stl").c_str(), mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
}
