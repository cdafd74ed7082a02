// Fuzz target: any bytes as a BMP file, loaded and scaled through CDIB.
#include "GdiBalance.h"
#include "MemoryFile.h"

#include "dibkit/dibkit.h"
#include "wingdi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdiBalance balance;
    MemoryFile file("picture.bmp", data, size);
    if (!file.ok())
        return 0;
    CDIB dib(file.path().c_str());
    if (dib.GetSafeHandle() != nullptr) {
        for (DWORD w : {dib.GetWidth(), DWORD(7)}) {
            HBITMAP h = dib.GetBitmap(w, 5);
            if (h != nullptr)
                ::DeleteObject(h);
        }
    }
    return 0;
}
