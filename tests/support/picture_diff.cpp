// Compares a picture of the Windows build (a 32-bit BMP, as testhost.exe writes it) with the Linux build's
// picture of the same file (a PNG, as `tarnel thumbnail` writes it).
//
//   picture_diff WINDOWS.bmp LINUX.png MEAN MAX_SHARE [VIEW.png]
//
// Prints "size WxH mean M max X over T S" (the mean absolute difference per channel, the largest, and the
// share of pixels where some channel differs by more than 32) and exits 0 when the sizes agree, the mean is
// at most MEAN and the share at most MAX_SHARE; 1 otherwise; 2 when a file cannot be read. VIEW.png, when
// named, receives the Windows picture as a PNG, to look at.
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct Rgb {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels; // R, G, B, rows top-down
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

bool ReadBmp32(const char* path, Rgb& image) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 54 || data[0] != 'B' || data[1] != 'M' || Le32(&data[14]) < 40 ||
        (data[28] | (data[29] << 8)) != 32)
        return false;
    const int width = int32_t(Le32(&data[18])), height = int32_t(Le32(&data[22]));
    const size_t offset = Le32(&data[10]);
    const int rows = height < 0 ? -height : height;
    if (width <= 0 || rows <= 0 || width > 16384 || rows > 16384 ||
        offset + size_t(width) * size_t(rows) * 4 > data.size())
        return false;
    image.width = width;
    image.height = rows;
    image.pixels.resize(size_t(width) * size_t(rows) * 3);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* row = &data[offset + size_t(height < 0 ? y : rows - 1 - y) * size_t(width) * 4];
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
            p[0] = row[x * 4 + 2];
            p[1] = row[x * 4 + 1];
            p[2] = row[x * 4 + 0];
        }
    }
    return true;
}

bool ReadPng(const char* path, Rgb& image) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path))
        return false;
    png.format = PNG_FORMAT_RGB;
    image.width = int(png.width);
    image.height = int(png.height);
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr) != 0;
}

bool WritePng(const char* path, const Rgb& image) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = png_uint_32(image.width);
    png.height = png_uint_32(image.height);
    png.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&png, path, 0, image.pixels.data(), 0, nullptr) != 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: picture_diff WINDOWS.bmp LINUX.png MEAN MAX_SHARE [VIEW.png]\n");
        return 2;
    }
    Rgb windows, linux;
    if (!ReadBmp32(argv[1], windows) || !ReadPng(argv[2], linux)) {
        std::fprintf(stderr, "picture_diff: cannot read %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    if (argc == 6)
        WritePng(argv[5], windows);
    std::printf("size %dx%d", windows.width, windows.height);
    if (windows.width != linux.width || windows.height != linux.height) {
        std::printf(" differs from %dx%d\n", linux.width, linux.height);
        return 1;
    }
    double sum = 0;
    int largest = 0;
    size_t over = 0;
    const size_t count = size_t(windows.width) * size_t(windows.height);
    for (size_t i = 0; i < count; ++i) {
        int pixelLargest = 0;
        for (int c = 0; c < 3; ++c) {
            const int d = std::abs(int(windows.pixels[i * 3 + c]) - int(linux.pixels[i * 3 + c]));
            sum += d;
            pixelLargest = d > pixelLargest ? d : pixelLargest;
        }
        largest = pixelLargest > largest ? pixelLargest : largest;
        over += pixelLargest > 32;
    }
    const double mean = sum / double(count * 3), share = double(over) / double(count);
    std::printf(" mean %.3f max %d over32 %.4f\n", mean, largest, share);
    return mean <= std::atof(argv[3]) && share <= std::atof(argv[4]) ? 0 : 1;
}
