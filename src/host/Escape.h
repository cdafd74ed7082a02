// Text for the terminal: file names, and whatever a file or another process said, may hold control
// characters that a terminal obeys, or a newline that starts a line the command never wrote.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text as it may be shown within one line. Printable UTF-8 stays as it is. Each byte of a control
// character (C0 with newline and tab, DEL, C1), of a bidirectional control (U+202A..U+202E, U+2066..U+2069
// and the marks U+061C, U+200E, U+200F), of a line or paragraph separator (U+2028, U+2029), and each byte
// that is no part of valid UTF-8 (an overlong form, a surrogate, more than U+10FFFF, a cut sequence) is
// written as \xHH in lower case; a backslash is written as \\. So every shown text reads back to exactly its
// bytes.
std::string Printable(std::string_view text);

// The same, at most maxBytes long (3 or more): when more would follow, cut between two characters or escapes
// and ended with "...".
std::string Printable(std::string_view text, size_t maxBytes);

// A line that another process of tarnel's wrote, shown at most maxBytes long as above. That process escaped
// the names in it already, so a backslash stays as it is; anything a terminal would obey is escaped as by
// Printable all the same, since the process may have run code that wrote whatever it liked.
std::string PrintableRelayed(std::string_view text, size_t maxBytes);
