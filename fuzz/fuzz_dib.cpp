// Fuzz target: any bytes as a BMP file, loaded and scaled through CDIB.
#include "GdiBalance.h"
#include "MemoryFile.h"

#include "dibkit/dibkit.h"
#include "wingdi.h"

#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdiBalance balance;
    MemoryFile file("picture.bmp", data, size);
    if (!file.ok())
        return 0;
    CDIB dib(file.path().c_str());
    if (dib.GetSafeHandle() != nullptr) {
        // The picture's own size, and shrinkings that give the box filter one, two, three and more pairs of
        // taps a pixel (each kernel of its own), in widths odd and even.
        const DWORD width = dib.GetWidth(), height = dib.GetHeight();
        for (const auto& [w, h] : {std::pair{width, height},
                                   {DWORD(7), DWORD(5)},
                                   {width / 2 + 1, height / 2 + 1},
                                   {width / 3, height / 4 + 1},
                                   {width / 5 + 1, height / 6},
                                   {width / 9, DWORD(1)}}) {
            HBITMAP bitmap = dib.GetBitmap(w, h);
            if (bitmap != nullptr)
                ::DeleteObject(bitmap);
        }
    }
    return 0;
}
