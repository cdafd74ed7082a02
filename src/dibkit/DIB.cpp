// CDIB: the file's checked bytes are kept as they are, and GDI itself reads the packed DIB (header, colour
// table, bits) when it draws it, in whatever format the file holds.
#include "dibkit/dibkit.h"

#include "dibkit/BmpFile.h"

#include <new>

namespace {

constexpr size_t kFileHeader = 14; // BITMAPFILEHEADER, before the packed DIB

LONG Le32(const BYTE* p) {
    return LONG(DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24));
}

void PutLe32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i)
        p[i] = BYTE(v >> (8 * i));
}

dibkit::FileBytes* BytesOf(void* picture) {
    return static_cast<dibkit::FileBytes*>(picture);
}

} // namespace

CDIB::CDIB(LPCWSTR lpszPath) {
    auto data = new (std::nothrow) dibkit::FileBytes;
    if (data == nullptr)
        return;
    if (lpszPath == nullptr || *lpszPath == 0 || !dibkit::ReadWholeFile(lpszPath, *data) ||
        !dibkit::PlausibleBmp(data->Bytes())) {
        delete data;
        return;
    }
    BYTE* info = data->buffer.get() + kFileHeader;
    if (Le32(info) == 12) { // the OS/2 core header: 16-bit sizes
        m_width = DWORD(info[4] | (info[5] << 8));
        m_height = DWORD(info[6] | (info[7] << 8));
    } else {
        const LONG height = Le32(info + 8);
        m_width = DWORD(Le32(info + 4));
        m_height = DWORD(height < 0 ? -height : height);
        // GDI reads run codes no further than the header's image size, which files often leave 0 or state
        // larger than they are: it becomes the length of the codes that the file holds.
        const LONG compression = Le32(info + 16);
        const size_t offBits = size_t(Le32(data->buffer.get() + 10));
        if (compression == BI_RLE4 || compression == BI_RLE8)
            PutLe32(info + 20, DWORD(data->size - offBits));
        // A colour table ends where the pixels begin: writers that keep fewer colours than the pixels' bits
        // could name still leave the count 0, meaning all of them (checked by PlausibleBmp: one fits).
        const DWORD fitting = dibkit::ColoursBeforeBits(data->Bytes());
        if (fitting != 0)
            PutLe32(info + 32, fitting);
    }
    m_picture = data;
}

CDIB::~CDIB() {
    delete BytesOf(m_picture);
}

HBITMAP CDIB::GetBitmap(DWORD nWidth, DWORD nHeight) const {
    const dibkit::FileBytes* data = BytesOf(m_picture);
    if (data == nullptr || nWidth == 0 || nHeight == 0 || nWidth > DWORD(kMaxSide) ||
        nHeight > DWORD(kMaxSide))
        return nullptr;
    const BYTE* bytes = data->buffer.get();
    const auto* info = reinterpret_cast<const BITMAPINFO*>(bytes + kFileHeader);
    const BYTE* bits = bytes + Le32(bytes + 10); // within the file: checked by PlausibleBmp

    return dibkit::StretchToNewBitmap(info, bits, m_width, m_height, nWidth, nHeight);
}
