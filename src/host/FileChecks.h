// What the host can tell about a file without reading it: the first words of every "no picture" reason.
#pragma once

#include <sys/stat.h>

#include <string>

// Why the file at path cannot be read, in the user's words ("not found", "permission denied", "not a regular
// file"), or "" when it can be opened for reading. Never blocks: a FIFO is told apart before it is opened.
std::string ReadProblem(const char* path);

// Who may change a file, as far as this process can tell from its owner.
enum class Ownership {
    RootOrMe,       // root or this user
    AnotherUser,    // a user this namespace shows: not to be trusted
    HiddenReadOnly, // an owner outside this user namespace (shown as the overflow user), on a read-only mount
    HiddenWritable, // the same on a mount that may be written
};
Ownership OwnerOf(const char* path, const struct stat& st);

// Whether the host may trust the file at path (a module it would load, a registry it would read): it and
// every folder above it can be changed only by root or this user. Each must be owned by one of them and
// writable by nobody else; a root-owned folder with the sticky bit (/tmp) counts as safe for what lies below
// it, since there nobody can replace what is not theirs. In a user namespace (GNOME's bubblewrap sandbox),
// files whose owner the namespace does not map show as the overflow user: they count as root's when they lie
// on a read-only mount, which nobody inside can change. Links are followed and their targets judged. False
// with the reason in why. (Windows' rules differ; this is the host's own policy for loading.)
bool IsTrustworthy(const std::string& path, std::string& why);

// Opens the module at path to be loaded, when it is trustworthy (IsTrustworthy): the descriptor of the very
// file that was judged, found by its real path, so that no link or rename between the check and the load
// can put another file in its place. -1 with the reason in why: "cannot load PATH: ..." for a file that
// cannot be opened, else the judgement's reason.
int OpenTrustedModule(const std::string& path, std::string& realPath, std::string& why);
