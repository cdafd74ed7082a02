#include "Command.h"
#include "RegistryTestUtil.h"
#include "TestUtil.h"
#include "support/BmpWriter.h"

#include "confine/Sanitizer.h"
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>

using testutil::TempDir;
using testutil::WriteFile;

namespace {

using Result = testutil::CommandResult;

Result Shell(const std::string& command) {
    return testutil::RunCommand(command);
}

Result Tarnel(const std::string& args) {
    return Shell(std::string(TARNEL_BINARY) + " " + args);
}

TEST(HostCommand, UsageErrorsExitWithTwo) {
    EXPECT_EQ(Tarnel("2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("frobnicate 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail only-input 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail -s 0 a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail --size 12x 2>/dev/null a b").status, 2);
    EXPECT_EQ(Tarnel("thumbnail --bogus a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("info 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail --timeout soon a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail --timeout -1 a b 2>/dev/null").status, 2);
    Result help = Tarnel("thumbnail --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: tarnel thumbnail"), std::string::npos);
}

TEST(HostCommand, NoPictureExitsWithOneAndLeavesTheOutputAlone) {
    TempDir dir;
    WriteFile(dir / "out.png", "");
    Result r = Tarnel("thumbnail -v -s 128 " + (dir / "missing.qzt") + " " + (dir / "out.png") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("IExtractImage::Extract -> E_FAIL (0x80004005)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("IPersistFile::Load -> S_OK"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::file_size(dir / "out.png"), 0u);
}

TEST(HostCommand, TheIconIsWrittenOnlyWhenAskedFor) {
    TempDir dir;
    WriteFile(dir / "plate.qzt", "no picture");
    WriteFile(dir / "out.png", "");
    Result r = Tarnel("thumbnail -v -s 128 " + (dir / "plate.qzt") + " " + (dir / "out.png") + " 2>&1");
    EXPECT_EQ(r.status, 1) << "without --icon the icon counts as no picture";
    EXPECT_NE(r.out.find("IExtractImage::Extract -> icon only (0xFFFFFFFF)"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::file_size(dir / "out.png"), 0u);
    r = Tarnel("thumbnail --icon -s 128 " + (dir / "plate.qzt") + " " + (dir / "out.png"));
    EXPECT_EQ(r.status, 3);
    EXPECT_GT(std::filesystem::file_size(dir / "out.png"), 0u);
}

TEST(HostCommand, InfoReportsKindSizeVerdictAndStudies) {
    TempDir dir;
    WriteFile(dir / "Plan.KPV", "STUDY \"a.qzt\" Sub\\B.QZT\n");
    Result r = Tarnel("info --json " + (dir / "Plan.KPV"));
    EXPECT_EQ(r.status, 0);
    std::string folder = dir.path().string();
    for (char& c : folder) // the extractor binds the lower-cased path
        c = char(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(r.out.find("\"kind\": \"project\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size\": 24"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size_limit\": 2097152"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size_limit_source\": \"default\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size_allowed\": true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"studies\": [\"" + folder + "/a.qzt\", \"" + folder + "/sub\\\\b.qzt\"]"),
              std::string::npos)
        << r.out;

    r = Tarnel("info --json " + (dir / "missing.stl") + " 2>/dev/null");
    EXPECT_EQ(r.status, 1) << "a file that cannot be read";
    EXPECT_NE(r.out.find("\"error\": \"not found\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"kind\": \"mesh\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size\": null"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"studies\": null"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size_allowed\": null"), std::string::npos) << r.out;
    // A moved project: the studies it names are not there, and it says so.
    r = Tarnel("info --json " + (dir / "Plan.KPV"));
    EXPECT_NE(r.out.find("\"missing_studies\": [\"" + folder + "/a.qzt\", \"" + folder + "/sub\\\\b.qzt\"]"),
              std::string::npos)
        << r.out;
    WriteFile(dir / "a.qzt", "here now");
    r = Tarnel("info " + (dir / "Plan.KPV"));
    EXPECT_NE(r.out.find("/a.qzt\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/sub\\\\b.qzt (missing)\n"), std::string::npos) << r.out; // escaped
    // What cannot be read says only that: no size verdict, no marker looked for.
    std::filesystem::create_directory(dir / "folder.qzt");
    for (const char* name : {"missing.qzt", "folder.qzt"}) {
        r = Tarnel("info " + (dir / name) + " 2>/dev/null");
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out.find("size allowed"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("marker"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.out.find("file: not a regular file"), std::string::npos) << r.out;

    r = Tarnel("info --json " + (dir / "x.qzt") + " TARNEL_SIZE_LIMIT=-1");
    EXPECT_EQ(r.status, 2) << "one file only";
    r = Tarnel("info " + (dir / "x.qzt"));
    EXPECT_NE(r.out.find("kind: study"), std::string::npos) << r.out;
}

TEST(HostCommand, InfoReportsTheEmbeddedPicture) {
    TempDir dir;
    WriteFile(dir / "s.qzt",
              bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0xFF0000), bmp::Variant::Rgb24), "12345"));
    Result r = Tarnel("info --json " + (dir / "s.qzt"));
    EXPECT_NE(r.out.find("\"marker_offset\": 5, \"picture_width\": 40, \"picture_height\": 30"),
              std::string::npos)
        << r.out;
    WriteFile(dir / "broken.qzt", "12<THUMBNAIL>BM");
    r = Tarnel("info --json " + (dir / "broken.qzt"));
    EXPECT_NE(r.out.find("\"marker_offset\": 2, \"picture_width\": null"), std::string::npos) << r.out;
    r = Tarnel("info --json " + (dir / "missing.qzt"));
    EXPECT_NE(r.out.find("\"marker_offset\": null"), std::string::npos) << r.out;
}

TEST(HostCommand, WritesThePictureAsAnRgbPng) {
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(400, 300, 0x00FF00), bmp::Variant::Rgb24)));
    WriteFile(dir / "out.png", ""); // file managers hand over an existing empty file
    Result r = Tarnel("thumbnail -s 100 " + (dir / "s.qzt") + " " + (dir / "out.png"));
    ASSERT_EQ(r.status, 0);
    std::ifstream in(dir / "out.png", std::ios::binary);
    std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
               uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 100u); // IHDR width
    EXPECT_EQ(be32(20), 75u);  // height: fitted, not enlarged or padded
    EXPECT_EQ(png[24], 8);     // bit depth
    EXPECT_EQ(png[25], 2);     // colour type RGB
}

TEST(HostCommand, InfoNamesWhereTheLimitCameFrom) {
    TempDir dir;
    WriteFile(dir / "plate.qzt", std::string(100, 'x'));
    Result r = Tarnel("info --json " + (dir / "plate.qzt") + "");
    testutil::ScopedEnv env("TARNEL_SIZE_LIMIT", "50");
    r = Tarnel("info --json " + (dir / "plate.qzt"));
    EXPECT_NE(r.out.find("\"size_limit\": 50, \"size_limit_source\": \"TARNEL_SIZE_LIMIT\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"size_allowed\": false"), std::string::npos) << r.out;
    testutil::ScopedEnv ignore("TARNEL_IGNORE_SIZE", "1");
    r = Tarnel("info --json " + (dir / "plate.qzt"));
    EXPECT_NE(r.out.find("\"size_ignored\": true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"size_allowed\": true"), std::string::npos) << r.out;
}

// A big mesh with the size limit lifted takes far longer than a millisecond: the run is cut short, gives no
// picture, and leaves neither a partial OUTPUT nor a temporary file behind.
TEST(HostCommand, ARunPastItsTimeoutGivesNoPictureAndLeavesNothingBehind) {
    TempDir dir;
    std::string mesh = "solid big\n";
    for (int i = 0; i < 100000; ++i) {
        const std::string x = std::to_string(i % 1000), y = std::to_string(i / 1000);
        mesh += "facet normal 0 0 1\n outer loop\n  vertex " + x + " " + y + " 0\n  vertex " + x + " " + y +
                " 1\n  vertex " + x + " 1 " + y + "\n endloop\nendfacet\n";
    }
    WriteFile(dir / "big.stl", mesh + "endsolid big\n");
    WriteFile(dir / "out.png", "");
    testutil::ScopedEnv ignore("TARNEL_IGNORE_SIZE", "1");
    Result r = Tarnel("thumbnail --timeout 0.001 " + (dir / "big.stl") + " " + (dir / "out.png") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("gave up after 0.001 seconds"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::file_size(dir / "out.png"), 0u);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 2u) << "only the mesh and the untouched output";

    // A study cut short at any point, while its picture lies in a temporary file too: the child's folder
    // goes, with whatever the child left in it.
    std::filesystem::create_directory(dir / "runtime");
    testutil::ScopedEnv runtime("XDG_RUNTIME_DIR", dir / "runtime");
    WriteFile(dir / "large.qzt",
              bmp::Study(bmp::Encode(bmp::Pattern(2880, 2880, 2), bmp::Variant::Pal1), ""));
    for (const char* seconds : {"0.002", "0.005", "0.01", "0.02", "0.04", "0.08"}) {
        r = Tarnel("thumbnail --timeout " + std::string(seconds) + " " + (dir / "large.qzt") + " " +
                   (dir / "out.png") + " 2>/dev/null");
        EXPECT_TRUE(std::filesystem::is_empty(dir / "runtime")) << "after " << seconds << " s";
    }
}

// The picture replaces OUTPUT whole: an old, longer content leaves no tail, and the file keeps its mode.
TEST(HostCommand, APictureReplacesTheOutputWhole) {
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0x0000FF), bmp::Variant::Rgb24)));
    WriteFile(dir / "out.png", std::string(100000, 'x'));
    std::filesystem::permissions(dir / "out.png", std::filesystem::perms(0640));
    ASSERT_EQ(Tarnel("thumbnail " + (dir / "s.qzt") + " " + (dir / "out.png")).status, 0);
    std::ifstream in(dir / "out.png", std::ios::binary);
    std::string png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
    EXPECT_EQ(std::filesystem::status(dir / "out.png").permissions(), std::filesystem::perms(0640));
}

// A file manager that made OUTPUT as an empty file and keeps it open (tumbler does) reads the picture
// through its own descriptor: the picture goes into that same file.
TEST(HostCommand, AnEmptyOutputIsFilledInPlace) {
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0x0000FF), bmp::Variant::Rgb24)));
    WriteFile(dir / "out.png", "");
    const int held = ::open((dir / "out.png").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(Tarnel("thumbnail " + (dir / "s.qzt") + " " + (dir / "out.png")).status, 0);
    char head[8] = {};
    EXPECT_EQ(::pread(held, head, 8, 0), 8);
    EXPECT_EQ(std::string(head + 1, 3), "PNG");
    ::close(held);
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
        2)
        << "no temporary file is left beside it";
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// For one user: the MIME definitions go where update-mime-database finds them, the entry names the command
// by its own path (quoted, since this copy's folder has a space in it), and uninstall takes both away.
TEST(HostCommand, InstallAndUninstallForOneUser) {
    testutil::PrivateHive hive; // uninstall unregisters: not from the registry the other tests share
    TempDir dir;
    std::filesystem::create_directories(dir / "my bin");
    std::filesystem::copy_file(TARNEL_BINARY, dir / "my bin/tarnel");
    std::filesystem::permissions(dir / "my bin/tarnel", std::filesystem::perms(0755));
    testutil::ScopedEnv data("XDG_DATA_HOME", dir / "data");
    const std::string copy = "'" + (dir / "my bin/tarnel") + "'";
    const std::string module = " --module " + std::string(TARNEL_MODULE);
    Result r = Shell(copy + " install" + module + " 2>/dev/null");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string entry = ReadAll(dir / "data/thumbnailers/tarnel.thumbnailer");
    EXPECT_NE(entry.find("[Thumbnailer Entry]\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nTryExec=" + (dir / "my bin/tarnel") + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=\"" + (dir / "my bin/tarnel") + "\" thumbnail --module " + TARNEL_MODULE +
                         " --clsid {3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38} -s %s %i %o\n"),
              std::string::npos)
        << entry;
    EXPECT_TRUE(std::filesystem::exists(dir / "data/mime/packages/tarnel-mime.xml"));
    if (::system("command -v update-mime-database >/dev/null") == 0) {
        const std::string globs = ReadAll(dir / "data/mime/globs2");
        for (const char* glob :
             {"application/x-tarnel-study:*.qzt", "application/x-tarnel-project:*.kpv",
              "application/x-tarnel-project:*.kpz", "model/x-tarnel-mesh:*.tvx", "model/x-tarnel-mesh:*.ybr",
              "application/x-tarnel-document:*.jxe", "application/x-tarnel-document:*.lwq",
              "application/x-tarnel-document:*.gnw"})
            EXPECT_NE(globs.find(glob), std::string::npos) << glob << " in\n" << globs;
    }
    r = Shell(copy + " uninstall" + module + " >/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "data/thumbnailers/tarnel.thumbnailer"));
    EXPECT_FALSE(std::filesystem::exists(dir / "data/mime/packages/tarnel-mime.xml"));
    EXPECT_EQ(Tarnel("install --user --system 2>/dev/null").status, 2);
}

// A file manager that gives up on a thumbnailer sends SIGTERM: the half-made picture goes with it.
TEST(HostCommand, AStoppedRunRemovesItsTemporaryFile) {
    TempDir dir;
    std::string mesh = "solid big\n";
    for (int i = 0; i < 200000; ++i)
        mesh += "facet normal 0 0 1\n outer loop\n  vertex " + std::to_string(i) + " 0 0\n  vertex 0 " +
                std::to_string(i) + " 0\n  vertex 0 0 1\n endloop\nendfacet\n";
    WriteFile(dir / "big.stl", mesh + "endsolid big\n");
    WriteFile(dir / "out.png", "");
    testutil::ScopedEnv ignore("TARNEL_IGNORE_SIZE", "1");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(TARNEL_BINARY, "tarnel", "thumbnail", "--timeout", "0", (dir / "big.stl").c_str(),
                (dir / "out.png").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto temporaries = [&] {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            n += e.path().filename().string().rfind(".out.png.", 0) == 0;
        return n;
    };
    while (temporaries() == 0 && ::waitpid(pid, nullptr, WNOHANG) == 0)
        ::usleep(1000);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) { // stopped before the picture was done, as nearly always
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        EXPECT_EQ(std::filesystem::file_size(dir / "out.png"), 0u);
    }
    EXPECT_EQ(temporaries(), 0u);
}

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

// Only a regular file is ever written: a link planted in a shared folder must not redirect the picture, and a
// device, FIFO or folder is neither written through nor replaced. Each is refused as a usage error.
TEST(HostCommand, AnOutputThatIsNoRegularFileIsRefusedAndLeftAsItWas) {
    namespace fs = std::filesystem;
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0x0000FF), bmp::Variant::Rgb24)));
    WriteFile(dir / "other.png", "someone else's");
    const std::string study = dir / "s.qzt";
    struct Case {
        const char* name;
        std::function<bool(const std::string&)> make; // false: cannot be made here
        fs::file_type stays;
    };
    const Case cases[] = {
        {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0644) == 0; }, fs::file_type::fifo},
        {"folder", [](const std::string& p) { return fs::create_directory(p); }, fs::file_type::directory},
        {"link", [&](const std::string& p) { return ::symlink((dir / "other.png").c_str(), p.c_str()) == 0; },
         fs::file_type::symlink},
        {"dangling",
         [&](const std::string& p) { return ::symlink((dir / "nowhere.png").c_str(), p.c_str()) == 0; },
         fs::file_type::symlink},
        {"device", // like /dev/null; only root may make one
         [](const std::string& p) {
             return ::geteuid() == 0 && ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
         },
         fs::file_type::character},
    };
    for (const Case& c : cases) {
        const std::string out = dir / c.name;
        if (!c.make(out))
            continue;
        // A reader on the FIFO keeps a faulty open for writing from hanging the test.
        const int reader = c.stays == fs::file_type::fifo ? ::open(out.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        Result r = Tarnel("thumbnail " + study + " " + out + " 2>&1");
        if (reader >= 0)
            ::close(reader);
        EXPECT_EQ(r.status, 2) << c.name << ": " << r.out;
        EXPECT_NE(r.out.find("cannot write " + out + ": it is a"), std::string::npos) << r.out;
        EXPECT_EQ(fs::symlink_status(out).type(), c.stays) << c.name;
    }
    EXPECT_EQ(ReadAll(dir / "other.png"), "someone else's");
    EXPECT_FALSE(fs::exists(dir / "nowhere.png"));

    // "-" is standard output: the PNG itself down a pipe, never onto a terminal.
    Result r = Tarnel("thumbnail " + study + " - 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 8), kPngSignature);
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0) {
        r = Tarnel("thumbnail " + study + " - 2>&1 >" + ::ptsname(terminal));
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("will not write a PNG to a terminal"), std::string::npos) << r.out;
    }
    if (terminal >= 0)
        ::close(terminal);
}

// A name too long to prefix for the hidden temporary file still gets its picture, with nothing left beside
// it. In a folder that takes no new file the picture goes into the existing OUTPUT itself; a link there is
// still refused, and a missing OUTPUT is not created by name.
TEST(HostCommand, LongNamesAndClosedFoldersGetThePictureWithoutFollowingLinks) {
    namespace fs = std::filesystem;
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0x0000FF), bmp::Variant::Rgb24)));
    const std::string study = dir / "s.qzt";
    fs::create_directory(dir / "long");
    const std::string longName = dir / ("long/" + std::string(246, 'n') + ".png");
    ASSERT_EQ(Tarnel("thumbnail " + study + " " + longName).status, 0);
    EXPECT_EQ(ReadAll(longName).substr(0, 8), kPngSignature);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "long"), fs::directory_iterator()), 1);

    const std::string closed = dir / "closed";
    WriteFile(closed + "/out.png", std::string(100000, 'x'));
    WriteFile(dir / "other.png", "someone else's");
    ASSERT_EQ(::symlink((dir / "other.png").c_str(), (closed + "/link.png").c_str()), 0);
    // Root ignores the folder's mode; an immutable folder takes no new file from root either.
    struct Reopen {
        std::string path;
        ~Reopen() {
            if (::geteuid() == 0)
                Shell("chattr -i " + path + " 2>/dev/null");
            ::chmod(path.c_str(), 0755);
        }
    } reopen{closed};
    ::chmod(closed.c_str(), 0555);
    if (::geteuid() == 0 && Shell("chattr +i " + closed + " 2>/dev/null").status != 0)
        GTEST_SKIP() << "no folder here refuses root a new file";
    const int probe = ::open((closed + "/probe").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (probe >= 0) {
        ::close(probe);
        ::unlink((closed + "/probe").c_str());
        GTEST_SKIP() << "the folder still takes new files";
    }
    ASSERT_EQ(Tarnel("thumbnail " + study + " " + closed + "/out.png").status, 0);
    const std::string png = ReadAll(closed + "/out.png");
    EXPECT_EQ(png.substr(0, 8), kPngSignature);
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << "no tail of the old content";
    EXPECT_EQ(Tarnel("thumbnail " + study + " " + closed + "/link.png 2>/dev/null").status, 2);
    EXPECT_EQ(fs::symlink_status(closed + "/link.png").type(), fs::file_type::symlink);
    EXPECT_EQ(ReadAll(dir / "other.png"), "someone else's");
    EXPECT_EQ(Tarnel("thumbnail " + study + " " + closed + "/new.png 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail " + study + " " + (dir / "no/such/folder/new.png") + " 2>/dev/null").status,
              2);
    EXPECT_EQ(std::distance(fs::directory_iterator(closed), fs::directory_iterator()), 2);
}

} // namespace

namespace {

// A good mesh renders here: the mesh cases need off-screen OpenGL.
bool MeshesRender(const TempDir& dir) {
    WriteFile(dir / "good.stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                                "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n");
    return Tarnel("thumbnail -s 64 " + (dir / "good.stl") + " " + (dir / "good.png") + " 2>/dev/null")
               .status == 0;
}

// Every outcome without a picture says why on one line, in the user's words, and exits 1.
TEST(HostCommand, EveryNoPictureSaysWhyOnOneLine) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755); // the unprivileged row below reads through it
    WriteFile(dir / "plain.qzt", "a study without a picture\n");
    WriteFile(dir / "big.qzt", std::string(2097153, 'x'));
    WriteFile(dir / "broken.qzt", "data<THUMBNAIL>BM not a picture");
    std::filesystem::create_directory(dir / "dir.qzt");
    WriteFile(dir / "empty.stl", "");
    std::string garbage(3000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 2654435761u) >> 13);
    WriteFile(dir / "garbage.stl", garbage);
    WriteFile(dir / "nan.stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex nan nan nan\nvertex nan 0 0\n"
                               "vertex 0 nan 0\nendloop\nendfacet\nendsolid s\n");
    WriteFile(dir / "locked.qzt", bmp::Study(bmp::Encode(bmp::Solid(8, 8, 0xFF), bmp::Variant::Rgb24)));
    ::chmod((dir / "locked.qzt").c_str(), 0);
    // root reads every file: the locked row runs as nobody then.
    const std::string asUser = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const bool userCanRun =
        Shell(asUser + "test -r " + TARNEL_MODULE + " -a -x " + TARNEL_BINARY).status == 0;
    const bool meshes = MeshesRender(dir);

    struct Case {
        const char* file;
        const char* reason;
        bool mesh = false;
        std::string prefix = "";
    };
    const Case cases[] = {
        {"plain.qzt", "no picture stored in the file"},
        {"missing.qzt", "not found"},
        {"dir.qzt", "not a regular file"},
        {"broken.qzt", "the picture stored in the file cannot be read"},
        {"big.qzt", "over the size limit of 2097152 bytes (TARNEL_SIZE_LIMIT, or TARNEL_IGNORE_SIZE=1)"},
        {"locked.qzt", "permission denied", false, asUser},
        {"empty.stl", "the mesh holds no triangles", true},
        {"garbage.stl", "not a mesh file the reader understands", true},
        {"nan.stl", "its triangles draw nothing (not-a-number, out-of-range or degenerate coordinates)",
         true},
    };
    for (const Case& c : cases) {
        if ((c.mesh && !meshes) || (!c.prefix.empty() && !userCanRun))
            continue; // no off-screen OpenGL (the set-up's message is tested with the routing), or a build
                      // that nobody else may read
        // The module named, since another user cannot read this test's private registry.
        Result r = Shell(c.prefix + TARNEL_BINARY + " thumbnail --module " + TARNEL_MODULE + " " +
                         (dir / c.file) + " - 2>&1 >/dev/null");
        EXPECT_EQ(r.status, 1) << c.file << ": " << r.out;
        EXPECT_EQ(r.out, "tarnel: no picture for " + (dir / c.file) + ": " + c.reason + "\n") << c.file;
    }
    // --icon asks for the fallback where there is no picture: a mesh that draws nothing gets it too.
    if (meshes) {
        Result r = Tarnel("thumbnail --icon " + (dir / "empty.stl") + " " + (dir / "empty.png"));
        EXPECT_EQ(r.status, 3);
        EXPECT_GT(std::filesystem::file_size(dir / "empty.png"), 0u);
    }
}

TEST(HostCommand, SizesAndMemoryAreBounded) {
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0xFF), bmp::Variant::Rgb24)));
    const std::string out = dir / "out.png";
    EXPECT_EQ(Tarnel("thumbnail -s 4096 " + (dir / "s.qzt") + " " + out).status, 0);
    Result r = Tarnel("thumbnail -s 4097 " + (dir / "s.qzt") + " " + out + " 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("whole numbers from 1 to 4096"), std::string::npos) << r.out;
    EXPECT_EQ(Tarnel("thumbnail --size 100x4097 a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("thumbnail --memory lots a b 2>/dev/null").status, 2);
    EXPECT_EQ(Tarnel("cache --memory -1 a 2>/dev/null").status, 2);

    if (kAddressSanitizer || !MeshesRender(dir))
        GTEST_SKIP() << "memory bounds need a build without AddressSanitizer, and meshes off-screen OpenGL";
    // The bound hit by a request (the largest size) and by a file (a mesh past the size limit).
    std::string sphere = std::string(80, '\0');
    std::string big = std::string(80, '\0');
    auto facets = [](std::string& stl, uint32_t n, const std::function<float(uint32_t)>& coordinate) {
        stl.append(reinterpret_cast<const char*>(&n), 4);
        for (uint32_t i = 0; i < n; ++i) {
            float f[12] = {0, 0, 1};
            for (int k = 3; k < 12; ++k)
                f[k] = coordinate(i * 9 + uint32_t(k - 3));
            stl.append(reinterpret_cast<const char*>(f), sizeof f);
            stl.append(2, '\0');
        }
    };
    facets(sphere, 2000, [](uint32_t k) { return float((k * 7919u) % 1000) / 1000.0f; });
    facets(big, 300000, [](uint32_t k) {
        uint32_t x = k * 747796405u + 2891336453u; // scattered points, as a scanned part has them
        x = (x ^ (x >> 16)) * 0x45D9F3Bu;
        return float((x ^ (x >> 16)) >> 8) / 16777216.0f;
    });
    WriteFile(dir / "request.stl", sphere);
    WriteFile(dir / "file.stl", big);
    // No time bound: rendering 4096 x 4096 on the CPU may take longer than the default on a busy machine,
    // and this test is about memory.
    EXPECT_EQ(Tarnel("thumbnail -s 4096 --timeout 0 " + (dir / "request.stl") + " " + out).status, 0)
        << "the default serves";
    r = Tarnel("thumbnail -s 4096 --timeout 0 --memory 256 " + (dir / "request.stl") + " " + out + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("it needs more memory than the bound of 256 MiB"), std::string::npos) << r.out;
    r = Shell("TARNEL_IGNORE_SIZE=1 TARNEL_MEMORY_LIMIT=100 " + std::string(TARNEL_BINARY) +
              " thumbnail --timeout 0 " + (dir / "file.stl") + " " + out + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("it needs more memory than the bound of 100 MiB"), std::string::npos) << r.out;
}

// A study whose picture scales to nothing (16384 x 1 at 256 pixels) gives no picture, and the reason is the
// child's to find: the parent opens nothing of the file and never decodes a picture (no image loader, no
// temporary picture), which strace shows from outside. The old way decoded the file's BMP in the parent.
TEST(HostCommand, TheParentReadsNothingOfTheFile) {
    if (Shell("command -v strace >/dev/null").status != 0)
        GTEST_SKIP() << "needs strace (scripts/install-deps.sh installs it)";
    TempDir dir;
    WriteFile(dir / "thin.qzt", bmp::Study(bmp::Encode(bmp::Solid(16384, 1, 0x808080), bmp::Variant::Rgb24)));
    // LeakSanitizer cannot look at a traced process: sanitizer builds leave it off here.
    const Result r = Shell("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=%file,%desc -o " +
                           (dir / "trace") + " " + TARNEL_BINARY + " thumbnail --module " + TARNEL_MODULE +
                           " " + (dir / "thin.qzt") + " " + (dir / "thin.png") + " 2>&1");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("the picture stored in the file (16384 x 1 pixels) is too thin to scale"),
              std::string::npos)
        << r.out;
    std::ifstream trace(dir / "trace");
    std::string line, parent, parentSaw, childSaw;
    while (std::getline(trace, line)) {
        const std::string pid = line.substr(0, line.find(' '));
        if (parent.empty())
            parent = pid;
        for (const char* seen : {"thin.qzt", "loaders.cache", "libpixbufloader", ".bmp"})
            if (line.find(seen) != std::string::npos && line.find("execve(") == std::string::npos)
                (pid == parent ? parentSaw : childSaw) += line + "\n";
    }
    EXPECT_EQ(parentSaw, "");
    EXPECT_NE(childSaw.find("thin.qzt"), std::string::npos) << "the child reads the file: the trace can see";
}

// A study, a project or the icon maps no VTK or EGL library, in the command or its child; a mesh does. What
// the processes open is seen from outside them, through strace: the child's own output is the parent's to
// word, and its confinement would keep a log file of the dynamic loader's from being written.
TEST(HostCommand, OnlyMeshesLoadVtk) {
    if (Shell("command -v strace >/dev/null").status != 0)
        GTEST_SKIP() << "needs strace (scripts/install-deps.sh installs it)";
    TempDir dir;
    WriteFile(dir / "s.qzt", bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0xFF), bmp::Variant::Rgb24)));
    WriteFile(dir / "plain.qzt", "no picture");
    auto loaded = [&](const std::string& args) {
        return Shell("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e trace=openat -e signal=none -o " +
                     (dir / "trace") + " " + std::string(TARNEL_BINARY) + " thumbnail " + args +
                     " >/dev/null 2>&1; cat " + (dir / "trace"))
            .out;
    };
    for (const std::string& args :
         {(dir / "s.qzt") + " " + (dir / "s.png"), "--icon " + (dir / "plain.qzt") + " " + (dir / "i.png")}) {
        const std::string log = loaded(args);
        EXPECT_NE(log.find("libtarnel.so"), std::string::npos) << "the module was loaded";
        EXPECT_EQ(log.find("libvtk"), std::string::npos) << args;
        EXPECT_EQ(log.find("libEGL"), std::string::npos) << args;
    }
    if (MeshesRender(dir)) {
        EXPECT_NE(loaded((dir / "good.stl") + " " + (dir / "m.png")).find("libvtkRenderingCore"),
                  std::string::npos);
    }
}

// A mesh's run asks the allocator for huge pages (the command runs itself again for it), a study's does not,
// and a caller's own choice of the allocator's pages stands.
TEST(HostCommand, MeshesAskForHugePages) {
    std::ifstream modes("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string line;
    std::getline(modes, line);
    if (line.find("[never]") != std::string::npos || line.empty())
        GTEST_SKIP() << "this system gives no transparent huge pages";
    TempDir dir;
    WriteFile(dir / "m.stl", "solid m\nendsolid m\n");
    WriteFile(dir / "s.qzt", "no picture");
    auto memory = [&](const std::string& env, const std::string& file) {
        const std::string said = Shell(env + " " + std::string(TARNEL_BINARY) + " thumbnail --verbose " +
                                       (dir / file) + " " + (dir / "out.png") + " 2>&1")
                                     .out;
        const size_t at = said.find("tarnel: memory: ");
        return at == std::string::npos ? std::string("(not said)")
                                       : said.substr(at, said.find('\n', at) - at);
    };
    EXPECT_EQ(memory("", "m.stl"), "tarnel: memory: in huge pages where the system gives them");
    EXPECT_EQ(memory("", "s.qzt"), "tarnel: memory: in pages as the system gives them");
    EXPECT_EQ(memory("GLIBC_TUNABLES=glibc.malloc.hugetlb=0", "m.stl"),
              "tarnel: memory: in pages as the system gives them");
}

TEST(HostCommand, EveryCommandHasHelpAndTheVersionIsTold) {
    for (const char* command : {"thumbnail", "info", "register", "unregister", "registry", "registry dump",
                                "registry where", "install", "uninstall", "cache", "shader-cache"}) {
        Result r = Tarnel(std::string(command) + " --help 2>&1");
        EXPECT_EQ(r.status, 0) << command << ": " << r.out;
        EXPECT_NE(r.out.find("usage: tarnel "), std::string::npos) << command;
    }
    Result r = Tarnel("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("tarnel ", 0), 0u) << r.out;
}

} // namespace

namespace {

// The largest picture a study's stored mebibyte can hold (one bit a pixel, 2880 x 2880) still gives its
// thumbnail within 256 MiB; a compressed picture that promises more (8192 x 8192 in a few run codes) gives
// none, at once, instead of half a gigabyte of decoding.
TEST(HostCommand, PicturesThatPromiseMoreThanTheyHoldAreRefused) {
    TempDir dir;
    WriteFile(dir / "largest.qzt",
              bmp::Study(bmp::Encode(bmp::Pattern(2880, 2880, 2), bmp::Variant::Pal1), ""));
    // An 8-bit run-length picture of 8192 x 8192 whose data is one end-of-picture code.
    std::string bomb = "BM" + std::string(12, '\0');
    auto le32 = [&](std::string& s, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s[at + size_t(i)] = char(v >> (8 * i));
    };
    std::string info(40, '\0');
    le32(info, 0, 40);
    le32(info, 4, 8192);
    le32(info, 8, 8192);
    info[12] = 1; // planes
    info[14] = 8; // bits a pixel
    info[16] = 1; // BI_RLE8
    le32(info, 20, 2);
    le32(info, 32, 256);
    bomb += info + std::string(256 * 4, '\0') + std::string("\0\1", 2);
    le32(bomb, 2, uint32_t(bomb.size()));
    le32(bomb, 10, 14 + 40 + 256 * 4);
    WriteFile(dir / "bomb.qzt", bmp::Study(bomb));

    const std::string memory = kAddressSanitizer ? "" : "--memory 256 ";
    EXPECT_EQ(Tarnel("thumbnail " + memory + (dir / "largest.qzt") + " " + (dir / "l.png")).status, 0);
    Result r = Tarnel("thumbnail " + memory + (dir / "bomb.qzt") + " " + (dir / "b.png") + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("the picture stored in the file cannot be read"), std::string::npos) << r.out;
}

} // namespace
