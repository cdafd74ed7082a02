// Runs the host as a person or a file manager runs it: a shell command line, its standard output captured
// (add 2>&1 for the errors), and its exit status.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace testutil {

struct CommandResult {
    int status; // the exit status; -1 when the command did not exit normally
    std::string out;
};

inline CommandResult RunCommand(const std::string& commandLine) {
    FILE* pipe = ::popen(commandLine.c_str(), "r");
    if (pipe == nullptr)
        return {-1, {}};
    std::string out;
    std::array<char, 4096> buf;
    while (size_t n = std::fread(buf.data(), 1, buf.size(), pipe))
        out.append(buf.data(), n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

} // namespace testutil
