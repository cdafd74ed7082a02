#include "host/Install.h"

#include "host/Host.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

const char kInstallUsage[] =
    "usage: tarnel install [--user | --system] [--prefix DIR]\n"
    "       tarnel uninstall [--user | --system] [--prefix DIR]\n"
    "\n"
    "Writes (or removes) the thumbnailer entry and the MIME definitions of the suite's files, then updates\n"
    "the MIME database.\n"
    "\n"
    "  --user         for this user: $XDG_DATA_HOME (default ~/.local/share) (the default)\n"
    "  --system       for everybody: DIR/share, DIR being /usr/local unless --prefix says otherwise\n"
    "  --prefix DIR   the system-wide prefix (implies --system)\n"
    "\n"
    "GNOME runs thumbnailers in a sandbox that sees only /usr: for GNOME Files, install the command under\n"
    "/usr (cmake --install with a prefix in /usr) and run 'tarnel install --system' from there.\n";

struct Target {
    fs::path share; // .../share
    bool system = false;
};

// Parses the options shared by install and uninstall; false after a usage message.
bool ParseTarget(int argc, char** argv, const char* command, Target& target, bool& help) {
    bool system = false, user = false;
    std::string prefix = "/usr/local";
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            help = true;
            return true;
        } else if (std::strcmp(a, "--user") == 0) {
            user = true;
        } else if (std::strcmp(a, "--system") == 0) {
            system = true;
        } else if (std::strcmp(a, "--prefix") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            prefix = argv[++i];
            system = true;
        } else {
            std::fprintf(stderr, "tarnel %s: unexpected argument '%s'\n%s", command, a, kInstallUsage);
            return false;
        }
    }
    if (user && system) {
        std::fprintf(stderr, "tarnel %s: --user and --system exclude each other\n%s", command, kInstallUsage);
        return false;
    }
    target.system = system;
    if (system) {
        target.share = fs::absolute(fs::path(prefix)) / "share";
    } else {
        const char* data = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        if (data != nullptr && data[0] == '/')
            target.share = data;
        else if (home != nullptr && home[0] == '/')
            target.share = fs::path(home) / ".local/share";
        else {
            std::fprintf(stderr, "tarnel %s: neither XDG_DATA_HOME nor HOME names a folder\n", command);
            return false;
        }
    }
    return true;
}

// The command's own path, as the entry's Exec line must name it.
std::string SelfPath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

// Writes content to path whole (temporary name, then rename), mode 0644.
bool WriteWhole(const fs::path& path, const std::string& content, std::string& error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, 0644);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    const bool ok = done == content.size() && ::close(fd) == 0;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

// Runs update-mime-database on the folder; a missing tool is reported, not fatal.
void UpdateMimeDatabase(const fs::path& mime) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("update-mime-database", "update-mime-database", mime.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 127)
        std::fprintf(stderr,
                     "tarnel: update-mime-database could not be run (package shared-mime-info); run "
                     "'update-mime-database %s' to finish\n",
                     mime.c_str());
    else if (WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "tarnel: update-mime-database %s failed\n", mime.c_str());
}

// Desktop entry values escape the backslash; Exec arguments with reserved characters are double-quoted.
std::string EntryValue(const std::string& s) {
    std::string out;
    for (char c : s)
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

std::string ExecArgument(const std::string& s) {
    if (s.find_first_of(" \t\"'\\><~|&;$*?#()`=%") == std::string::npos)
        return s;
    std::string quoted = "\"";
    for (char c : s) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    return EntryValue(quoted + "\"");
}

} // namespace

std::string ThumbnailerEntry(const std::string& command) {
    if (command.empty() || command.find_first_of("\n\r") != std::string::npos)
        return {};
    std::string entry = kThumbnailerTemplate;
    const std::string exec = ExecArgument(command), tryExec = EntryValue(command);
    const std::string mark = "@TARNEL@";
    size_t at = entry.find(mark);
    if (at != std::string::npos)
        entry.replace(at, mark.size(), tryExec); // TryExec
    at = entry.find(mark);
    if (at != std::string::npos)
        entry.replace(at, mark.size(), exec); // Exec
    return entry;
}

int RunInstall(int argc, char** argv) {
    Target target;
    bool help = false;
    if (!ParseTarget(argc, argv, "install", target, help))
        return kExitUsage;
    if (help) {
        std::fputs(kInstallUsage, stdout);
        return 0;
    }
    const std::string self = SelfPath();
    const std::string entry = ThumbnailerEntry(self);
    if (entry.empty()) {
        std::fprintf(stderr,
                     "tarnel install: the command's own path cannot be named in a thumbnailer entry\n");
        return 1;
    }
    const fs::path mimeFile = target.share / "mime/packages" / kMimeFileName;
    const fs::path entryFile = target.share / "thumbnailers" / kThumbnailerFileName;
    std::string error;
    if (!WriteWhole(mimeFile, kMimeXml, error) || !WriteWhole(entryFile, entry, error)) {
        std::fprintf(stderr, "tarnel install: %s\n", error.c_str());
        return 1;
    }
    std::printf("installed %s\ninstalled %s\n", mimeFile.c_str(), entryFile.c_str());
    UpdateMimeDatabase(target.share / "mime");
    if (self.rfind("/usr/", 0) != 0)
        std::fprintf(
            stderr,
            "tarnel install: note: %s is outside /usr, which GNOME's thumbnailer sandbox cannot see; "
            "other file managers will use it\n",
            self.c_str());
    return 0;
}

int RunUninstall(int argc, char** argv) {
    Target target;
    bool help = false;
    if (!ParseTarget(argc, argv, "uninstall", target, help))
        return kExitUsage;
    if (help) {
        std::fputs(kInstallUsage, stdout);
        return 0;
    }
    int status = 0;
    for (const fs::path& file : {target.share / "mime/packages" / kMimeFileName,
                                 target.share / "thumbnailers" / kThumbnailerFileName}) {
        std::error_code ec;
        if (fs::remove(file, ec))
            std::printf("removed %s\n", file.c_str());
        else if (ec) {
            std::fprintf(stderr, "tarnel uninstall: cannot remove %s: %s\n", file.c_str(),
                         ec.message().c_str());
            status = 1;
        }
    }
    if (fs::is_directory(target.share / "mime"))
        UpdateMimeDatabase(target.share / "mime");
    return status;
}
