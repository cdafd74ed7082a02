// Fuzz target: any bytes as a BMP file, loaded and scaled through CDIB.
#include "dibkit/dibkit.h"
#include "platform/gdi.h"
#include "platform/widestr.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = ::memfd_create("picture.bmp", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (size > 0 && ::write(fd, data, size) != ssize_t(size)) {
        ::close(fd);
        return 0;
    }
    std::wstring path = WidenFileName("/proc/self/fd/" + std::to_string(fd));
    {
        CDIB dib(path.c_str());
        if (dib.GetSafeHandle() != nullptr) {
            for (DWORD w : {dib.GetWidth(), DWORD(7)}) {
                HBITMAP h = dib.GetBitmap(w, 5);
                if (h != nullptr)
                    ::DeleteObject(h);
            }
        }
    }
    ::close(fd);
    return 0;
}
