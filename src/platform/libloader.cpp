#include "libloaderapi.h"
#include "platform/tarnel/filename.h"
#include "platform/tarnel/widestr.h"
#include "stringapiset.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

using namespace tarnel::plat;

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

constexpr char kSectionName[] = ".tarnel.rsrc";
// A resource section larger than this is taken for a damaged file rather than read into memory.
constexpr uint64_t kMaxSectionSize = 64u << 20;

struct Resource {
    std::string type;
    DWORD id;
    WORD language;
    size_t offset;
    DWORD size;
};

struct DataFileModule {
    std::vector<BYTE> section;
    std::vector<Resource> resources;
};

// Data-file handles that are open, so that a stale or foreign handle is refused rather than followed.
std::mutex g_dataFilesLock;
std::set<const DataFileModule*> g_dataFiles;

DataFileModule* DataFileFromHandle(HMODULE h) {
    auto bits = reinterpret_cast<uintptr_t>(h);
    if ((bits & 1) == 0)
        return nullptr;
    auto* m = reinterpret_cast<DataFileModule*>(bits & ~uintptr_t(1));
    std::lock_guard<std::mutex> guard(g_dataFilesLock);
    return g_dataFiles.count(m) != 0 ? m : nullptr;
}

bool ReadAt(int fd, uint64_t offset, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, static_cast<char*>(buffer) + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool InFile(uint64_t offset, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// The bytes of the file's resource section (none when it has no such section). False when the file is no
// 64-bit little-endian ELF file or its headers do not fit in it.
bool ReadResourceSection(int fd, std::vector<BYTE>& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    const uint64_t fileSize = uint64_t(st.st_size);
    Elf64_Ehdr eh;
    if (fileSize < sizeof eh || !ReadAt(fd, 0, &eh, sizeof eh))
        return false;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return false;
    if (eh.e_shoff == 0 || eh.e_shnum == 0)
        return true;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum ||
        !InFile(eh.e_shoff, uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr), fileSize))
        return false;
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!ReadAt(fd, eh.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
        return false;
    const Elf64_Shdr& strtab = sections[eh.e_shstrndx];
    if (strtab.sh_type == SHT_NOBITS || strtab.sh_size > kMaxSectionSize ||
        !InFile(strtab.sh_offset, strtab.sh_size, fileSize))
        return false;
    std::vector<char> names(strtab.sh_size);
    if (!ReadAt(fd, strtab.sh_offset, names.data(), names.size()))
        return false;
    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= names.size())
            continue;
        const char* name = names.data() + s.sh_name;
        if (::strnlen(name, names.size() - s.sh_name) != sizeof kSectionName - 1 ||
            std::memcmp(name, kSectionName, sizeof kSectionName - 1) != 0)
            continue;
        if (s.sh_type == SHT_NOBITS || s.sh_size > kMaxSectionSize ||
            !InFile(s.sh_offset, s.sh_size, fileSize))
            return false;
        out.resize(s.sh_size);
        return ReadAt(fd, s.sh_offset, out.data(), out.size());
    }
    return true;
}

uint32_t Le16(const BYTE* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t Le32(const BYTE* p) {
    return Le16(p) | Le16(p + 2) << 16;
}
size_t Align8(size_t n) {
    return (n + 7) & ~size_t(7);
}

// Lists the entries of the section; a damaged entry ends the list.
void IndexResources(DataFileModule& m) {
    const std::vector<BYTE>& s = m.section;
    size_t pos = 0;
    while (s.size() - pos >= 16) {
        const BYTE* p = s.data() + pos;
        if (std::memcmp(p, "TRES", 4) != 0)
            break;
        const size_t typeEnd = pos + 16 + Le16(p + 10);
        if (typeEnd > s.size())
            break;
        const size_t dataStart = Align8(typeEnd);
        const DWORD size = Le32(p + 12);
        if (dataStart > s.size() || size > s.size() - dataStart)
            break;
        m.resources.push_back({std::string(reinterpret_cast<const char*>(p) + 16, typeEnd - pos - 16),
                               Le32(p + 4), WORD(Le16(p + 8)), dataStart, size});
        pos = Align8(dataStart + size);
        if (pos > s.size())
            break;
    }
}

bool ResourceId(LPCWSTR name, DWORD& id) {
    if (IS_INTRESOURCE(name)) {
        id = DWORD(reinterpret_cast<ULONG_PTR>(name));
        return true;
    }
    if (name[0] != L'#' || name[1] == L'\0')
        return false;
    uint64_t v = 0;
    for (LPCWSTR c = name + 1; *c != L'\0'; ++c) {
        if (*c < L'0' || *c > L'9' || (v = v * 10 + uint64_t(*c - L'0')) > 0xFFFF)
            return false;
    }
    id = DWORD(v);
    return true;
}

bool TypeMatches(const std::string& type, LPCWSTR want) {
    if (IS_INTRESOURCE(want))
        return type == "#" + std::to_string(reinterpret_cast<ULONG_PTR>(want));
    size_t i = 0;
    for (; want[i] != L'\0'; ++i) {
        if (i >= type.size() || want[i] > 0x7F)
            return false;
        auto a = static_cast<unsigned char>(type[i]);
        auto b = static_cast<unsigned char>(want[i]);
        if (std::toupper(a) != std::toupper(b))
            return false;
    }
    return i == type.size();
}

HRSRC Find(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType, const WORD* language) {
    DataFileModule* m = DataFileFromHandle(hModule);
    DWORD id = 0;
    if (m == nullptr || lpType == nullptr || (!IS_INTRESOURCE(lpName) && lpName == nullptr)) {
        SetLastError(m == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!ResourceId(lpName, id)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    bool typeSeen = false;
    for (Resource& r : m->resources) {
        if (!TypeMatches(r.type, lpType))
            continue;
        typeSeen = true;
        if (r.id == id && (language == nullptr || r.language == *language))
            return reinterpret_cast<HRSRC>(&r);
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

const Resource* ResourceOf(DataFileModule* m, HRSRC h) {
    if (m == nullptr || h == nullptr)
        return nullptr;
    auto* r = reinterpret_cast<const Resource*>(h);
    const Resource* first = m->resources.data();
    if (r < first || r >= first + m->resources.size())
        return nullptr;
    return r;
}

// Finds the loaded object that holds an address: its name as the dynamic linker knows it, and where it
// starts.
struct LoadedObject {
    explicit LoadedObject(uintptr_t a) : address(a) {}
    uintptr_t address;
    bool found = false;
    bool isProgram = false;
    uintptr_t start = 0;
    std::string name;
};

int VisitObject(dl_phdr_info* info, size_t, void* data) {
    auto* o = static_cast<LoadedObject*>(data);
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const bool isProgram = o->address == 0; // the first object visited is the program
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr - ph.p_vaddr % page;
        const uintptr_t end = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
        if (isProgram || (o->address >= start && o->address < end)) {
            o->found = true;
            o->isProgram = isProgram;
            o->start = start;
            o->name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            return 1;
        }
    }
    return isProgram ? 1 : 0;
}

bool ModulePath(HMODULE hModule, std::string& path) {
    LoadedObject o(reinterpret_cast<uintptr_t>(hModule));
    ::dl_iterate_phdr(VisitObject, &o);
    if (!o.found)
        return false;
    if (o.isProgram || o.name.empty()) {
        char buffer[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
        if (n <= 0 || size_t(n) >= sizeof buffer)
            return false;
        path.assign(buffer, size_t(n));
        return true;
    }
    path = o.name;
    if (path[0] != '/') { // opened by a relative name: report where it was found
        if (char* full = ::realpath(path.c_str(), nullptr)) {
            path = full;
            std::free(full);
        }
    }
    return true;
}

} // namespace

extern "C" {

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    try {
        std::string native;
        if (!ModulePath(hModule, native)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (lpFilename == nullptr || nSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::wstring path = WidenFileName(native);
        if (path.size() < nSize) {
            std::wmemcpy(lpFilename, path.c_str(), path.size() + 1);
            SetLastError(ERROR_SUCCESS);
            return DWORD(path.size());
        }
        std::wmemcpy(lpFilename, path.c_str(), nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    LoadedObject o((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0
                       ? reinterpret_cast<uintptr_t>(lpModuleName)
                       : 0);
    if (o.address == 0 && lpModuleName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ::dl_iterate_phdr(VisitObject, &o);
    if (!o.found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = reinterpret_cast<HMODULE>(o.start);
    return TRUE;
}

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE, DWORD dwFlags) {
    if ((dwFlags & LOAD_LIBRARY_AS_DATAFILE) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        std::string native;
        if (!ResolveFileName(lpLibFileName, native)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        auto m = std::make_unique<DataFileModule>();
        struct stat st;
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadResourceSection(fd, m->section);
        ::close(fd);
        if (!ok) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        IndexResources(*m);
        std::lock_guard<std::mutex> guard(g_dataFilesLock);
        g_dataFiles.insert(m.get());
        return reinterpret_cast<HMODULE>(reinterpret_cast<uintptr_t>(m.release()) | 1);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL FreeLibrary(HMODULE hLibModule) {
    DataFileModule* m = DataFileFromHandle(hLibModule);
    if (m == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(g_dataFilesLock);
        g_dataFiles.erase(m);
    }
    delete m;
    return TRUE;
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    try {
        return Find(hModule, lpName, lpType, nullptr);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HRSRC FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
    try {
        return Find(hModule, lpName, lpType, &wLanguage);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    DataFileModule* m = DataFileFromHandle(hModule);
    const Resource* r = ResourceOf(m, hResInfo);
    if (r == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return m->section.data() + r->offset;
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    const Resource* r = ResourceOf(DataFileFromHandle(hModule), hResInfo);
    if (r == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return r->size;
}

LPVOID LockResource(HGLOBAL hResData) {
    return hResData;
}

} // extern "C"
