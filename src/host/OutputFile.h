// A file that readers see either whole or not at all: written under a private temporary name beside its
// target and renamed onto it. A reader (the file manager, the thumbnail cache) never finds half a PNG.
// An empty target is the caller's own placeholder (a file manager makes one and may read the picture through
// the descriptor it keeps open, as tumbler does): the finished picture is copied into that same file.
// Only regular files are ever written: a target that is a symbolic link, a device, a FIFO, a socket or a
// folder is refused, so that a name planted in a shared folder cannot redirect or swallow the picture.
// Every `error` below is one line ready to print, with the target's name escaped (Escape.h).
#pragma once

#include "windef.h"

#include <sys/types.h>

#include <string>

// Removes every temporary file still being written when the process is told to stop (SIGTERM, SIGINT,
// SIGHUP), then stops as the signal asks. Child processes reset these signals (Isolated.cpp).
void RemoveOutputFilesOnSignals();
// A function that those signals run first (it must be async-signal-safe): Isolated.cpp stops its children
// and removes their folders with it.
void SetStopSignalHook(void (*hook)());
// What runs last on a stop signal, after the files are gone and before the process stops: a command's word
// of what it did (with system calls alone, as a signal handler may).
void SetStopSummaryHook(void (*hook)());

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file. mode < 0: the target's own mode when it exists, else 0666 less the umask.
    // The target "-" is standard output (never a terminal), which gets the picture once it is checked; until
    // then it is written to an unnamed file in memory. Where the target's folder cannot take a new file, an
    // existing regular target is written in place and emptied again on Discard.
    bool Open(const std::string& target, int mode, std::string& error);
    // After a failed Open: the target is of a kind that is never written (not a passing failure).
    bool refused() const { return m_refused; }
    int fd() const { return m_fd; }
    const std::string& target() const { return m_target; }
    // Whether what was written is a PNG of 8-bit RGB or RGBA pixels within the asked size (cx x cy), from
    // its header: the parent checks what a child wrote before it commits it. False with the reason in error.
    bool HoldsPicture(SIZE asked, std::string& error) const;
    // Puts the written file in place of the target, with the mode Open chose, whatever a writer did to the
    // descriptor.
    bool Commit(std::string& error);
    // Removes what was written; the target keeps its old content (or is left empty, when written in place).
    void Discard();

private:
    enum class Way { Temporary, InPlace, StandardOutput };

    std::string m_target;
    std::string m_temp; // the temporary file, when Way::Temporary
    int m_fd = -1;
    int m_slot = -1; // in the table of names that a stop signal removes
    bool m_open = false;
    bool m_refused = false;
    Way m_way = Way::Temporary;
    mode_t m_mode = 0644;
    bool m_fillInPlace = false; // the target was an empty file: fill it instead of replacing it
    dev_t m_dev = 0;            // the target as Open found it, so that a swapped file is not written
    ino_t m_ino = 0;

    bool OpenStandardOutput(std::string& error);
    bool OpenInPlace(int cannotCreate, std::string& error);
    bool Refuse(const std::string& why, std::string& error);
    // Copies the finished temporary file into the target; false when it could not.
    bool FillTarget();
    // Copies what m_fd holds to the descriptor to.
    bool CopyTo(int to);
};
