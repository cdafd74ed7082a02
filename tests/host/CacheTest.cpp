// `tarnel cache` through the command itself, against a private XDG_CACHE_HOME.
#include "Command.h"
#include "TestUtil.h"
#include "support/BmpWriter.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <thread>

using testutil::TempDir;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

using Result = testutil::CommandResult;

Result Cache(const std::string& args) {
    return testutil::RunCommand(std::string(TARNEL_BINARY) + " cache " + args + " 2>&1");
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The entry's name as every freedesktop client computes it: MD5 of the file URI that GIO spells.
std::string EntryName(const std::string& path) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    gchar* md5 = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri, -1);
    std::string name = std::string(md5) + ".png";
    g_free(md5);
    g_free(uri);
    return name;
}

bool HasText(const std::string& png, const std::string& key, const std::string& value) {
    return png.find(key + std::string(1, '\0') + value) != std::string::npos;
}

// A whole PNG: the signature in front and the IEND chunk with its CRC at the very end.
bool IsCompletePng(const std::string& png) {
    static const std::string kEnd("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    return png.size() > 20 && png.compare(1, 3, "PNG") == 0 && png.compare(png.size() - 12, 12, kEnd) == 0;
}

std::string Study() {
    return bmp::Study(bmp::Encode(bmp::Solid(80, 60, 0x3366CC), bmp::Variant::Rgb24));
}

void SetMTime(const std::string& path, int secondsFromNow) {
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::seconds(secondsFromNow));
}

struct CacheTest : ::testing::Test {
    TempDir dir;
    testutil::ScopedEnv cacheHome{"XDG_CACHE_HOME", dir / "cache"};
    std::string Large(const std::string& file) { return dir / ("cache/thumbnails/large/" + EntryName(file)); }
    std::string Failed(const std::string& file) {
        return dir / ("cache/thumbnails/fail/gnome-thumbnail-factory/" + EntryName(file));
    }
};

TEST_F(CacheTest, EntriesAreNamedByTheUriAndCarryTheFilesFacts) {
    const std::string study = dir / "my files/plate é.qzt"; // escaped in the URI: %20, %C3%A9
    WriteFile(study, Study());
    Result r = Cache("'" + study + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string png = ReadAll(Large(study));
    ASSERT_TRUE(IsCompletePng(png)) << r.out;
    struct stat st {};
    ASSERT_EQ(::stat(study.c_str(), &st), 0);
    EXPECT_TRUE(HasText(png, "Thumb::URI", "file://" + (dir / "my%20files/plate%20%C3%A9.qzt")));
    EXPECT_TRUE(HasText(png, "Thumb::MTime", std::to_string(st.st_mtime)));
    EXPECT_TRUE(HasText(png, "Thumb::Size", std::to_string(st.st_size)));
    EXPECT_TRUE(HasText(png, "Software", "tarnel"));
    ASSERT_EQ(::stat(Large(study).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "thumbnails show what private files contain";

    r = Cache("--size normal '" + study + "'");
    EXPECT_TRUE(IsCompletePng(ReadAll(dir / ("cache/thumbnails/normal/" + EntryName(study)))));
    EXPECT_EQ(Cache("--size huge x").status, 2);
    EXPECT_EQ(Cache("--jobs 0 x").status, 2);
}

TEST_F(CacheTest, CurrentEntriesAreKeptAndChangedFilesMadeAgain) {
    WriteFile(dir / "files/a.qzt", Study());
    WriteFile(dir / "files/b.qzt", Study());
    WriteFile(dir / "files/notes.txt", "not the suite's");
    WriteFile(dir / "files/plan.kpv", "STUDY \"a.qzt\"\n");
    Result r = Cache(dir / "files");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("notes.txt"), std::string::npos) << "folders give only the suite's files";
    EXPECT_NE(r.out.find("cached " + (dir / "files/plan.kpv")), std::string::npos) << r.out;

    // Nothing changed: not on a terminal, the summary alone says so, for a timer's journal; --verbose gives
    // every file its line; --quiet keeps only what went wrong.
    r = Cache(dir / "files");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "tarnel cache: 0 made, 3 up to date, 0 no picture, 0 skipped, 0 failed set-up\n");
    r = Cache("--verbose " + (dir / "files"));
    EXPECT_NE(r.out.find("up to date " + (dir / "files/a.qzt")), std::string::npos) << r.out;
    EXPECT_EQ(Cache("--quiet --verbose " + (dir / "files")).status, 2);
    WriteFile(dir / "files/c.qzt", Study());
    WriteFile(dir / "files/plain.qzt", "no picture in it");
    r = Cache("-q " + (dir / "files"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find("cached"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no picture (no picture stored in the file) " + (dir / "files/plain.qzt")),
              std::string::npos)
        << r.out;
    fs::remove(dir / "files/c.qzt");
    fs::remove(dir / "files/plain.qzt");

    SetMTime(dir / "files/b.qzt", 100);
    SetMTime(dir / "files/a.qzt", 100); // the project's study: its entry is stale although it is not
    r = Cache(dir / "files");
    EXPECT_NE(r.out.find("cached " + (dir / "files/b.qzt")), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cached " + (dir / "files/plan.kpv")), std::string::npos) << r.out;

    // A project over the size limit is not read for its studies: its entry stands as it was made.
    WriteFile(dir / "files/plan.kpv", "STUDY \"a.qzt\"\n" + std::string(20000, '#') + "\n");
    SetMTime(dir / "files/plan.kpv", 300);
    testutil::ScopedEnv limit("TARNEL_SIZE_LIMIT", "16000");
    ASSERT_LT(fs::file_size(dir / "files/a.qzt"), 16000u);
    r = Cache(dir / "files/plan.kpv");
    EXPECT_NE(r.out.find("cached " + (dir / "files/plan.kpv")), std::string::npos) << r.out;
    SetMTime(dir / "files/a.qzt", 200);
    r = Cache(dir / "files/plan.kpv");
    EXPECT_NE(r.out.find("0 made, 1 up to date"), std::string::npos) << r.out;
}

// Tumbler spells Thumb::MTime with a fraction; an entry whose time has the file's whole seconds is current,
// whoever wrote it, so that two thumbnailers do not make each other's entries again and again.
TEST_F(CacheTest, EntriesOfOtherThumbnailersAreReadByTheirSeconds) {
    const std::string study = dir / "s.qzt";
    WriteFile(study, Study());
    struct stat st {};
    ASSERT_EQ(::stat(study.c_str(), &st), 0);
    gchar* uri = g_filename_to_uri(study.c_str(), nullptr, nullptr);
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 4);
    ASSERT_NE(pixbuf, nullptr);
    fs::create_directories(fs::path(Large(study)).parent_path());
    for (const auto& [seconds, current] : {std::pair{std::to_string(st.st_mtime) + ".341587", true},
                                           std::pair{std::to_string(st.st_mtime - 1) + ".999999", false},
                                           std::pair{std::to_string(st.st_mtime) + ".5x", false}}) {
        ASSERT_TRUE(gdk_pixbuf_save(pixbuf, Large(study).c_str(), "png", nullptr, "tEXt::Thumb::URI", uri,
                                    "tEXt::Thumb::MTime", seconds.c_str(), nullptr));
        Result r = Cache(study);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find(current ? "0 made, 1 up to date" : "1 made, 0 up to date") != std::string::npos,
                  true)
            << seconds << ": " << r.out;
    }
    g_object_unref(pixbuf);
    g_free(uri);
}

// Faults of the set-up are no file's fault: the run stops with one line saying how to mend it, and the cache
// keeps what it had, with no failure record. Files that no handler serves are skipped and counted.
TEST_F(CacheTest, SetUpFaultsChangeNothingAndOtherTypesAreSkipped) {
    const std::string study = dir / "s.qzt";
    WriteFile(study, Study());
    ASSERT_EQ(Cache(study).status, 0);
    const std::string made = ReadAll(Large(study));
    SetMTime(study, 100); // stale now: a run would make it again

    WriteFile(dir / "pic.png", "an ordinary picture");
    Result r = Cache(dir / "pic.png");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("pic.png"), std::string::npos) << "a file left as it is gets no line: " << r.out;
    EXPECT_NE(r.out.find("0 made, 0 up to date, 0 no picture, 1 skipped, 0 failed set-up"), std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(Failed(dir / "pic.png")));

    // A registry that another user can change, a FIFO named as the registry, a link planted as the cache's
    // thumbnails folder: none is read, waited on or followed.
    ::mkfifo((dir / "fifo.reg").c_str(), 0600);
    fs::create_directories(dir / "linked/elsewhere");
    fs::permissions(dir / "linked/elsewhere", fs::perms(0755));
    fs::create_directory_symlink(dir / "linked/elsewhere", dir / "linked/thumbnails");
    const char* registry = std::getenv("TARNEL_REGISTRY");
    ASSERT_NE(registry, nullptr);
    fs::copy_file(registry, dir / "foreign.reg");
    const bool root = ::geteuid() == 0 && ::chown((dir / "foreign.reg").c_str(), 65534, 65534) == 0;
    const struct {
        const char* what;
        std::string env, args, message;
    } faults[] = {
        {"registry of another user", "TARNEL_REGISTRY=" + (dir / (root ? "foreign.reg" : "empty.reg")), study,
         root ? "foreign.reg belongs to another user (uid 65534)" : "no thumbnail handler"},
        {"a FIFO as the registry", "TARNEL_REGISTRY=" + (dir / "fifo.reg"), study,
         "cannot read the registry"},
        {"a linked cache folder", "XDG_CACHE_HOME=" + (dir / "linked"), study,
         "thumbnails: not a folder (a link or a file stands there)"},
        {"no handler", "TARNEL_REGISTRY=" + (dir / "empty.reg"), study,
         "no thumbnail handler is registered for .qzt (tarnel register, or --module); run 'tarnel install' "
         "first"},
        {"unreadable registry", "TARNEL_REGISTRY=" + dir.path().string(), study, "cannot read the registry"},
        {"no module", "", "--module " + (dir / "missing.so") + " " + study, "missing.so"},
        {"no cache", "XDG_CACHE_HOME=" + (dir / "pic.png") + "/cache", study,
         "cannot write the thumbnail cache"},
    };
    for (const auto& f : faults) {
        r = testutil::RunCommand(f.env + " " + TARNEL_BINARY + " cache " + f.args + " 2>&1");
        EXPECT_EQ(r.status, 4) << f.what << ": " << r.out; // the set-up's, not a file's
        EXPECT_NE(r.out.find(f.message), std::string::npos) << f.what << ": " << r.out;
        EXPECT_EQ(ReadAll(Large(study)), made) << f.what;
        EXPECT_FALSE(fs::exists(Failed(study))) << f.what;
    }
    EXPECT_EQ(fs::status(dir / "linked/elsewhere").permissions(), fs::perms(0755));
    EXPECT_TRUE(fs::is_empty(dir / "linked/elsewhere"));
    EXPECT_EQ(testutil::RunCommand("TARNEL_REGISTRY=" + (dir / "fifo.reg") + " " + TARNEL_BINARY +
                                   " registry dump >/dev/null 2>&1")
                  .status,
              1);
}

// Something that is no file at an entry's name (a FIFO would block a reader, a folder cannot be replaced)
// costs that file its entry; the other files are still made.
TEST_F(CacheTest, WhatStandsAtAnEntrysNameIsNeverWaitedOn) {
    for (const char* name : {"a.qzt", "b.qzt", "c.qzt"})
        WriteFile(dir / ("files/" + std::string(name)), Study());
    ASSERT_EQ(Cache(dir / "files/c.qzt").status, 0);
    ASSERT_EQ(::mkfifo(Large(dir / "files/a.qzt").c_str(), 0600), 0);
    fs::create_directory(Large(dir / "files/b.qzt"));
    SetMTime(dir / "files/c.qzt", 100);
    Result r = Cache(dir / "files");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot write " + Large(dir / "files/a.qzt") + ": it is a FIFO"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("cannot write " + Large(dir / "files/b.qzt") + ": it is a folder"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("cached " + (dir / "files/c.qzt")), std::string::npos) << r.out;
    EXPECT_EQ(fs::status(Large(dir / "files/a.qzt")).type(), fs::file_type::fifo);
}

// The list a systemd unit hands over: comments and blank lines skipped, ~/ as the home folder; a list that
// does not exist (nothing chosen yet) is empty, not an error.
TEST_F(CacheTest, ListedFoldersAreCached) {
    WriteFile(dir / "home/projects/a.qzt", Study());
    WriteFile(dir / "elsewhere/b.qzt", Study());
    WriteFile(dir / "list", "# chosen folders\n\n  ~/projects  \n" + (dir / "elsewhere") + "\n");
    testutil::ScopedEnv home("HOME", dir / "home");
    Result r = Cache("--list " + (dir / "list"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(IsCompletePng(ReadAll(Large(dir / "home/projects/a.qzt")))) << r.out;
    EXPECT_TRUE(IsCompletePng(ReadAll(Large(dir / "elsewhere/b.qzt")))) << r.out;
    EXPECT_EQ(Cache("--list " + (dir / "missing")).status, 0);
    EXPECT_EQ(Cache("--list").status, 2);
}

TEST_F(CacheTest, FailuresAreRecordedWhereGnomeLooksAndClearedByAPicture) {
    const std::string plain = dir / "plain.qzt";
    WriteFile(plain, "no picture in here");
    Result r = Cache(plain);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(Large(plain)));
    const std::string record = ReadAll(Failed(plain));
    ASSERT_TRUE(IsCompletePng(record)) << r.out;
    EXPECT_TRUE(HasText(record, "Thumb::URI", "file://" + plain));
    EXPECT_NE(r.out.find("no picture (no picture stored in the file) " + plain), std::string::npos) << r.out;
    // Named again, the file is tried again; found in its folder, it is not, unless asked.
    r = Cache(plain);
    EXPECT_NE(r.out.find("no picture (no picture stored in the file)"), std::string::npos) << r.out;
    r = Cache(dir.path().string());
    EXPECT_EQ(r.out.find("no picture (recorded earlier"), std::string::npos)
        << "unchanged: no line: " << r.out;
    EXPECT_NE(r.out.find("0 made, 0 up to date, 1 no picture"), std::string::npos) << r.out;
    r = Cache("--retry-failed " + dir.path().string());
    EXPECT_NE(r.out.find("no picture (no picture stored in the file)"), std::string::npos) << r.out;

    WriteFile(plain, Study());
    SetMTime(plain, 100);
    r = Cache(plain);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fs::exists(Large(plain)));
    EXPECT_FALSE(fs::exists(Failed(plain))) << "a file with a picture is no failure";

    // A file that takes too long: cut short, recorded, and the other files still made.
    std::string mesh = "solid big\n";
    for (int i = 0; i < 50000; ++i)
        mesh += "facet normal 0 0 1\n outer loop\n  vertex " + std::to_string(i) + " 0 0\n  vertex 0 " +
                std::to_string(i) + " 0\n  vertex 0 0 1\n endloop\nendfacet\n";
    WriteFile(dir / "big.stl", mesh + "endsolid big\n");
    testutil::ScopedEnv ignore("TARNEL_IGNORE_SIZE", "1");
    r = Cache("--timeout 0.001 " + (dir / "big.stl"));
    EXPECT_NE(r.out.find("no picture (gave up after 0.001 seconds (--timeout)) " + (dir / "big.stl")),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(fs::exists(Failed(dir / "big.stl")));
}

// A file's name may hold anything a terminal obeys, and a newline: every line that shows it shows it
// escaped, so that it neither acts on the terminal nor passes for a line of its own.
TEST_F(CacheTest, HostileNamesAreShownEscapedOnTheirOwnLine) {
    const std::string red = dir / "files/a\x1b[31mred\nfake line.qzt";
    const std::string titled = dir / "files/b\x1b]0;title\x07\ncached elsewhere.qzt";
    WriteFile(red, Study());
    WriteFile(titled, "no picture in here");
    const std::string shownRed = dir / "files/a\\x1b[31mred\\x0afake line.qzt";
    const std::string shownTitled = dir / "files/b\\x1b]0;title\\x07\\x0acached elsewhere.qzt";
    auto lines = [](const std::string& out) {
        std::multiset<std::string> found;
        for (size_t start = 0, end; start < out.size(); start = end + 1) {
            end = out.find('\n', start);
            if (end == std::string::npos)
                end = out.size();
            found.insert(out.substr(start, end - start));
        }
        return found;
    };

    Result r = Cache(dir / "files");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos) << r.out;
    EXPECT_EQ(lines(r.out),
              (std::multiset<std::string>{
                  "cached " + shownRed, "no picture (no picture stored in the file) " + shownTitled,
                  "tarnel cache: 1 made, 0 up to date, 1 no picture, 0 skipped, 0 failed set-up"}))
        << r.out;

    // Named on the command line (through the environment: the shell would need quoting of its own), and
    // named where nothing is.
    testutil::ScopedEnv name("HOSTILE", titled);
    testutil::ScopedEnv missing("MISSING", dir / "gone\x1b[2J\n.qzt");
    r = Cache("\"$HOSTILE\" \"$MISSING\"");
    EXPECT_EQ(lines(r.out),
              (std::multiset<std::string>{
                  "tarnel cache: " + (dir / "gone\\x1b[2J\\x0a.qzt") + ": not found",
                  "no picture (no picture stored in the file) " + shownTitled,
                  "tarnel cache: 0 made, 0 up to date, 1 no picture, 0 skipped, 0 failed set-up"}))
        << r.out;

    // `tarnel thumbnail` says why in one line, and so does an output it cannot write.
    r = testutil::RunCommand(std::string(TARNEL_BINARY) + " thumbnail \"$HOSTILE\" " + (dir / "out.png") +
                             " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tarnel: no picture for " + shownTitled + ": no picture stored in the file\n");
    r = testutil::RunCommand(std::string(TARNEL_BINARY) + " thumbnail " +
                             "\"$HOSTILE\" \"$MISSING/out.png\" 2>&1");
    EXPECT_EQ(r.out, "tarnel: cannot write " + (dir / "gone\\x1b[2J\\x0a.qzt/out.png") +
                         ": No such file or directory\n");
}

// A run killed part-way leaves only whole pictures under the names readers look at; the next run finishes.
// The meshes' children come from the warm parent, which has loaded VTK and Mesa once and never opens a file
// of the folder; each child is the command's own, forked with CLONE_PARENT. Seen from outside through strace:
// with cold children (TARNEL_COLD_CHILDREN) the same look must find each child loading VTK, or it could not
// see.
TEST_F(CacheTest, ChildrenComeFromAWarmParentThatReadsNoFile) {
    if (testutil::RunCommand("command -v strace >/dev/null").status != 0)
        GTEST_SKIP() << "needs strace (scripts/install-deps.sh installs it)";
    for (const char* name : {"a.stl", "b.stl"})
        WriteFile(dir / ("files/" + std::string(name)),
                  "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                  "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n");
    WriteFile(dir / "files/s.qzt", Study());
    struct Seen {
        std::set<std::string> warmOpened; // by the process that forked the children
        std::map<std::string, std::string> childOpened;
        std::set<std::string> loadedVtk; // the processes that opened VTK's rendering library
        int children = 0;
    };
    auto trace = [&](const std::string& env) {
        fs::remove_all(dir / "cache");
        fs::remove_all(dir / "trace");
        fs::create_directories(dir / "trace");
        // One log a process (-ff): no line of one is cut by another's.
        testutil::RunCommand(
            env + " ASAN_OPTIONS=detect_leaks=0 strace -ff -qq -e trace=openat,clone -e signal=none -o " +
            (dir / "trace/log") + " " + TARNEL_BINARY + " cache --jobs 1 " + (dir / "files") +
            " >/dev/null 2>&1");
        std::map<std::string, std::vector<std::string>> opens; // by process
        std::set<std::string> children;
        std::string warm;
        for (const auto& entry : fs::directory_iterator(dir / "trace")) {
            const std::string pid = entry.path().extension().string().substr(1);
            std::ifstream in(entry.path());
            for (std::string line; std::getline(in, line);) {
                if (line.find("flags=CLONE_PARENT|SIGCHLD") != std::string::npos) {
                    warm = pid;
                    children.insert(line.substr(line.rfind("= ") + 2));
                } else if (line.find("openat(") != std::string::npos) {
                    opens[pid].push_back(line);
                }
            }
        }
        Seen seen;
        for (const auto& [pid, lines] : opens)
            for (const std::string& open : lines) {
                if (open.find("libvtkRenderingCore") != std::string::npos)
                    seen.loadedVtk.insert(pid == warm ? "warm" : pid);
                if (pid == warm)
                    seen.warmOpened.insert(open);
                else if (children.count(pid) != 0)
                    seen.childOpened[pid] += open + "\n";
            }
        seen.children = int(children.size());
        return seen;
    };
    const Seen warm = trace("");
    ASSERT_EQ(warm.children, 2)
        << "each mesh's child is forked by the warm parent, the study's by the command";
    for (const std::string& open : warm.warmOpened)
        EXPECT_EQ(open.find(dir / "files"), std::string::npos) << "the warm parent read a file: " << open;
    for (const auto& [pid, opened] : warm.childOpened)
        EXPECT_EQ(opened.find("libvtkRenderingCore"), std::string::npos) << "child " << pid << " loaded VTK";

    EXPECT_EQ(warm.loadedVtk, std::set<std::string>{"warm"});

    const Seen cold = trace("TARNEL_COLD_CHILDREN=1");
    EXPECT_EQ(cold.children, 0) << "cold children are forked by the command itself";
    EXPECT_EQ(cold.loadedVtk.size(), 2u) << "each mesh's child loads VTK itself";
}

// Ctrl-C (or the service stopped): the children go with their folders, and the run says what it did so far.
// --forget removes tarnel's records of the files named, of every size; uninstall --purge removes every file
// tarnel wrote into the cache. Neither touches another program's thumbnail; `why` tells each state.
TEST_F(CacheTest, ForgetAndPurgeRemoveOnlyWhatTarnelWrote) {
    for (const char* name : {"a.qzt", "c.qzt", "d.qzt"})
        WriteFile(dir / name, Study());
    WriteFile(dir / "b.qzt", "a study without a picture");
    const std::string a = dir / "a.qzt", b = dir / "b.qzt", c = dir / "c.qzt", d = dir / "d.qzt";
    ASSERT_EQ(Cache("--size normal " + a).status, 0);
    ASSERT_EQ(Cache(a + " " + b + " " + d).status, 1);
    // Another program's entry for c, as a file manager would write it.
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 4);
    gdk_pixbuf_fill(pixbuf, 0x808080ff);
    gchar* uri = g_filename_to_uri(c.c_str(), nullptr, nullptr);
    fs::create_directories(fs::path(Large(c)).parent_path());
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, Large(c).c_str(), "png", nullptr, "tEXt::Thumb::URI", uri,
                                "tEXt::Thumb::MTime", "1", "tEXt::Software", "GNOME::ThumbnailFactory",
                                nullptr));
    g_free(uri);
    g_object_unref(pixbuf);

    const std::string why = std::string(TARNEL_BINARY) + " why ";
    Result r = testutil::RunCommand(why + a + " " + b + " " + c);
    EXPECT_NE(r.out.find("  cache large: current, " + Large(a)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  failure record of gnome-thumbnail-factory (written by tarnel): current"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("    clear it: tarnel cache --forget " + b), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  cache large: stale: made for another version of the file"), std::string::npos)
        << r.out;

    r = Cache("--forget " + a + " " + b + " " + c);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(fs::exists(Large(a)));
    EXPECT_FALSE(fs::exists(dir / ("cache/thumbnails/normal/" + EntryName(a))));
    EXPECT_FALSE(fs::exists(Failed(b)));
    EXPECT_TRUE(fs::exists(Large(c))) << "another program's entry stays";
    EXPECT_TRUE(fs::exists(Large(d))) << "a file not named stays";
    EXPECT_NE(r.out.find("3 removed for 3 files"), std::string::npos) << r.out;

    WriteFile(dir / "empty.reg", "");
    r = testutil::RunCommand("TARNEL_REGISTRY=" + (dir / "empty.reg") + " XDG_DATA_HOME=" + (dir / "data") +
                             " " + TARNEL_BINARY + " uninstall --purge --module " + TARNEL_MODULE + " 2>&1");
    EXPECT_NE(r.out.find("removed 1 files of tarnel's from the thumbnail cache"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(Large(d)));
    EXPECT_TRUE(fs::exists(Large(c)));
}

TEST_F(CacheTest, AnInterruptedRunSaysWhatItDid) {
    for (int i = 0; i < 40; ++i)
        WriteFile(dir / ("many/s" + std::to_string(i) + ".qzt"), Study());
    const std::string pidFile = dir / "pid";
    FILE* pipe = ::popen(("sh -c 'echo $$ > " + pidFile + "; exec " + TARNEL_BINARY + " cache --jobs 2 " +
                          (dir / "many") + " 2>&1'")
                             .c_str(),
                         "r");
    // Every wait is bounded: a run that does not end is shown with its processes, then killed.
    const int fd = ::fileno(pipe);
    std::string out;
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, size_t(n));
        }
        if (!signalled && out.find('\n') != std::string::npos) {
            ::kill(pid_t(std::stol(ReadAll(pidFile))), SIGINT);
            signalled = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            const Result ps = testutil::RunCommand("ps -eo pid,ppid,stat,wchan:24,args | grep '[t]arnel'");
            ADD_FAILURE() << "the run did not end; its processes:\n" << ps.out << "\noutput:\n" << out;
            testutil::RunCommand("pkill -KILL -f '[t]arnel cache --jobs 2 " + (dir / "many") + "'");
            break;
        }
    }
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) != 0) << out;
    const size_t at = out.find("tarnel cache: stopped by a signal: ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_NE(out.find(" made, ", at), std::string::npos) << out;
    EXPECT_NE(out.find("; the rest not looked at", at), std::string::npos) << out;
}

TEST_F(CacheTest, AKilledRunLeavesOnlyCompletePictures) {
    // The children's folders go here; those of the killed run are gone after the next.
    fs::create_directories(dir / "tmp");
    testutil::ScopedEnv tmp("TMPDIR", dir / "tmp");
    testutil::ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    for (int i = 0; i < 40; ++i)
        WriteFile(dir / ("many/s" + std::to_string(i) + ".qzt"), Study());
    const std::string pidFile = dir / "pid";
    const std::string command =
        "sh -c 'echo $$ > " + pidFile + "; exec " + TARNEL_BINARY + " cache --jobs 2 " + (dir / "many") + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[4096];
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    const pid_t pid = pid_t(std::stol(ReadAll(pidFile)));
    ::kill(pid, SIGKILL);
    ::pclose(pipe);

    size_t pictures = 0;
    for (const auto& e : fs::directory_iterator(dir / "cache/thumbnails/large")) {
        const std::string name = e.path().filename().string();
        if (name.ends_with(".png")) {
            ++pictures;
            EXPECT_TRUE(IsCompletePng(ReadAll(e.path().string()))) << name;
        } else {
            EXPECT_EQ(name[0], '.') << name << ": an unfinished file must not look like an entry";
        }
    }
    EXPECT_GE(pictures, 1u);
    Result r = Cache(dir / "many");
    EXPECT_EQ(r.status, 0) << r.out;
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(IsCompletePng(ReadAll(Large(dir / ("many/s" + std::to_string(i) + ".qzt"))))) << i;
    EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "children's folders left behind";
}

} // namespace
