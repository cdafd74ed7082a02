// Fuzz target: what the parent reads of a child, which may have been taken over by the file it read: the
// answer record, the info record and the header of the picture it wrote. Whatever the bytes, each reader
// gives a clean yes or no, and a record taken once encodes to the same bytes again.
#include "host/ChildAnswer.h"
#include "host/InfoRecord.h"
#include "host/PngWriter.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    InfoRecord record;
    if (DecodeInfo(bytes, record)) {
        InfoRecord again;
        if (!DecodeInfo(EncodeInfo(record), again) || EncodeInfo(again) != EncodeInfo(record))
            __builtin_trap();
    }
    ChildAnswer answer;
    if (size >= sizeof answer) {
        std::memcpy(&answer, data, sizeof answer);
        (void)IsValidAnswer(answer);
    }
    static const int fd = int(::syscall(SYS_memfd_create, "png", MFD_CLOEXEC));
    if (fd >= 0 && ::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, size, 0) == ssize_t(size)) {
        uint32_t width = 0, height = 0;
        if (ReadPngHeader(fd, width, height) && (width == 0 || height == 0))
            __builtin_trap();
    }
    return 0;
}
