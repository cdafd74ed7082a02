#include "platform/tarnel/regstore.h"
#include "statreg.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>

namespace tarnel::reg {

namespace {

// A hive larger than this is not one of ours: it is refused rather than read into memory.
constexpr off_t kMaxHiveSize = 64 << 20;

std::atomic<bool> g_perUserRegistration{true};

#ifdef TARNEL_TEST_HOOKS
std::atomic<int> g_killAtStep{0};
std::atomic<int> g_stepsTaken{0};
std::mutex g_denyLock;
std::vector<std::wstring> g_denyPath; // root name first
#endif

// A step of replacing a hive file: where the tests' writer may be killed.
void Step() {
#ifdef TARNEL_TEST_HOOKS
    const int n = g_killAtStep.load();
    if (n > 0 && g_stepsTaken.fetch_add(1) + 1 == n)
        ::kill(::getpid(), SIGKILL);
#endif
}

LONG ErrorFromErrno(int error, LONG otherwise) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

// Makes the folder that will hold `file`, with its parents; the error of the last folder that could not be
// made (0: none).
int MakeFolderOf(const std::string& file, mode_t mode) {
    int error = 0;
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
        if (::mkdir(file.substr(0, slash).c_str(), mode) != 0 && errno != EEXIST)
            error = errno;
    return error;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

RegKeyNode* Navigate(RegKeyNode& top, const RegKeyPath& path, size_t count) {
    RegKeyNode* node = top.Find(RootName(path.root));
    for (size_t i = 0; node != nullptr && i < count; ++i)
        node = node->Find(path.parts[i]);
    return node;
}

bool IsDenied([[maybe_unused]] const RegKeyPath& path) {
#ifndef TARNEL_TEST_HOOKS
    return false;
#else
    std::lock_guard<std::mutex> guard(g_denyLock);
    if (g_denyPath.empty() || g_denyPath.size() > path.parts.size() + 1 ||
        !NamesEqual(g_denyPath[0], RootName(path.root)))
        return false;
    for (size_t i = 1; i < g_denyPath.size(); ++i)
        if (!NamesEqual(g_denyPath[i], path.parts[i - 1]))
            return false;
    return true;
#endif
}

} // namespace

struct RegistrySession::Hive {
    std::string file;
    RegistryHive tree;
    int lockFd = -1;
    LONG loadError = ERROR_SUCCESS;
    LONG writeError = ERROR_ACCESS_DENIED; // ERROR_SUCCESS once the lock is held and the file may be written
    mode_t mode = 0644;
    bool dirty = false;
};

const wchar_t* RootName(RegRoot root) {
    return root == RegRoot::CurrentUser ? L"HKEY_CURRENT_USER" : L"HKEY_LOCAL_MACHINE";
}

std::string HiveFile(RegRoot root) {
    if (const char* one = std::getenv("TARNEL_REGISTRY"); one != nullptr && one[0] != '\0')
        return one;
    if (root == RegRoot::LocalMachine)
        return "/var/lib/tarnel/registry.reg";
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            struct passwd pw, *found = nullptr;
            char buffer[4096];
            if (::getpwuid_r(::getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
                home = found->pw_dir;
        }
        if (home == nullptr || home[0] == '\0')
            return std::string();
        base = std::string(home) + "/.local/share";
    }
    return base + "/tarnel/registry.reg";
}

RegKeyPath ClassesWritePath() {
    return {g_perUserRegistration.load() ? RegRoot::CurrentUser : RegRoot::LocalMachine,
            {L"Software", L"Classes"}};
}

RegistrySession::RegistrySession(std::optional<RegRoot> writeRoot) : m_writeRoot(writeRoot) {}

RegistrySession::~RegistrySession() {
    for (Hive* h : m_hives) {
        if (h->lockFd >= 0)
            ::close(h->lockFd);
        delete h;
    }
}

LONG RegistrySession::Open(RegRoot root, Hive*& hive) {
    const std::string file = HiveFile(root);
    for (Hive* h : m_hives) {
        if (h->file == file) {
            hive = h;
            return h->loadError;
        }
    }
    auto owned = std::make_unique<Hive>();
    Hive* h = owned.get();
    h->file = file;
    m_hives.push_back(owned.release());
    hive = h;
    if (file.empty()) {
        h->loadError = h->writeError = ERROR_PATH_NOT_FOUND;
        return h->loadError;
    }

    const bool write = m_writeRoot && HiveFile(*m_writeRoot) == file;
    if (write) {
        const int folderError = MakeFolderOf(file, root == RegRoot::LocalMachine ? 0755 : 0700);
        const std::string lockFile = file + ".lock";
        h->lockFd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (h->lockFd < 0) {
            // A folder that may not be made is a hive that may not be written.
            const int error = errno == ENOENT && folderError != 0 ? folderError : errno;
            h->writeError = ErrorFromErrno(error, ERROR_WRITE_FAULT);
        } else {
            int r;
            while ((r = ::flock(h->lockFd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            h->writeError = r == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
        }
    }

    // Non-blocking: a FIFO planted at the hive's name is refused below instead of waiting for a writer.
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            h->loadError = ErrorFromErrno(errno, ERROR_READ_FAULT);
    } else {
        struct stat st;
        std::string text;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            h->loadError = ERROR_READ_FAULT;
        } else if (st.st_size > kMaxHiveSize) {
            h->loadError = ERROR_BADDB;
        } else {
            h->mode = st.st_mode & 07777;
            // A hive without any write permission is read-only to everyone, root included, like a file with
            // the read-only attribute.
            if ((st.st_mode & 0222) == 0 && h->writeError == ERROR_SUCCESS)
                h->writeError = ERROR_ACCESS_DENIED;
            text.resize(size_t(st.st_size));
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = ::read(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += size_t(n);
            }
            text.resize(done);
            if (!h->tree.Parse(text))
                h->loadError = ERROR_BADDB;
        }
        ::close(fd);
    }
    if (h->writeError == ERROR_SUCCESS)
        Step();
    return h->loadError;
}

LONG RegistrySession::Find(const RegKeyPath& path, const RegKeyNode*& node) {
    RegKeyNode* found = nullptr;
    Hive* hive = nullptr;
    LONG r = Modify(path, found, hive);
    node = found;
    return r;
}

// The key to change, or null when it does not exist; fails when the hive cannot be read, and with `missing`
// when the key does not exist and the caller needs it to.
LONG RegistrySession::Modify(const RegKeyPath& path, RegKeyNode*& node, Hive*& hive, LONG missing) {
    node = nullptr;
    LONG r = Open(path.root, hive);
    if (r != ERROR_SUCCESS)
        return r;
    node = Navigate(hive->tree.top, path, path.parts.size());
    return node == nullptr ? missing : ERROR_SUCCESS;
}

// Whether this session may change that key: its hive is the one it writes, the lock is held, the file may be
// written and the key is not one that the test seam protects.
LONG RegistrySession::CheckWritable(const Hive* hive, const RegKeyPath& path) const {
    if (!m_writeRoot || HiveFile(*m_writeRoot) != hive->file)
        return ERROR_ACCESS_DENIED;
    if (hive->writeError != ERROR_SUCCESS)
        return hive->writeError;
    return IsDenied(path) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LONG RegistrySession::Create(const RegKeyPath& path, bool* created) {
    if (created != nullptr)
        *created = false;
    if (path.parts.size() > kRegMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    for (const std::wstring& part : path.parts)
        if (!IsValidKeyName(part))
            return ERROR_INVALID_PARAMETER;
    RegKeyNode* node = nullptr;
    Hive* hive = nullptr;
    LONG r = Modify(path, node, hive);
    if (r != ERROR_SUCCESS || node != nullptr)
        return r;
    if (LONG w = CheckWritable(hive, path); w != ERROR_SUCCESS)
        return w;
    RegKeyNode* at = &hive->tree.top.Child(RootName(path.root));
    for (const std::wstring& part : path.parts)
        at = &at->Child(part);
    hive->dirty = true;
    if (created != nullptr)
        *created = true;
    return ERROR_SUCCESS;
}

LONG RegistrySession::SetValue(const RegKeyPath& path, RegValue value) {
    if (!IsValidValueName(value.name) || !IsStorableData(value.type, value.data.data(), value.data.size()))
        return ERROR_INVALID_PARAMETER;
    RegKeyNode* node = nullptr;
    Hive* hive = nullptr;
    if (LONG r = Modify(path, node, hive, ERROR_KEY_DELETED); r != ERROR_SUCCESS)
        return r;
    if (LONG w = CheckWritable(hive, path); w != ERROR_SUCCESS)
        return w;
    const RegValue* old = node->FindValue(value.name);
    if (old != nullptr && old->type == value.type && old->data == value.data)
        return ERROR_SUCCESS;
    node->SetValue(std::move(value));
    hive->dirty = true;
    return ERROR_SUCCESS;
}

LONG RegistrySession::DeleteValue(const RegKeyPath& path, std::wstring_view name) {
    RegKeyNode* node = nullptr;
    Hive* hive = nullptr;
    if (LONG r = Modify(path, node, hive, ERROR_KEY_DELETED); r != ERROR_SUCCESS)
        return r;
    if (node->FindValue(name) == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (LONG w = CheckWritable(hive, path); w != ERROR_SUCCESS)
        return w;
    node->DeleteValue(name);
    hive->dirty = true;
    return ERROR_SUCCESS;
}

LONG RegistrySession::DeleteKey(const RegKeyPath& path) {
    if (path.parts.empty())
        return ERROR_ACCESS_DENIED;
    RegKeyNode* node = nullptr;
    Hive* hive = nullptr;
    if (LONG r = Modify(path, node, hive, ERROR_FILE_NOT_FOUND); r != ERROR_SUCCESS)
        return r;
    if (!node->subkeys.empty())
        return ERROR_ACCESS_DENIED;
    if (LONG w = CheckWritable(hive, path); w != ERROR_SUCCESS)
        return w;
    Navigate(hive->tree.top, path, path.parts.size() - 1)->subkeys.erase(path.parts.back());
    hive->dirty = true;
    return ERROR_SUCCESS;
}

LONG RegistrySession::DeleteTree(const RegKeyPath& path, bool keepKey) {
    if (path.parts.empty() && !keepKey)
        return ERROR_ACCESS_DENIED;
    RegKeyNode* node = nullptr;
    Hive* hive = nullptr;
    if (LONG r = Modify(path, node, hive, ERROR_FILE_NOT_FOUND); r != ERROR_SUCCESS)
        return r;
    if (keepKey && node->values.empty() && node->subkeys.empty())
        return ERROR_SUCCESS;
    if (LONG w = CheckWritable(hive, path); w != ERROR_SUCCESS)
        return w;
    if (keepKey) {
        node->values.clear();
        node->subkeys.clear();
    } else {
        Navigate(hive->tree.top, path, path.parts.size() - 1)->subkeys.erase(path.parts.back());
    }
    hive->dirty = true;
    return ERROR_SUCCESS;
}

LONG RegistrySession::Commit() {
    for (Hive* h : m_hives) {
        if (!h->dirty)
            continue;
        const std::string text = h->tree.Format();
        const std::string fresh = h->file + ".new";
        ::unlink(fresh.c_str()); // left by a writer that died; only lock holders write it
        int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, h->mode);
        if (fd < 0)
            return ErrorFromErrno(errno, ERROR_WRITE_FAULT);
        // Each step is followed by a test-seam point, so that a writer killed anywhere can be checked.
        const size_t half = text.size() / 2;
        int failure = 0;
        if (::fchmod(fd, h->mode) != 0 || !WriteAll(fd, text.data(), half))
            failure = errno;
        if (failure == 0) {
            Step();
            if (!WriteAll(fd, text.data() + half, text.size() - half))
                failure = errno;
        }
        if (failure == 0) {
            Step();
            if (::fsync(fd) != 0)
                failure = errno;
        }
        ::close(fd);
        if (failure == 0) {
            Step();
            if (::rename(fresh.c_str(), h->file.c_str()) != 0)
                failure = errno;
        }
        if (failure != 0) {
            ::unlink(fresh.c_str());
            return ErrorFromErrno(failure, ERROR_WRITE_FAULT);
        }
        Step();
        h->dirty = false;
    }
    return ERROR_SUCCESS;
}

#ifdef TARNEL_TEST_HOOKS
namespace testing {

void KillWriterAtStep(int n) {
    g_stepsTaken = 0;
    g_killAtStep = n;
}

void DenyWritesBelow(LPCWSTR keyPath) {
    std::vector<std::wstring> parts;
    if (keyPath != nullptr) {
        std::wstring_view rest(keyPath);
        for (;;) {
            size_t slash = rest.find(L'\\');
            parts.emplace_back(rest.substr(0, slash));
            if (slash == std::wstring_view::npos)
                break;
            rest.remove_prefix(slash + 1);
        }
    }
    std::lock_guard<std::mutex> guard(g_denyLock);
    g_denyPath = std::move(parts);
}

} // namespace testing
#endif

} // namespace tarnel::reg

HRESULT AtlSetPerUserRegistration(bool bEnable) {
    tarnel::reg::g_perUserRegistration = bEnable;
    return S_OK;
}

HRESULT AtlGetPerUserRegistration(bool* pbEnabled) {
    if (pbEnabled == nullptr)
        return E_POINTER;
    *pbEnabled = tarnel::reg::g_perUserRegistration.load();
    return S_OK;
}
