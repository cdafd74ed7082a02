#include "host/PngWriter.h"

#include "platform/gdi.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct PngWrite {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWrite() { png_destroy_write_struct(&png, &info); }
};

// Reads the bitmap as top-down 32-bit BGRX rows.
bool ReadPixels(HBITMAP hBitmap, LONG& width, LONG& height, std::vector<BYTE>& bgrx) {
    BITMAP bm{};
    if (::GetObjectW(hBitmap, sizeof bm, &bm) != int(sizeof bm) || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return false;
    width = bm.bmWidth;
    height = bm.bmHeight;
    bgrx.resize(size_t(width) * size_t(height) * 4);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    HDC screen = ::GetDC(nullptr);
    int lines = ::GetDIBits(screen, hBitmap, 0, UINT(height), bgrx.data(), &bmi, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    return lines == height;
}

// The libpng part, kept apart so that its longjmp crosses no object with a destructor to run.
bool Encode(FILE* file, LONG width, LONG height, const BYTE* bgrx, BYTE* rgb, png_text* chunks, int nChunks,
            std::string& error) {
    PngWrite w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    w.info = w.png != nullptr ? png_create_info_struct(w.png) : nullptr;
    if (w.info == nullptr) {
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(w.png))) {
        error = "cannot write the picture";
        return false;
    }
    png_init_io(w.png, file);
    // A thumbnail is written once and read soon, often to be stored again by the file manager: fast
    // compression is worth far more here than the last few percent of size.
    png_set_compression_level(w.png, 1);
    png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(w.png, w.info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (nChunks > 0)
        png_set_text(w.png, w.info, chunks, nChunks);
    png_write_info(w.png, w.info);
    for (LONG y = 0; y < height; ++y) {
        const BYTE* in = bgrx + size_t(y) * size_t(width) * 4;
        for (LONG x = 0; x < width; ++x) {
            rgb[size_t(x) * 3 + 0] = in[x * 4 + 2];
            rgb[size_t(x) * 3 + 1] = in[x * 4 + 1];
            rgb[size_t(x) * 3 + 2] = in[x * 4 + 0];
        }
        png_write_row(w.png, rgb);
    }
    png_write_end(w.png, nullptr);
    return true;
}

using Stream = std::unique_ptr<FILE, int (*)(FILE*)>;

// A stream of its own on a copy of fd, so that closing the stream leaves the caller's descriptor open.
Stream StreamOn(int fd) {
    const int copy = ::dup(fd);
    FILE* f = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
    if (f == nullptr && copy >= 0)
        ::close(copy);
    return Stream(f, &std::fclose);
}

// libpng's view of the texts; it borrows their strings.
std::vector<png_text> TextChunks(const std::vector<PngText>& texts) {
    std::vector<png_text> chunks(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<char*>(texts[i].key.c_str());
        chunks[i].text = const_cast<char*>(texts[i].value.c_str());
        chunks[i].text_length = texts[i].value.size();
    }
    return chunks;
}

} // namespace

bool WriteBitmapPng(HBITMAP hBitmap, int fd, const std::vector<PngText>& texts, std::string& error) {
    LONG width = 0, height = 0;
    std::vector<BYTE> bgrx;
    if (!ReadPixels(hBitmap, width, height, bgrx)) {
        error = "the picture's pixels cannot be read";
        return false;
    }
    std::vector<BYTE> rgb(size_t(width) * 3);
    Stream file = StreamOn(fd);
    if (!file) {
        error = std::string("cannot write the picture: ") + std::strerror(errno);
        return false;
    }
    std::vector<png_text> chunks = TextChunks(texts);
    if (!Encode(file.get(), width, height, bgrx.data(), rgb.data(), chunks.data(), int(chunks.size()), error))
        return false;
    if (std::fflush(file.get()) != 0) {
        error = std::string("cannot write the picture: ") + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

bool EncodeMarker(FILE* file, png_text* chunks, int nChunks, std::string& error) {
    PngWrite w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    w.info = w.png != nullptr ? png_create_info_struct(w.png) : nullptr;
    if (w.info == nullptr) {
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(w.png))) {
        error = "cannot write the record";
        return false;
    }
    png_init_io(w.png, file);
    png_set_IHDR(w.png, w.info, 1, 1, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (nChunks > 0)
        png_set_text(w.png, w.info, chunks, nChunks);
    png_write_info(w.png, w.info);
    png_byte pixel[4] = {0, 0, 0, 0};
    png_write_row(w.png, pixel);
    png_write_end(w.png, nullptr);
    return true;
}

struct PngRead {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngRead() { png_destroy_read_struct(&png, &info, nullptr); }
};

// Copies the texts into out; the longjmp crosses only plain data.
bool DecodeTexts(FILE* file, std::vector<PngText>* out) {
    PngRead r;
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    r.info = r.png != nullptr ? png_create_info_struct(r.png) : nullptr;
    if (r.info == nullptr)
        return false;
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    png_init_io(r.png, file);
    png_read_info(r.png, r.info);
    png_textp text = nullptr;
    int n = 0;
    png_get_text(r.png, r.info, &text, &n);
    for (int i = 0; i < n; ++i)
        out->push_back({text[i].key, text[i].text != nullptr ? text[i].text : ""});
    return true;
}

} // namespace

bool WriteMarkerPng(int fd, const std::vector<PngText>& texts, std::string& error) {
    Stream file = StreamOn(fd);
    if (!file) {
        error = std::string("cannot write the record: ") + std::strerror(errno);
        return false;
    }
    std::vector<png_text> chunks = TextChunks(texts);
    if (!EncodeMarker(file.get(), chunks.data(), int(chunks.size()), error))
        return false;
    if (std::fflush(file.get()) != 0) {
        error = std::string("cannot write the record: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ReadPngTexts(const std::string& path, std::vector<PngText>& texts) {
    texts.clear();
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rbe"), &std::fclose);
    if (!file)
        return false;
    std::vector<PngText> found;
    if (!DecodeTexts(file.get(), &found))
        return false;
    texts = std::move(found);
    return true;
}
