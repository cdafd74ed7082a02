#include "host/Install.h"

#include "host/DolphinSettings.h"
#include "host/Escape.h"
#include "host/Formats.h"
#include "host/Host.h"
#include "host/ModuleLoader.h"
#include "host/Settings.h"

#include "platform/tarnel/desktop.h"
#include "platform/tarnel/widestr.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

using tarnel::plat::NarrowFileName;

namespace fs = std::filesystem;

namespace {

struct Target {
    fs::path share; // .../share
    bool system = false;
    std::string module;
    bool purge = false;
};

// The first line of every entry tarnel writes: uninstall removes only files that begin with it.
const char kEntryMark[] = "# tarnel's thumbnailer entry";

// Where install and uninstall write and remove: the user's data folder, or the prefix's for --system. -1
// when the command goes on; else its exit status, after the message.
int ReadTarget(int argc, char** argv, Target& target) {
    InstallRequest request;
    if (const int status = ReadArguments(ParseInstallArguments, argc, argv, request); status >= 0)
        return status;
    target.system = request.system;
    target.purge = request.purge;
    target.module = request.module != nullptr ? request.module : DefaultModulePath();
    if (request.system) {
        target.share = fs::absolute(fs::path(request.prefix)) / "share";
        return -1;
    }
    const char* data = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (data != nullptr && data[0] == '/')
        target.share = data;
    else if (home != nullptr && home[0] == '/')
        target.share = fs::path(home) / ".local/share";
    else {
        std::fprintf(stderr, "%s: neither XDG_DATA_HOME nor HOME names a folder\n",
                     request.line.name.c_str());
        return kExitUsage;
    }
    return -1;
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
        error = "cannot write " + Printable(path.string()) + ": " + std::strerror(errno);
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
        error = "cannot write " + Printable(path.string()) + ": " + std::strerror(errno);
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
                     Printable(mime.string()).c_str());
    else if (WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "tarnel: update-mime-database %s failed\n", Printable(mime.string()).c_str());
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

std::string ThumbnailerEntry(const std::string& command, const std::string& module, REFCLSID clsid,
                             const std::vector<std::string>& mimeTypes) {
    for (const std::string& path : {command, module})
        if (path.empty() || path.find_first_of("\n\r") != std::string::npos)
            return {};
    std::string types;
    for (const std::string& type : mimeTypes)
        types += EntryValue(type) + ";";
    std::string entry = kThumbnailerTemplate;
    auto put = [&](const std::string& mark, const std::string& value) {
        size_t at = entry.find(mark);
        if (at != std::string::npos)
            entry.replace(at, mark.size(), value);
    };
    put("@TARNEL@", EntryValue(command));   // TryExec
    put("@TARNEL@", ExecArgument(command)); // Exec
    put("@MODULE@", ExecArgument(module));
    put("@CLSID@", GuidText(clsid));
    put("@MIMETYPES@", types);
    return entry;
}

std::string MimeTypeOfExtension(const std::string& extension) {
    // Ours first: the database may not have been updated yet.
    for (const SuiteFormat& format : kSuiteFormats)
        if (extension == format.extension)
            return format.mimeType;
    bool uncertain = true;
    const std::string result = tarnel::plat::GuessContentTypeOfName("file" + extension, uncertain);
    if (uncertain || result == "text/plain" || result == "application/octet-stream")
        return {};
    return result;
}

namespace {

// The entries for the registered handlers: one for each module and class, named tarnel.thumbnailer for
// tarnel's own module and tarnel-NAME.thumbnailer for the others. False with a message.
bool MakeEntries(const Target& target, const std::string& command,
                 std::map<std::string, std::string>& entries, std::string& error) {
    const std::vector<ThumbnailHandler> handlers = RegisteredThumbnailHandlers(target.system, error);
    if (!error.empty())
        return false;
    struct Group {
        std::string module;
        CLSID clsid;
        std::set<std::string> types;
    };
    std::vector<Group> groups;
    for (const ThumbnailHandler& h : handlers) {
        const std::string ext = NarrowFileName(h.extension);
        std::string lower = ext;
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        if (FindSuiteFormat("file" + lower) != nullptr && !tarnel::settings::Serves(lower)) {
            std::printf("left %s to other thumbnailers (Formats in %s)\n", Printable(ext).c_str(),
                        Printable(tarnel::settings::Current().formats->origin).c_str());
            continue;
        }
        const std::string type = MimeTypeOfExtension(lower);
        if (type.empty()) {
            std::fprintf(stderr,
                         "tarnel install: no MIME type is known for %s; file managers will not ask for it\n",
                         Printable(ext).c_str());
            continue;
        }
        auto g = std::find_if(groups.begin(), groups.end(), [&](const Group& x) {
            return x.module == h.module && IsEqualGUID(x.clsid, h.clsid);
        });
        if (g == groups.end())
            g = groups.insert(groups.end(), Group{h.module, h.clsid, {}});
        g->types.insert(type);
    }
    for (const Group& g : groups) {
        std::string stem = fs::path(g.module).stem().string();
        if (stem.rfind("lib", 0) == 0)
            stem.erase(0, 3);
        for (char& c : stem)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
                c = '_';
        std::string name = stem == "tarnel" ? "tarnel" : "tarnel-" + stem;
        for (int n = 2; entries.count(name + ".thumbnailer") != 0; ++n)
            name = (stem == "tarnel" ? "tarnel" : "tarnel-" + stem) + "-" + std::to_string(n);
        const std::string entry = ThumbnailerEntry(command, g.module, g.clsid,
                                                   std::vector<std::string>(g.types.begin(), g.types.end()));
        if (entry.empty()) {
            error = "the module " + Printable(g.module) + " cannot be named in a thumbnailer entry";
            return false;
        }
        entries[name + ".thumbnailer"] = entry;
    }
    return true;
}

// The entries tarnel wrote into the folder earlier.
std::vector<fs::path> OurEntries(const fs::path& folder) {
    std::vector<fs::path> ours;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("tarnel", 0) != 0 || e.path().extension() != ".thumbnailer" || !e.is_regular_file(ec))
            continue;
        std::ifstream in(e.path());
        std::string first;
        std::getline(in, first);
        if (first.rfind(kEntryMark, 0) == 0)
            ours.push_back(e.path());
    }
    return ours;
}

// Dolphin asks only the plugins of a saved list: tarnel's goes into the user's, or out of it. A file that
// cannot be changed costs the user a tick in Dolphin's settings, not the installation.
void TellDolphin(bool enable) {
    const std::string path = DolphinSettingsPath();
    if (path.empty())
        return;
    std::string error;
    const std::string done = ChangeDolphinSettings(path, enable, error);
    if (!error.empty())
        std::fprintf(stderr, "tarnel %s: note: %s\n", enable ? "install" : "uninstall", error.c_str());
    else if (!done.empty())
        std::printf("%s\n", done.c_str());
}

} // namespace

int RunInstall(int argc, char** argv) {
    Target target;
    if (const int status = ReadTarget(argc, argv, target); status >= 0)
        return status;
    const std::string self = SelfPath();
    if (self.empty() || self.find_first_of("\n\r") != std::string::npos) {
        std::fprintf(stderr,
                     "tarnel install: the command's own path cannot be named in a thumbnailer entry\n");
        return 1;
    }
    if (RegisterModule(target.module, target.system, false, "install") != 0)
        return 1;
    std::map<std::string, std::string> entries;
    std::string error;
    if (!MakeEntries(target, self, entries, error)) {
        std::fprintf(stderr, "tarnel install: %s\n", error.c_str());
        return 1;
    }
    const fs::path mimeFile = target.share / "mime/packages" / kMimeFileName;
    const fs::path folder = target.share / "thumbnailers";
    if (!WriteWhole(mimeFile, kMimeXml, error)) {
        std::fprintf(stderr, "tarnel install: %s\n", error.c_str());
        return 1;
    }
    std::printf("installed %s\n", Printable(mimeFile.string()).c_str());
    for (const auto& [name, entry] : entries) {
        if (!WriteWhole(folder / name, entry, error)) {
            std::fprintf(stderr, "tarnel install: %s\n", error.c_str());
            return 1;
        }
        std::printf("installed %s\n", Printable((folder / name).string()).c_str());
    }
    // Entries for modules that are no longer registered would route files to nobody.
    for (const fs::path& old : OurEntries(folder)) {
        std::error_code ec;
        if (entries.count(old.filename().string()) == 0 && fs::remove(old, ec))
            std::printf("removed %s\n", Printable(old.string()).c_str());
    }
    UpdateMimeDatabase(target.share / "mime");
    if (!target.system)
        TellDolphin(true);
    if (self.rfind("/usr/", 0) != 0)
        std::fprintf(
            stderr,
            "tarnel install: note: %s is outside /usr, which GNOME's thumbnailer sandbox cannot see; "
            "other file managers will use it\n",
            Printable(self).c_str());
    return 0;
}

int RunUninstall(int argc, char** argv) {
    Target target;
    if (const int status = ReadTarget(argc, argv, target); status >= 0)
        return status;
    int status = 0;
    std::vector<fs::path> files = OurEntries(target.share / "thumbnailers");
    files.push_back(target.share / "mime/packages" / kMimeFileName);
    for (const fs::path& file : files) {
        std::error_code ec;
        if (fs::remove(file, ec))
            std::printf("removed %s\n", Printable(file.string()).c_str());
        else if (ec) {
            std::fprintf(stderr, "tarnel uninstall: cannot remove %s: %s\n", Printable(file.string()).c_str(),
                         ec.message().c_str());
            status = 1;
        }
    }
    if (fs::is_directory(target.share / "mime"))
        UpdateMimeDatabase(target.share / "mime");
    if (!target.system)
        TellDolphin(false);
    if (RegisterModule(target.module, target.system, true, "uninstall") != 0)
        status = 1;
    if (target.purge) {
        size_t removed = 0;
        if (!PurgeCache(removed))
            status = 1;
        std::printf("removed %zu files of tarnel's from the thumbnail cache\n", removed);
    }
    return status;
}
