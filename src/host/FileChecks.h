// What the host can tell about a file without reading it: the first words of every "no picture" reason.
#pragma once

#include <string>

// Why the file at path cannot be read, in the user's words ("not found", "permission denied", "not a regular
// file"), or "" when it can be opened for reading. Never blocks: a FIFO is told apart before it is opened.
std::string ReadProblem(const char* path);
