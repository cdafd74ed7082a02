#include "TestUtil.h"

#include "platform/tarnel/stdfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

using tarnel::plat::OpenRegularFile;

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
        FILE* f = OpenRegularFile(name.c_str(), "rb");
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(Contents(f), "solid\r\n") << "bytes as they are";
        EXPECT_EQ(::fcntl(fileno(f), F_GETFL) & O_NONBLOCK, 0) << "blocking reads once the file is known";
        EXPECT_NE(::fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
        std::fclose(f);
        f = OpenRegularFile(name.c_str(), "r");
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(Contents(f), "solid\n") << "text";
        std::fclose(f);
    }
    WriteFile(dir / "caf\xE9.stl", "x");
    FILE* f = OpenRegularFile((dir / "caf\xE9.stl").c_str(), "rb");
    ASSERT_NE(f, nullptr) << "bytes that are not UTF-8 round-trip";
    std::fclose(f);
}

TEST(RegularFileStream, TextModeEndsAtCtrlZAndReadsCrLfAsLf) {
    TempDir dir;
    // CR LF pairs wherever reads split them (one at byte 65,535), a CR on its own, a CR at the end.
    std::string big(200000, 'x');
    for (size_t i = 0; i + 1 < big.size(); i += 4369)
        big[i] = '\r', big[i + 1] = '\n';
    std::string text = big;
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == '\r' && text[i + 1] == '\n')
            text.erase(i, 1);
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb\rc\r\r\nd\r", "a\nb\rc\r\nd\r"},
        {"ab\r\x1A\ncd", "ab\r"},
        {"\x1A", ""},
        {"", ""},
        {big + "\x1A" + big, text},
    };
    for (const auto& [content, expected] : cases) {
        WriteFile(dir / "t.stl", content);
        FILE* f = OpenRegularFile((dir / "t.stl").c_str(), "rt");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(Contents(f), expected);
        std::rewind(f); // the format test reads the start twice
        EXPECT_EQ(Contents(f), expected) << "after rewind";
        EXPECT_FALSE(std::ferror(f));
        std::fclose(f);
    }
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
