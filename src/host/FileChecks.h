// What the host can tell about a file without reading it: the first words of every "no picture" reason.
#pragma once

#include <string>

// Why the file at path cannot be read, in the user's words ("not found", "permission denied", "not a regular
// file"), or "" when it can be opened for reading. Never blocks: a FIFO is told apart before it is opened.
std::string ReadProblem(const char* path);

// Whether the host may trust the file at path (a module it would load, a registry it would read): it and
// every folder above it can be changed only by root or this user. Each must be owned by one of them and
// writable by nobody else; a root-owned folder with the sticky bit (/tmp) counts as safe for what lies below
// it, since there nobody can replace what is not theirs. Links are followed and their targets judged. False
// with the reason in why. (Windows' rules differ; this is the host's own policy for loading.)
bool IsTrustworthy(const std::string& path, std::string& why);
