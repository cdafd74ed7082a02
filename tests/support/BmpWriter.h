// Writes BMP files in the variants common encoders produce, for tests, benchmarks and the samples.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bmp {

// Pixels as 0xRRGGBB, rows top-down.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

enum class Variant {
    Pal1,
    Pal4,
    Pal8,
    Rle4,
    Rle8,
    Rgb555,
    Rgb565,
    Rgb24,
    Rgb32,
    TopDown24,
    Os2Pal8,
    Os2Rgb24,
    V4Rgb32,
    V5Rgb32,
    V5Rgb24,
    Rgb24Table, // 24-bit pixels behind an optional table of 1,000 colours, which decoders pass over
};

inline const std::vector<Variant>& AllVariants() {
    static const std::vector<Variant> all = {
        Variant::Pal1,    Variant::Pal4,      Variant::Pal8,    Variant::Rle4,
        Variant::Rle8,    Variant::Rgb555,    Variant::Rgb565,  Variant::Rgb24,
        Variant::Rgb32,   Variant::TopDown24, Variant::Os2Pal8, Variant::Os2Rgb24,
        Variant::V4Rgb32, Variant::V5Rgb32,   Variant::V5Rgb24, Variant::Rgb24Table};
    return all;
}

inline const char* Name(Variant v) {
    static const char* names[] = {"Pal1",    "Pal4",    "Pal8",    "Rle4",      "Rle8",    "Rgb555",
                                  "Rgb565",  "Rgb24",   "Rgb32",   "TopDown24", "Os2Pal8", "Os2Rgb24",
                                  "V4Rgb32", "V5Rgb32", "V5Rgb24", "Rgb24Table"};
    return names[int(v)];
}

// How many colours the variant can hold (0: any).
inline size_t MaxColours(Variant v) {
    switch (v) {
    case Variant::Pal1:
        return 2;
    case Variant::Pal4:
    case Variant::Rle4:
        return 16;
    case Variant::Pal8:
    case Variant::Rle8:
    case Variant::Os2Pal8:
        return 256;
    default:
        return 0;
    }
}

namespace detail {

inline void Put16(std::string& s, uint32_t v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}
inline void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

inline std::string RleRow(const std::vector<uint8_t>& idx, bool four) {
    std::string out;
    size_t x = 0;
    while (x < idx.size()) {
        size_t run = 1;
        while (x + run < idx.size() && idx[x + run] == idx[x] && run < 255)
            ++run;
        out += char(run);
        out += char(four ? (idx[x] << 4 | idx[x]) : idx[x]);
        x += run;
    }
    out += '\0';
    out += '\0'; // end of line
    return out;
}

} // namespace detail

inline std::string Encode(const Image& img, Variant v) {
    using namespace detail;
    const bool os2 = v == Variant::Os2Pal8 || v == Variant::Os2Rgb24;
    int bpp = 24;
    uint32_t compression = 0; // BI_RGB
    uint32_t headerSize = 40;
    switch (v) {
    case Variant::Pal1:
        bpp = 1;
        break;
    case Variant::Pal4:
        bpp = 4;
        break;
    case Variant::Rle4:
        bpp = 4, compression = 2;
        break;
    case Variant::Pal8:
    case Variant::Os2Pal8:
        bpp = 8;
        break;
    case Variant::Rle8:
        bpp = 8, compression = 1;
        break;
    case Variant::Rgb555:
        bpp = 16;
        break;
    case Variant::Rgb565:
        bpp = 16, compression = 3;
        break;
    case Variant::Rgb32:
        bpp = 32;
        break;
    case Variant::V4Rgb32:
        bpp = 32, compression = 3, headerSize = 108;
        break;
    case Variant::V5Rgb32:
        bpp = 32, compression = 3, headerSize = 124;
        break;
    case Variant::V5Rgb24:
        headerSize = 124;
        break;
    default:
        break;
    }
    if (os2)
        headerSize = 12;

    // The palette, in order of first appearance.
    std::vector<uint32_t> palette;
    std::map<uint32_t, uint8_t> index;
    if (bpp <= 8) {
        for (uint32_t p : img.pixels)
            if (index.emplace(p, uint8_t(palette.size())).second)
                palette.push_back(p);
        if (palette.size() > MaxColours(v))
            throw std::invalid_argument("too many colours for the variant");
    }
    const size_t tableColours = v == Variant::Rgb24Table ? 1000 : bpp <= 8 ? size_t(1) << bpp : 0;
    const size_t masksBytes = (compression == 3 && headerSize == 40) ? 12 : 0;

    std::string pixels;
    const bool topDown = v == Variant::TopDown24;
    for (int r = 0; r < img.height; ++r) {
        int y = topDown ? r : img.height - 1 - r;
        if (compression == 1 || compression == 2) {
            std::vector<uint8_t> idx;
            for (int x = 0; x < img.width; ++x)
                idx.push_back(index[img.At(x, y)]);
            pixels += RleRow(idx, compression == 2);
            continue;
        }
        std::string row;
        uint32_t acc = 0;
        int bits = 0;
        for (int x = 0; x < img.width; ++x) {
            uint32_t p = img.At(x, y);
            uint32_t r8 = p >> 16 & 0xFF, g8 = p >> 8 & 0xFF, b8 = p & 0xFF;
            if (bpp <= 8) {
                acc = acc << bpp | index[p];
                bits += bpp;
                if (bits == 8)
                    row += char(acc), acc = 0, bits = 0;
            } else if (bpp == 16) {
                uint32_t w = v == Variant::Rgb565 ? (r8 >> 3) << 11 | (g8 >> 2) << 5 | b8 >> 3
                                                  : (r8 >> 3) << 10 | (g8 >> 3) << 5 | b8 >> 3;
                Put16(row, w);
            } else {
                row += char(b8), row += char(g8), row += char(r8);
                if (bpp == 32)
                    row += char(0xFF);
            }
        }
        if (bits > 0)
            row += char(acc << (8 - bits));
        while (row.size() % 4 != 0)
            row += '\0';
        pixels += row;
    }
    if (compression == 1 || compression == 2) {
        pixels += '\0';
        pixels += '\1'; // end of picture
    }

    std::string info;
    Put32(info, headerSize);
    if (os2) {
        Put16(info, uint32_t(img.width));
        Put16(info, uint32_t(img.height));
        Put16(info, 1);
        Put16(info, uint32_t(bpp));
    } else {
        Put32(info, uint32_t(img.width));
        Put32(info, uint32_t(topDown ? -img.height : img.height));
        Put16(info, 1);
        Put16(info, uint32_t(bpp));
        Put32(info, compression);
        Put32(info, uint32_t(pixels.size()));
        Put32(info, 2835);
        Put32(info, 2835);
        Put32(info, uint32_t(tableColours));
        Put32(info, 0);
        if (headerSize >= 108) {
            bool masks = compression == 3;
            Put32(info, masks ? 0x00FF0000 : 0);
            Put32(info, masks ? 0x0000FF00 : 0);
            Put32(info, masks ? 0x000000FF : 0);
            Put32(info, masks ? 0xFF000000 : 0);
            Put32(info, 0x73524742); // 'sRGB'
            info.append(36 + 12, '\0');
            if (headerSize == 124)
                info.append(16, '\0');
        }
    }
    if (masksBytes != 0) {
        Put32(info, 0xF800);
        Put32(info, 0x07E0);
        Put32(info, 0x001F);
    }
    std::string pal;
    for (size_t i = 0; i < tableColours; ++i) {
        uint32_t p = i < palette.size() ? palette[i] : 0;
        pal += char(p & 0xFF), pal += char(p >> 8 & 0xFF), pal += char(p >> 16 & 0xFF);
        if (!os2)
            pal += '\0';
    }
    std::string file = "BM";
    const uint32_t offBits = uint32_t(14 + info.size() + pal.size());
    Put32(file, uint32_t(offBits + pixels.size()));
    Put32(file, 0);
    Put32(file, offBits);
    return file + info + pal + pixels;
}

// A picture with a few colours in a pattern that tells rows, columns and orientation apart.
inline Image Pattern(int width, int height, size_t colours) {
    static const uint32_t kColours[] = {0xFFFFFF, 0x000000, 0xFF0000, 0x00FF00,
                                        0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF};
    Image img{width, height, std::vector<uint32_t>(size_t(width) * size_t(height))};
    size_t n = std::min<size_t>(colours == 0 ? 8 : colours, 8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.pixels[size_t(y) * size_t(width) + size_t(x)] =
                kColours[(size_t(x) + size_t(y) * 3 + size_t(x / 3)) % n];
    return img;
}

inline Image Solid(int width, int height, uint32_t rgb) {
    return Image{width, height, std::vector<uint32_t>(size_t(width) * size_t(height), rgb)};
}

// A study file: some data, the marker, then the picture.
inline std::string Study(const std::string& picture, const std::string& data = "QZT study data\n") {
    return data + "<THUMBNAIL>" + picture;
}

} // namespace bmp
