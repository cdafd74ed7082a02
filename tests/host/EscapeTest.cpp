// What the host shows of a name it did not make: printable text as it is, anything a terminal obeys (or that
// starts a line, or turns the line's direction) as \xHH, so that a hostile file name cannot act on the
// terminal or pass for a line of the command's own.
#include "host/Escape.h"
#include "host/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(Printable, KeepsTextAndEscapesWhatATerminalWouldObey) {
    const struct {
        const char* what;
        std::string text, shown;
    } cases[] = {
        {"plain ASCII", "plate 01 (copy).qzt", "plate 01 (copy).qzt"},
        {"empty", "", ""},
        {"UTF-8 of two, three and four bytes", "plate é – 中 😀.qzt", "plate é – 中 😀.qzt"},
        {"the last code point, U+FFFD and U+D7FF", "\xf4\x8f\xbf\xbf \xef\xbf\xbd \xed\x9f\xbf",
         "\xf4\x8f\xbf\xbf \xef\xbf\xbd \xed\x9f\xbf"},
        {"a newline cannot forge a line", "a.qzt\ncached /etc/passwd", "a.qzt\\x0acached /etc/passwd"},
        {"tab and carriage return", "a\tb\rc", "a\\x09b\\x0dc"},
        {"an escape sequence", "\x1b[31mred\x1b]0;title\x07", "\\x1b[31mred\\x1b]0;title\\x07"},
        {"NUL", "a\0b"s, "a\\x00b"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"C1 controls: NEL, CSI, APC; U+00A0 is printable", "\xc2\x85\xc2\x9b\xc2\x9f\xc2\xa0",
         "\\xc2\\x85\\xc2\\x9b\\xc2\\x9f\xc2\xa0"},
        {"a backslash, so that escapes are unambiguous", "a\\x1b\\", "a\\\\x1b\\\\"},
        {"a lone continuation byte", "a\x80z", "a\\x80z"},
        {"bytes that never occur in UTF-8", "\xc0\xc1\xf5\xfe\xff", "\\xc0\\xc1\\xf5\\xfe\\xff"},
        {"overlong forms of '/' and of U+0800", "\xc0\xaf \xe0\x80\xaf \xf0\x80\xa0\x80",
         "\\xc0\\xaf \\xe0\\x80\\xaf \\xf0\\x80\\xa0\\x80"},
        {"a surrogate encoded in UTF-8", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"a sequence cut by the end", "ab\xe2\x82", "ab\\xe2\\x82"},
        {"a sequence cut by an ASCII byte", "\xe2\x82z\xf0\x9f\x98.", "\\xe2\\x82z\\xf0\\x9f\\x98."},
        {"bidirectional overrides and embeddings (U+202A..U+202E)", "a\xe2\x80\xaa\xe2\x80\xae",
         "a\\xe2\\x80\\xaa\\xe2\\x80\\xae"},
        {"bidirectional isolates (U+2066..U+2069)", "\xe2\x81\xa6x\xe2\x81\xa9",
         "\\xe2\\x81\\xa6x\\xe2\\x81\\xa9"},
        {"bidirectional marks (U+061C, U+200E, U+200F)", "\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f",
         "\\xd8\\x9c\\xe2\\x80\\x8e\\xe2\\x80\\x8f"},
        {"line and paragraph separators",
         "a\xe2\x80\xa8"
         "b\xe2\x80\xa9",
         "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"},
        {"their neighbours U+2027, U+202F, U+206A are printable", "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xaa",
         "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xaa"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Printable(c.text), c.shown) << c.what;
        EXPECT_EQ(Printable(c.text, 1000), c.shown) << c.what << ", within a bound";
    }
}

// Long text is cut between two characters or escapes, never inside one, and says that it was cut.
TEST(Printable, ShortensAtABoundaryWithinTheBound) {
    const struct {
        std::string text;
        size_t maxBytes;
        std::string shown;
    } cases[] = {
        {"abcdef", 6, "abcdef"}, // exactly the bound: nothing cut
        {"abcdefg", 6, "abc..."},
        {"ab中文", 8, "ab中文"},
        {"ab中文x", 8, "ab中..."},
        {"ab中文x", 7, "ab..."}, // not inside 中
        {"a\x1b"
         "bcdef",
         8, "a\\x1b..."},
        {"ab\x1b"
         "cdef",
         8, "ab..."}, // not inside \x1b
        {"a\\bcdef", 6, "a\\\\..."},
        {"\x1b\x1b", 6, "..."},
    };
    for (const auto& c : cases) {
        const std::string shown = Printable(c.text, c.maxBytes);
        EXPECT_EQ(shown, c.shown) << c.text << " in " << c.maxBytes;
        EXPECT_LE(shown.size(), c.maxBytes) << c.text;
    }
    const std::string flood(100000, '\x1b');
    EXPECT_EQ(Printable(flood, 2048).size(), 2047u) << "511 escapes and the mark";
}

// A child's line has its names escaped already: its backslashes stay, but whatever it wrote raw is escaped.
TEST(Printable, RelayedLinesKeepTheirEscapesAndLoseTheirControls) {
    EXPECT_EQ(PrintableRelayed("no picture for /x/a\\x1bb.qzt: why", 100),
              "no picture for /x/a\\x1bb.qzt: why");
    EXPECT_EQ(PrintableRelayed("raw \x1b[2J\nforged \xff", 100), "raw \\x1b[2J\\x0aforged \\xff");
    const std::string shown = PrintableRelayed(std::string(5000, 'x'), 2048);
    EXPECT_EQ(shown, std::string(2045, 'x') + "...");
}

// A file manager hands file names to the command: one that lands where no argument is expected comes back in
// the usage error, escaped.
TEST(Printable, UsageErrorsShowTheArgumentsEscaped) {
    std::vector<std::string> words = {"thumbnail", "a", "b", "c\x1b[2J\nd", "--x\x1b"};
    for (const std::string* extra : {&words[3], &words[4]}) {
        std::vector<std::string> line = {words[0], words[1], words[2], *extra};
        std::vector<char*> argv;
        for (std::string& w : line)
            argv.push_back(w.data());
        CommandLine parsed;
        std::string problem;
        EXPECT_FALSE(ParseCommandLine(line[0], int(argv.size()), argv.data(), parsed, problem));
        EXPECT_EQ(problem,
                  extra == &words[3] ? "unexpected argument 'c\\x1b[2J\\x0ad'" : "unknown option --x\\x1b");
    }
}

} // namespace
