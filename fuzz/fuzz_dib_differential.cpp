// Fuzz target: any bytes as a BMP file, decoded by our GDI (through CDIB, at the picture's own size) and by
// gdk-pixbuf. Where both give a picture, the two must agree on every pixel: the differential test's known
// differences are none, and a new one is a fault of one decoder or the other, to be judged and listed.
#include "GdiBalance.h"
#include "MemoryFile.h"

#include "dibkit/BmpFile.h"
#include "dibkit/dibkit.h"
#include "wingdi.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <bit>
#include <cstdio>
#include <vector>

namespace {

// A pixel that gdk-pixbuf left transparent: in a picture of run codes, one it did not draw.
constexpr uint32_t kTransparent = 0x01000000;

// Pixels 0xRRGGBB, and kTransparent where gdk-pixbuf's alpha is 0; rows top-down; empty when gdk-pixbuf
// gives no picture of width x height.
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
                pixels.push_back((channels == 4 && q[3] == 0 ? kTransparent : 0) | uint32_t(q[0]) << 16 |
                                 uint32_t(q[1]) << 8 | q[2]);
            }
    }
    g_object_unref(loader);
    return pixels;
}

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

// Whether a picture's run codes are well formed: every run and every move within the picture, every colour
// within the table, and an end. Decoders part ways on the rest (ours drops what falls outside, gdk-pixbuf
// gives up on the whole picture), and neither is wrong: only well-formed codes are compared.
bool WellFormedRunCodes(const uint8_t* data, size_t size) {
    const uint32_t compression = Le32(data + 30), offBits = Le32(data + 10);
    if (compression != BI_RLE4 && compression != BI_RLE8)
        return true;
    // Headers that promise more than the file holds (codes, or the file's own size): gdk-pixbuf waits for it
    // and gives an empty picture, ours decodes the codes there are.
    if (const uint32_t stated = Le32(data + 34);
        (stated != 0 && stated > size - offBits) || Le32(data + 2) > size)
        return false;
    const bool four = compression == BI_RLE4;
    const int64_t width = int32_t(Le32(data + 18)), height = int32_t(Le32(data + 22));
    uint32_t colours = Le32(data + 46);
    if (colours == 0 || colours > (four ? 16u : 256u))
        colours = four ? 16 : 256;
    int64_t x = 0, row = 0;
    auto within = [&](uint8_t index) { return index < colours; };
    for (size_t pos = offBits; pos + 2 <= size;) {
        const uint8_t count = data[pos], code = data[pos + 1];
        pos += 2;
        if (count != 0) {
            if (x + count > width || !within(four ? code >> 4 : code) ||
                (four && count > 1 && !within(code & 15)))
                return false;
            x += count;
        } else if (code == 0) {
            x = 0;
            if (++row == height)
                return true;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            if (pos + 2 > size || x + data[pos] > width || row + data[pos + 1] >= height)
                return false;
            x += data[pos];
            row += data[pos + 1];
            pos += 2;
        } else {
            const size_t bytes = four ? (size_t(code) + 1) / 2 : code;
            if (x + code > width || pos + bytes > size)
                return false;
            for (int i = 0; i < code; ++i)
                if (!within(
                        four ? (i % 2 == 0 ? data[pos + size_t(i) / 2] >> 4 : data[pos + size_t(i) / 2] & 15)
                             : data[pos + size_t(i)]))
                    return false;
            x += code;
            pos += bytes + (bytes & 1);
        }
    }
    return false;
}

// Known differences of bit fields (the differential test lists them): gdk-pixbuf takes a picture with one
// mask 0 as 5-6-5, where ours, as GDI, keeps that channel 0; and it shifts fields of fewer than four bits up
// alone, where ours repeats their bits so that the largest value is 255.
bool MasksPartWays(const uint8_t* data) {
    if (Le32(data + 14) == 12 || Le32(data + 30) != BI_BITFIELDS)
        return false;
    for (size_t at : {54, 58, 62})
        if (std::popcount(Le32(data + at)) < 4)
            return true;
    return false;
}

// Whether the headers agree with each other and with the file, as every writer's do: the file's size is
// the file's, and the pixels begin right after the header, its masks and its colour table. gdk-pixbuf takes
// liberties with headers that do not (it reads pixels after the whole declared table, or stops where the
// stated file size ends); the target judges only pictures whose headers leave no doubt where what lies.
bool Canonical(const uint8_t* data, size_t size) {
    const uint32_t header = Le32(data + 14);
    if (Le32(data + 2) != size)
        return false;
    if (header == 12) {
        const uint32_t bpp = uint16_t(data[24] | data[25] << 8);
        return Le32(data + 10) == 26 + (bpp <= 8 ? 3 * (uint64_t(1) << bpp) : 0);
    }
    const uint32_t bpp = uint16_t(data[28] | data[29] << 8), compression = Le32(data + 30);
    uint64_t colours = Le32(data + 46);
    if (colours == 0 && bpp <= 8)
        colours = uint64_t(1) << bpp;
    const uint64_t masks = compression == BI_BITFIELDS && header == 40 ? 12 : 0;
    return Le32(data + 10) == 14 + uint64_t(header) + masks + 4 * colours;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GdiBalance balance;
    MemoryFile file("picture.bmp", data, size);
    if (!file.ok())
        return 0;
    CDIB dib(file.path().c_str());
    const DWORD width = dib.GetWidth(), height = dib.GetHeight();
    // gdk-pixbuf is asked only about pictures that ours takes: those are bounded in size. Where the colour
    // table that the header declares runs into the pixels, gdk-pixbuf reads the pixels after the whole table
    // and ours where the file says they begin: a known difference (the differential test lists it).
    if (dib.GetSafeHandle() == nullptr || size_t(width) * height > size_t(1) << 20 ||
        dibkit::ColoursBeforeBits({data, size}) != 0 || !Canonical(data, size) ||
        !WellFormedRunCodes(data, size) || MasksPartWays(data))
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
    const bool runCodes = Le32(data + 14) != 12 && (Le32(data + 30) == BI_RLE4 || Le32(data + 30) == BI_RLE8);
    if (theirs.empty())
        return 0;
    for (size_t i = 0; i < ours.size(); ++i)
        // gdk-pixbuf gives up on run codes where ours goes on (it leaves the rest transparent); what it
        // drew must agree.
        if ((ours[i] & 0xFFFFFF) != (theirs[i] & 0xFFFFFF) &&
            !((theirs[i] & kTransparent) != 0 && runCodes)) {
            std::fprintf(stderr, "pixel (%zu,%zu): ours %06x, gdk-pixbuf's %06x\n", i % width, i / width,
                         ours[i] & 0xFFFFFF, theirs[i]);
            __builtin_trap();
        }
    return 0;
}
