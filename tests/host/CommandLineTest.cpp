// Command lines read against the command tables: one set of rules for every command, one message shape for
// every refusal, and each command of the table answering on the real command line.
#include "Command.h"

#include "host/Arguments.h"
#include "host/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A command line as a command receives it (its name first), kept alive with what is read from it.
struct Words {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit Words(std::vector<std::string> w) : words(std::move(w)) {
        for (std::string& word : words)
            argv.push_back(word.data());
    }
    int argc() const { return int(argv.size()); }
};

struct Parsed : Words {
    CommandLine line;
    std::string problem;
    bool parsed;
    explicit Parsed(std::vector<std::string> w) : Words(std::move(w)) {
        parsed = ParseCommandLine(words[0], argc(), argv.data(), line, problem);
    }
};

TEST(CommandLine, EveryCommandFollowsTheSameRules) {
    struct Case {
        std::vector<std::string> words;
        const char* problem; // null: read
        const char* reached; // the command the line names
    };
    const Case cases[] = {
        {{"thumbnail", "-s", "40", "--timeout=0.5", "a", "b"}, nullptr, "tarnel thumbnail"},
        {{"thumbnail", "--", "-a", "-"}, nullptr, "tarnel thumbnail"},
        {{"thumbnail", "a", "b", "c"}, "unexpected argument 'c'", "tarnel thumbnail"},
        {{"thumbnail", "a"}, "OUTPUT.png is needed", "tarnel thumbnail"},
        {{"thumbnail", "--bogus", "a", "b"}, "unknown option --bogus", "tarnel thumbnail"},
        {{"thumbnail", "--bogus=1", "a", "b"}, "unknown option --bogus", "tarnel thumbnail"},
        {{"thumbnail", "-sv", "a", "b"}, "unknown option -sv", "tarnel thumbnail"},
        {{"thumbnail", "a", "b", "--module"}, "--module needs a value (PATH)", "tarnel thumbnail"},
        {{"thumbnail", "--module=", "a", "b"}, "--module needs a value (PATH)", "tarnel thumbnail"},
        {{"thumbnail", "--icon=yes", "a", "b"}, "--icon takes no value", "tarnel thumbnail"},
        {{"thumbnail", "-s", "4", "--size", "5", "a", "b"}, "--size is given twice", "tarnel thumbnail"},
        {{"thumbnail", "-v", "-v", "a", "b"}, "--verbose is given twice", "tarnel thumbnail"},
        {{"cache", "--list", "a", "--list=b"}, nullptr, "tarnel cache"},
        {{"info", "--json"}, "FILE is needed", "tarnel info"},
        {{"register", "--system", "m.so"}, nullptr, "tarnel register"},
        {{"unregister", "a", "b"}, "unexpected argument 'b'", "tarnel unregister"},
        {{"install", "--user", "--system"}, "--user and --system exclude each other", "tarnel install"},
        {{"uninstall", "--system", "--prefix", "/opt"}, nullptr, "tarnel uninstall"},
        {{"shader-cache", "--into", "/tmp"},
         "--prepare, --remove or --where is needed",
         "tarnel shader-cache"},
        {{"shader-cache", "--where", "--remove"},
         "--where and --remove exclude each other",
         "tarnel shader-cache"},
        {{"registry"}, "COMMAND is needed", "tarnel registry"},
        {{"registry", "bogus"}, "unknown command 'bogus'", "tarnel registry"},
        {{"registry", "dump", "--user", ".qzt", "CLSID"}, nullptr, "tarnel registry dump"},
        {{"registry", "dump", "--bogus"}, "unknown option --bogus", "tarnel registry dump"},
        {{"registry", "where", "x"}, "unexpected argument 'x'", "tarnel registry where"},
        // The help stops the reading: what follows it is not looked at.
        {{"thumbnail", "--help", "--bogus"}, nullptr, "tarnel thumbnail"},
        {{"registry", "dump", "-h"}, nullptr, "tarnel registry dump"},
    };
    for (const Case& c : cases) {
        const Parsed p(c.words);
        const std::string words = ::testing::PrintToString(c.words);
        EXPECT_EQ(p.parsed, c.problem == nullptr) << words << ": " << p.problem;
        EXPECT_EQ(p.problem, c.problem != nullptr ? c.problem : "") << words;
        EXPECT_EQ(p.line.name, c.reached) << words;
    }
}

TEST(CommandLine, ValuesComeInTheirOrder) {
    const Parsed p({"cache", "-s", "normal", "--list", "a", "p", "--list=b", "--", "--q"});
    ASSERT_TRUE(p.parsed) << p.problem;
    const CommandLine& line = p.line;
    EXPECT_STREQ(line.Value("size"), "normal");
    ASSERT_EQ(line.Values("list").size(), 2u);
    EXPECT_STREQ(line.Values("list")[0], "a");
    EXPECT_STREQ(line.Value("list"), "b");
    EXPECT_FALSE(line.Has("retry-failed"));
    ASSERT_EQ(line.arguments.size(), 2u);
    EXPECT_STREQ(line.arguments[1], "--q");
}

// The commands' own checks of their values, after the table's: the same message shape and exit status.
TEST(CommandLine, ValuesAreCheckedByTheirCommand) {
    struct Case {
        std::vector<std::string> words;
        const char* problem;
    };
    const Case cases[] = {
        {{"thumbnail", "-s", "0", "a", "b"}, "the size must be N or WxH, whole numbers from 1 to 4096"},
        {{"thumbnail", "--timeout", "-1", "a", "b"}, "the timeout must be a number of seconds, 0 for none"},
        {{"thumbnail", "--clsid", "nonsense", "a", "b"},
         "--clsid needs a class identifier such as "
         "{3D7A91C2-58E4-4B1F-A2C6-7E90B41D5F38}"},
        {{"cache", "--size", "huge", "x"}, "the size is one of normal, large, x-large and xx-large"},
        {{"cache", "-j", "257", "x"}, "--jobs takes a whole number from 1 to 256"},
        {{"cache", "--memory", "-1", "x"}, "the memory bound must be a whole number of MiB, 0 for none"},
        {{"cache", "--retry-failed"}, "PATH is needed"},
        {{"install", "--user", "--prefix", "/opt"}, "--user and --system exclude each other"},
    };
    for (const Case& c : cases) {
        Words w(c.words);
        std::string problem;
        bool parsed;
        if (c.words[0] == "thumbnail") {
            ThumbnailRequest request;
            parsed = ParseThumbnailArguments(w.argc(), w.argv.data(), request, problem);
        } else if (c.words[0] == "cache") {
            CacheRequest request;
            parsed = ParseCacheArguments(w.argc(), w.argv.data(), request, problem);
        } else {
            InstallRequest request;
            parsed = ParseInstallArguments(w.argc(), w.argv.data(), request, problem);
        }
        EXPECT_FALSE(parsed) << ::testing::PrintToString(c.words);
        EXPECT_EQ(problem, c.problem);
    }
}

// Every command and sub-command of the table is run by the command, prints its help, and refuses an unknown
// option in the one shape: "tarnel NAME: PROBLEM", the usage, where the help is; exit status 2.
TEST(CommandLine, EveryCommandOfTheTableAnswers) {
    std::vector<std::string> names;
    for (const tarnel::cli::Command& command : tarnel::cli::kTarnel.commands) {
        names.push_back(command.name);
        for (const tarnel::cli::Command& sub : command.commands)
            names.push_back(std::string(command.name) + " " + sub.name);
    }
    for (const std::string& name : names) {
        testutil::CommandResult r = testutil::RunCommand(std::string(TARNEL_BINARY) + " " + name + " --help");
        EXPECT_EQ(r.status, 0) << name << ": " << r.out;
        EXPECT_EQ(r.out.rfind("usage: tarnel " + name, 0), 0u) << r.out;
        r = testutil::RunCommand(std::string(TARNEL_BINARY) + " " + name +
                                 " --no-such-option 2>&1 >/dev/null");
        EXPECT_EQ(r.status, 2) << name;
        EXPECT_EQ(
            r.out.rfind("tarnel " + name + ": unknown option --no-such-option\nusage: tarnel " + name, 0), 0u)
            << r.out;
        EXPECT_NE(r.out.find("Run 'tarnel " + name + " --help' for more.\n"), std::string::npos) << r.out;
    }
    testutil::CommandResult r = testutil::RunCommand(std::string(TARNEL_BINARY) + " --bogus 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.rfind("tarnel: unknown option --bogus\nusage: tarnel ", 0), 0u) << r.out;
}

} // namespace
