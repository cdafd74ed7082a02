#include "host/PngWriter.h"

#include "wingdi.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

} // namespace

std::string PngTextValue(const std::vector<PngText>& texts, const char* key) {
    for (const PngText& t : texts)
        if (t.key == key)
            return t.value;
    return {};
}

bool IsUniformBitmap(HBITMAP hBitmap) {
    LONG width = 0, height = 0;
    std::vector<BYTE> bgrx;
    if (!ReadPixels(hBitmap, width, height, bgrx))
        return false;
    // The fourth byte of each pixel is unused padding, not part of the colour.
    const auto colour = [&](size_t i) { return uint32_t(bgrx[i]) | bgrx[i + 1] << 8 | bgrx[i + 2] << 16; };
    const uint32_t first = colour(0);
    for (size_t i = 4; i < bgrx.size(); i += 4)
        if (colour(i) != first)
            return false;
    return true;
}

namespace {

// What is written: width x height pixels of the colour type, row y given by row(context, y).
struct Picture {
    LONG width, height;
    int colorType; // PNG_COLOR_TYPE_RGB or PNG_COLOR_TYPE_RGBA
    const BYTE* (*row)(void* context, LONG y);
    void* context;
};

// The libpng part, kept apart so that its longjmp crosses no object with a destructor to run.
bool Encode(FILE* file, const Picture& picture, png_text* chunks, int nChunks, std::string& error) {
    PngWrite w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    w.info = w.png != nullptr ? png_create_info_struct(w.png) : nullptr;
    if (w.info == nullptr) {
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(w.png))) {
        error = "libpng failed";
        return false;
    }
    png_init_io(w.png, file);
    // A thumbnail is written once and read soon, often to be stored again by the file manager: fast
    // compression is worth far more here than the last few percent of size. Run-length matching over the
    // SUB-filtered rows finds what a rendered picture has (flat background, smooth shading) at about half
    // the cost of the shortest string matching, which gains nothing on noisy pictures either.
    png_set_compression_level(w.png, 1);
    png_set_compression_strategy(w.png, Z_RLE);
    png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(w.png, w.info, png_uint_32(picture.width), png_uint_32(picture.height), 8, picture.colorType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (nChunks > 0)
        png_set_text(w.png, w.info, chunks, nChunks);
    png_write_info(w.png, w.info);
    for (LONG y = 0; y < picture.height; ++y)
        png_write_row(w.png, picture.row(picture.context, y));
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

// Writes the picture with the texts to fd; `what` names it in messages.
bool Write(int fd, const Picture& picture, const std::vector<PngText>& texts, const char* what,
           std::string& error) {
    error.clear();
    Stream file = StreamOn(fd);
    std::vector<png_text> chunks = TextChunks(texts);
    if (!file || !Encode(file.get(), picture, chunks.data(), int(chunks.size()), error) ||
        std::fflush(file.get()) != 0) {
        error =
            std::string("cannot write the ") + what + ": " + (error.empty() ? std::strerror(errno) : error);
        return false;
    }
    return true;
}

// Converts one top-down BGRX row of the bitmap into the RGB (or RGBA) row buffer.
struct BitmapRows {
    LONG width;
    const BYTE* bgrx;
    bool alpha; // the unused byte as alpha: RGBA rows
    std::vector<BYTE> out;
    static const BYTE* Row(void* context, LONG y) {
        auto* self = static_cast<BitmapRows*>(context);
        const BYTE* in = self->bgrx + size_t(y) * size_t(self->width) * 4;
        const size_t channels = self->alpha ? 4 : 3;
        for (LONG x = 0; x < self->width; ++x) {
            BYTE* o = self->out.data() + size_t(x) * channels;
            o[0] = in[x * 4 + 2];
            o[1] = in[x * 4 + 1];
            o[2] = in[x * 4 + 0];
            if (self->alpha)
                o[3] = in[x * 4 + 3];
        }
        return self->out.data();
    }
};

bool HoldsCoverage(const std::vector<BYTE>& bgrx) {
    for (size_t i = 3; i < bgrx.size(); i += 4)
        if (bgrx[i] != 0)
            return true;
    return false;
}

} // namespace

bool WriteBitmapPng(HBITMAP hBitmap, int fd, const std::vector<PngText>& texts, std::string& error,
                    bool coverageAsAlpha) {
    LONG width = 0, height = 0;
    std::vector<BYTE> bgrx;
    if (!ReadPixels(hBitmap, width, height, bgrx)) {
        error = "the picture's pixels cannot be read";
        return false;
    }
    // Without a byte of coverage anywhere the picture holds none, and every pixel would go.
    if (coverageAsAlpha && !HoldsCoverage(bgrx))
        coverageAsAlpha = false;
    BitmapRows rows{width, bgrx.data(), coverageAsAlpha,
                    std::vector<BYTE>(size_t(width) * (coverageAsAlpha ? 4 : 3))};
    return Write(fd,
                 {width, height, coverageAsAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                  &BitmapRows::Row, &rows},
                 texts, "picture", error);
}

namespace {

// An entry's texts are a few short lines: its file's URI, times and size. What a file may make the reader
// keep is bounded, in number of texts and in what a compressed one unpacks to: a few kilobytes of zTXt unpack
// to megabytes, and the cache reads its entries in the parent process. Other chunks in front of the pixels
// larger than that are passed over; the texts after them are still read.
const png_uint_32 kMaxTexts = 32;
const png_alloc_size_t kMaxChunkBytes = 64 * 1024;
// libpng takes room for a chunk as long as the file says it is before it reads a byte of it: a file of a few
// bytes may claim 2 GiB. No allocation of the reader's is larger than the file itself and this much more,
// for zlib's state and what a compressed text unpacks to.
const png_alloc_size_t kAllocationSlack = 1 << 20;

// Refuses what is over the bound that the reader's memory pointer holds.
png_voidp BoundedMalloc(png_structp png, png_alloc_size_t size) {
    return size <= *static_cast<const png_alloc_size_t*>(png_get_mem_ptr(png)) ? std::malloc(size) : nullptr;
}

void Free(png_structp, png_voidp p) {
    std::free(p);
}

struct PngRead {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngRead() { png_destroy_read_struct(&png, &info, nullptr); }
};

// Copies the texts of the file, of fileSize bytes, into out; the longjmp crosses only plain data.
bool DecodeTexts(FILE* file, png_alloc_size_t fileSize, std::vector<PngText>* out) {
    png_alloc_size_t bound = fileSize + kAllocationSlack;
    PngRead r;
    r.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr, &bound, &BoundedMalloc,
                                     &Free);
    r.info = r.png != nullptr ? png_create_info_struct(r.png) : nullptr;
    if (r.info == nullptr)
        return false;
    if (setjmp(png_jmpbuf(r.png)))
        return false;
    // libpng keeps two texts fewer than the count it is given.
    png_set_chunk_cache_max(r.png, kMaxTexts + 2);
    png_set_chunk_malloc_max(r.png, kMaxChunkBytes);
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
    static const BYTE kTransparent[4] = {0, 0, 0, 0};
    const Picture marker{1, 1, PNG_COLOR_TYPE_RGBA, [](void*, LONG) { return kTransparent; }, nullptr};
    return Write(fd, marker, texts, "record", error);
}

bool ReadPngTexts(const std::string& path, std::vector<PngText>& texts) {
    texts.clear();
    // Whatever stands at the name is looked at before it is read: a FIFO would block, a device never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(::fdopen(fd, "rb"), &std::fclose);
    if (!file) {
        ::close(fd);
        return false;
    }
    std::vector<PngText> found;
    if (!DecodeTexts(file.get(), png_alloc_size_t(st.st_size), &found))
        return false;
    texts = std::move(found);
    return true;
}
