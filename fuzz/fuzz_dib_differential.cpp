// Fuzz target: any bytes as a BMP file, decoded by our GDI (through CDIB, at the picture's own size) and by
// gdk-pixbuf. Where both give a picture, the two must agree on every pixel: the differential test's known
// differences are none, and a new one is a fault of one decoder or the other, to be judged and listed.
#include "GdiBalance.h"
#include "MemoryFile.h"

#include "dibkit/dibkit.h"
#include "wingdi.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <vector>

namespace {

// Pixels 0xRRGGBB, rows top-down; empty when gdk-pixbuf gives no picture of width x height.
std::vector<uint32_t> PixbufPixels(const uint8_t* data, size_t size, DWORD width, DWORD height) {
    std::vector<uint32_t> pixels;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("bmp", nullptr);
    if (loader == nullptr)
        return pixels;
    bool ok = gdk_pixbuf_loader_write(loader, data, size, nullptr);
    ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr && DWORD(gdk_pixbuf_get_width(pixbuf)) == width &&
        DWORD(gdk_pixbuf_get_height(pixbuf)) == height) {
        const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
        const guchar* px = gdk_pixbuf_read_pixels(pixbuf);
        for (DWORD y = 0; y < height; ++y)
            for (DWORD x = 0; x < width; ++x) {
                const guchar* q = px + ptrdiff_t(y) * stride + ptrdiff_t(x) * channels;
                pixels.push_back(uint32_t(q[0]) << 16 | uint32_t(q[1]) << 8 | q[2]);
            }
    }
    g_object_unref(loader);
    return pixels;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdiBalance balance;
    MemoryFile file("picture.bmp", data, size);
    if (!file.ok())
        return 0;
    CDIB dib(file.path().c_str());
    const DWORD width = dib.GetWidth(), height = dib.GetHeight();
    // gdk-pixbuf is asked only about pictures that ours takes: those are bounded in size.
    if (dib.GetSafeHandle() == nullptr || size_t(width) * height > size_t(1) << 20)
        return 0;
    HBITMAP bitmap = dib.GetBitmap(width, height);
    if (bitmap == nullptr)
        return 0;
    std::vector<uint32_t> ours(size_t(width) * height);
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), LONG(width), -LONG(height), 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = ::GetDC(nullptr);
    ::GetDIBits(screen, bitmap, 0, UINT(height), ours.data(), &bmi, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    ::DeleteObject(bitmap);
    const std::vector<uint32_t> theirs = PixbufPixels(data, size, width, height);
    if (theirs.empty())
        return 0;
    for (size_t i = 0; i < ours.size(); ++i)
        if ((ours[i] & 0xFFFFFF) != theirs[i]) {
            std::fprintf(stderr, "pixel (%zu,%zu): ours %06x, gdk-pixbuf's %06x\n", i % width, i / width,
                         ours[i] & 0xFFFFFF, theirs[i]);
            __builtin_trap();
        }
    return 0;
}
