// A file that readers see either whole or not at all: written under a private temporary name beside its
// target and renamed onto it. A reader (the file manager, the thumbnail cache) never finds half a PNG.
// An empty target is the caller's own placeholder (a file manager makes one and may read the picture through
// the descriptor it keeps open, as tumbler does): the finished picture is copied into that same file.
#pragma once

#include <sys/types.h>

#include <string>

// Removes every temporary file still being written when the process is told to stop (SIGTERM, SIGINT,
// SIGHUP), then stops as the signal asks. Child processes reset these signals (Isolated.cpp).
void RemoveOutputFilesOnSignals();

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file. mode < 0: the target's own mode when it exists, else 0666 less the umask.
    // Where the target's folder cannot take a new file, the target itself is opened for truncation (never
    // exclusively: file managers hand over an existing empty file) and emptied again on Discard.
    bool Open(const std::string& target, int mode, std::string& error);
    int fd() const { return m_fd; }
    const std::string& target() const { return m_target; }
    // Puts the written file in place of the target.
    bool Commit(std::string& error);
    // Removes what was written; the target keeps its old content (or is left empty, when written directly).
    void Discard();

private:
    std::string m_target;
    std::string m_temp; // empty when writing the target directly
    int m_fd = -1;
    int m_slot = -1; // in the table of names that a stop signal removes
    bool m_open = false;
    bool m_fillInPlace = false; // the target was an empty file: fill it instead of replacing it

    // Copies the finished temporary file into the target; false when it could not.
    bool FillTarget();
};
