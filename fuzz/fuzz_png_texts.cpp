// Fuzz target: the texts of a thumbnail cache entry, which any program may have written. The bytes are read
// as an entry: whatever they are, the reader gives a clean yes or no, and what it takes stays in proportion
// to the file (a chunk that claims 2 GiB meets libFuzzer's malloc limit). The same bytes behind a link are
// never read: an entry's name is not followed elsewhere.
#include "MemoryFile.h"

#include "host/PngWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A folder of the target's own for the entry, removed when the run ends.
const std::string& EntryPath() {
    static const std::string path = [] {
        const std::string pattern =
            (std::filesystem::temp_directory_path() / "fuzz_png_texts.XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr)
            std::abort();
        static const std::string folder = name.data();
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        });
        return folder + "/entry.png";
    }();
    return path;
}

bool WriteEntry(const uint8_t* data, size_t size) {
    const int fd = ::open(EntryPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = size == 0 || ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    return written;
}

// More than the compressed texts of any entry unpack to, and less than a single one of them may unpack to
// within libpng's own bounds.
const size_t kUnpackedBytes = 4 << 20;

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteEntry(data, size))
        return 0;
    std::vector<PngText> texts = {{"stale", "from an earlier entry"}};
    if (!ReadPngTexts(EntryPath(), texts)) {
        if (!texts.empty())
            __builtin_trap(); // nothing of an earlier entry is left to be taken for this one's
    } else if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
        __builtin_trap(); // only a PNG has texts
    } else {
        // A text takes no more than its own bytes of the file, or what a compressed one may unpack to within
        // the reader's bounds.
        size_t bytes = 0;
        for (const PngText& t : texts)
            bytes += t.key.size() + t.value.size();
        if (bytes > size + kUnpackedBytes)
            __builtin_trap();
    }

    MemoryFile link("entry.png", data, size);
    if (link.ok() && ReadPngTexts(link.narrowPath(), texts))
        __builtin_trap();
    return 0;
}
