// Writes the bundled sample files: studies with and without a picture, projects naming them, and one part of
// each mesh format (a gear as binary STL, a pipe tee as ASCII STL, an angle bracket as binary .tvx).
#include "support/BmpWriter.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

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

using Vec3 = std::array<float, 3>;
using Triangle = std::array<Vec3, 3>;
using Mesh = std::vector<Triangle>;

Vec3 Normal(const Triangle& t) {
    const Vec3 a{t[1][0] - t[0][0], t[1][1] - t[0][1], t[1][2] - t[0][2]};
    const Vec3 b{t[2][0] - t[0][0], t[2][1] - t[0][1], t[2][2] - t[0][2]};
    Vec3 n{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (float& c : n)
        c = length > 0 ? c / length : 0;
    return n;
}

// A closed prism between z0 and z1 of an outline that runs counter-clockwise seen from +z and that every
// point sees from `centre` (its end faces are fans about it); `place` turns it into position, keeping the
// turn of the axes so that the faces stay outward.
template <typename Place>
void Prism(Mesh& mesh, const std::vector<std::array<float, 2>>& outline, std::array<float, 2> centre,
           float z0, float z1, Place place) {
    const size_t n = outline.size();
    for (size_t i = 0; i < n; ++i) {
        const auto& a = outline[i];
        const auto& b = outline[(i + 1) % n];
        mesh.push_back({place(centre[0], centre[1], z1), place(a[0], a[1], z1), place(b[0], b[1], z1)});
        mesh.push_back({place(centre[0], centre[1], z0), place(b[0], b[1], z0), place(a[0], a[1], z0)});
        mesh.push_back({place(a[0], a[1], z0), place(b[0], b[1], z0), place(b[0], b[1], z1)});
        mesh.push_back({place(a[0], a[1], z0), place(b[0], b[1], z1), place(a[0], a[1], z1)});
    }
}

std::vector<std::array<float, 2>> Circle(float radius, int segments) {
    std::vector<std::array<float, 2>> outline;
    for (int i = 0; i < segments; ++i) {
        const double angle = 2 * std::numbers::pi * i / segments;
        outline.push_back({float(radius * std::cos(angle)), float(radius * std::sin(angle))});
    }
    return outline;
}

// A spur gear of 18 teeth, 10 units thick, centred on the origin.
Mesh Gear() {
    const int teeth = 18;
    std::vector<std::array<float, 2>> outline;
    for (int i = 0; i < teeth * 4; ++i) {
        const double angle = 2 * std::numbers::pi * i / (teeth * 4);
        const double radius = (i % 4 == 1 || i % 4 == 2) ? 50.0 : 42.0;
        outline.push_back({float(radius * std::cos(angle)), float(radius * std::sin(angle))});
    }
    Mesh mesh;
    Prism(mesh, outline, {0, 0}, -5, 5, [](float x, float y, float z) { return Vec3{x, y, z}; });
    Prism(mesh, Circle(18, 48), {0, 0}, -9, 9, [](float x, float y, float z) { return Vec3{x, y, z}; });
    return mesh;
}

// A pipe tee: a run along x and a branch along y, with flanges on the three ends.
Mesh Tee() {
    Mesh mesh;
    const auto alongX = [](float a, float b, float z) { return Vec3{z, a, b}; };
    const auto alongY = [](float a, float b, float z) { return Vec3{b, z, a}; };
    Prism(mesh, Circle(15, 40), {0, 0}, -60, 60, alongX);
    Prism(mesh, Circle(15, 40), {0, 0}, 0, 55, alongY);
    for (float end : {-60.0f, 52.0f})
        Prism(mesh, Circle(24, 40), {0, 0}, end, end + 8, alongX);
    Prism(mesh, Circle(24, 40), {0, 0}, 47, 55, alongY);
    return mesh;
}

// An angle bracket: two plates at a right angle joined by a gusset, with two bolt heads on the base; turned
// half about the vertical so that the gusset faces the viewer of a preview.
Mesh Bracket() {
    Mesh mesh;
    const auto plate = [](float x, float y, float z) { return Vec3{-x, y, -z}; };
    Prism(mesh, {{0, 0}, {80, 0}, {80, 8}, {0, 8}}, {40, 4}, -30, 30, plate); // the base
    Prism(mesh, {{0, 8}, {8, 8}, {8, 70}, {0, 70}}, {4, 39}, -30, 30, plate); // the upright
    Prism(mesh, {{8, 8}, {55, 8}, {8, 55}}, {20, 20}, -3, 3, plate);          // the gusset
    for (float z : {-18.0f, 18.0f}) {
        const auto bolt = [z](float a, float b, float h) { return Vec3{-60 - b, h, -z - a}; };
        Prism(mesh, Circle(7, 6), {0, 0}, 8, 14, bolt);
    }
    return mesh;
}

std::string AsciiFacets(const std::string& name, const Mesh& mesh) {
    std::string out = "solid " + name + "\n";
    char line[160];
    for (const Triangle& t : mesh) {
        const Vec3 n = Normal(t);
        std::snprintf(line, sizeof line, "  facet normal %g %g %g\n    outer loop\n", n[0], n[1], n[2]);
        out += line;
        for (const Vec3& v : t) {
            std::snprintf(line, sizeof line, "      vertex %g %g %g\n", v[0], v[1], v[2]);
            out += line;
        }
        out += "    endloop\n  endfacet\n";
    }
    return out + "endsolid " + name + "\n";
}

// 80 header bytes, the count, then 50 bytes a triangle, little-endian. A byte above 127 in the header makes
// the file binary to the reader whatever the numbers hold.
std::string BinaryFacets(std::string header, const Mesh& mesh) {
    header.resize(80, ' ');
    header[79] = char(0xFF);
    std::string out = header;
    auto put32 = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out += char((v >> (8 * i)) & 0xFF);
    };
    auto putVec = [&](const Vec3& v) {
        for (float c : v) {
            uint32_t bits;
            std::memcpy(&bits, &c, 4);
            put32(bits);
        }
    };
    put32(uint32_t(mesh.size()));
    for (const Triangle& t : mesh) {
        putVec(Normal(t));
        for (const Vec3& v : t)
            putVec(v);
        out += std::string(2, '\0');
    }
    return out;
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
    Write(out / "gear.stl", BinaryFacets("gear, binary STL", Gear()));
    Write(out / "pipe-tee.stl", AsciiFacets("pipe-tee", Tee()));
    Write(out / "angle-bracket.tvx", BinaryFacets("angle bracket, binary TVX", Bracket()));
    return 0;
}
