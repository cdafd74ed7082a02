#include "dibkit/dibkit.h"

#include "dibkit/BmpFile.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstring>
#include <memory>
#include <span>
#include <utility>

namespace {

using dibkit::FileBytes;

// The decoded picture that a CDIB keeps here: gdk-pixbuf's.
GdkPixbuf* Pixbuf(void* picture) {
    return static_cast<GdkPixbuf*>(picture);
}

// Decodes with the BMP loader only: the data is never sniffed as another format.
GdkPixbuf* DecodeBmp(std::span<const BYTE> data) {
    GError* error = nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("bmp", &error);
    if (loader == nullptr) {
        g_clear_error(&error);
        return nullptr;
    }
    bool ok = gdk_pixbuf_loader_write(loader, data.data(), data.size(), &error);
    g_clear_error(&error);
    ok = gdk_pixbuf_loader_close(loader, &error) && ok; // a truncated picture fails here
    g_clear_error(&error);
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf != nullptr)
        g_object_ref(pixbuf);
    g_object_unref(loader);
    return pixbuf;
}

} // namespace

CDIB::CDIB(LPCWSTR lpszPath) {
    FileBytes data;
    if (lpszPath == nullptr || *lpszPath == 0 || !dibkit::ReadWholeFile(lpszPath, data) ||
        !dibkit::PlausibleBmp(data.Bytes()))
        return;
    GdkPixbuf* pixbuf = DecodeBmp(data.Bytes());
    m_picture = pixbuf;
    if (pixbuf != nullptr) {
        m_width = DWORD(gdk_pixbuf_get_width(pixbuf));
        m_height = DWORD(gdk_pixbuf_get_height(pixbuf));
        // The decoder gives red, green and blue in that order; a DIB keeps blue first.
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        if (gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 && (channels == 3 || channels == 4)) {
            guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
            const size_t stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
            for (size_t y = 0; y < m_height; ++y)
                for (guchar *p = pixels + y * stride, *end = p + size_t(m_width) * channels; p != end;
                     p += channels)
                    std::swap(p[0], p[2]);
        }
    }
}

CDIB::~CDIB() {
    if (m_picture != nullptr)
        g_object_unref(Pixbuf(m_picture));
}

HBITMAP CDIB::GetBitmap(DWORD nWidth, DWORD nHeight) const {
    GdkPixbuf* pixbuf = Pixbuf(m_picture);
    if (pixbuf == nullptr || nWidth == 0 || nHeight == 0 || nWidth > DWORD(kMaxSide) ||
        nHeight > DWORD(kMaxSide))
        return nullptr;
    // Drawn straight from the decoder's rows, now a top-down DIB of B, G, R and perhaps alpha a pixel; its
    // own alpha is ignored, as a device-dependent bitmap has none.
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || (channels != 3 && channels != 4))
        return nullptr;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = LONG(m_width);
    info.bmiHeader.biHeight = -LONG(m_height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = WORD(channels * 8);
    info.bmiHeader.biCompression = BI_RGB;
    // The decoder's rows are DWORD-aligned, as a DIB's are.
    if (gdk_pixbuf_get_rowstride(pixbuf) != (LONG(m_width) * channels * 8 + 31) / 32 * 4)
        return nullptr;

    return dibkit::StretchToNewBitmap(&info, gdk_pixbuf_read_pixels(pixbuf), m_width, m_height, nWidth,
                                      nHeight);
}
