// Writes the bundled sample files: studies with and without a picture, and projects naming them.
#include "support/BmpWriter.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A shaded plate with a coloured part on it, so that thumbnails are easy to tell apart.
bmp::Image Picture(int width, int height, uint32_t part, int shape) {
    bmp::Image img = bmp::Solid(width, height, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int shade = 200 + 40 * y / height;
            uint32_t p = uint32_t(shade) << 16 | uint32_t(shade) << 8 | uint32_t(std::min(255, shade + 15));
            double dx = (x - width / 2.0) / (width / 3.0), dy = (y - height / 2.0) / (height / 3.0);
            bool inside = shape == 0   ? dx * dx + dy * dy < 1.0
                          : shape == 1 ? std::abs(dx) < 1.2 && std::abs(dy) < 0.35
                                       : std::abs(dx) + std::abs(dy) < 1.0;
            if (inside) {
                double light = 0.6 + 0.4 * (1.0 - (dx + dy + 2.0) / 4.0);
                auto channel = [&](int s) {
                    return uint32_t(std::min(255.0, ((part >> s) & 0xFF) * light)) << s;
                };
                p = channel(16) | channel(8) | channel(0);
            }
            img.pixels[size_t(y) * size_t(width) + size_t(x)] = p;
        }
    }
    return img;
}

void Write(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_samples FOLDER\n");
        return 2;
    }
    std::filesystem::path out(argv[1]);
    std::filesystem::create_directories(out);
    const std::string data = "QZT 1.0\nanalysis: linear static\nnodes 1200 elements 950\n";
    Write(out / "plate.qzt",
          bmp::Study(bmp::Encode(Picture(320, 240, 0xD04020, 0), bmp::Variant::Rgb24), data));
    Write(out / "beam.qzt",
          bmp::Study(bmp::Encode(Picture(320, 240, 0x2060D0, 1), bmp::Variant::Rgb24), data));
    Write(out / "bracket.qzt",
          bmp::Study(bmp::Encode(Picture(240, 320, 0x30A040, 2), bmp::Variant::Rgb24), data));
    Write(out / "plate-plain.qzt", data + "no picture was stored with this study\n");
    Write(out / "project-one.kpv", "PROJECT one study\nSTUDY \"plate.qzt\"\n");
    Write(out / "project-three.kpz",
          "PROJECT three studies\nSTUDY \"plate.qzt\"\nSTUDY beam.qzt\nSTUDY bracket.qzt\n");
    return 0;
}
