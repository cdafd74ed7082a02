#include "host/PngWriter.h"

#include <unistd.h>

#include <cstring>

bool ReadPngHeader(int fd, uint32_t& width, uint32_t& height) {
    unsigned char h[33];
    if (::pread(fd, h, sizeof h, 0) != ssize_t(sizeof h))
        return false;
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto u32 = [&](int at) {
        return uint32_t(h[at]) << 24 | uint32_t(h[at + 1]) << 16 | uint32_t(h[at + 2]) << 8 | h[at + 3];
    };
    if (std::memcmp(h, signature, 8) != 0 || u32(8) != 13 || std::memcmp(h + 12, "IHDR", 4) != 0)
        return false;
    width = u32(16);
    height = u32(20);
    const unsigned depth = h[24], colour = h[25], compression = h[26], filter = h[27], interlace = h[28];
    return width > 0 && height > 0 && depth == 8 && (colour == 2 || colour == 6) && compression == 0 &&
           filter == 0 && interlace <= 1;
}
