#include "Command.h"
#include "TestUtil.h"
#include "support/BmpWriter.h"

#include "host/Settings.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using tarnel::settings::ParseByteSize;
using tarnel::settings::ReadSettingsText;
using tarnel::settings::Settings;
using testutil::TempDir;
using testutil::WriteFile;

TEST(Settings, SizesAreReadAsPeopleWriteThem) {
    unsigned long long bytes = 0;
    const std::pair<const char*, unsigned long long> good[] = {
        {"1048576", 1048576}, {"20 MiB", 20ull << 20}, {"1.5GiB", 3ull << 29}, {"64k", 65536}, {"none", 0}};
    for (const auto& [text, expected] : good) {
        EXPECT_TRUE(ParseByteSize(text, bytes)) << text;
        EXPECT_EQ(bytes, expected) << text;
    }
    for (const char* bad : {"", "0", "-5", "2 GiB", "10 MB", "ten", "nan", "1e300"})
        EXPECT_FALSE(ParseByteSize(bad, bytes)) << bad;
}

// The first file to give a key wins; a line that cannot be taken is named by file and line, and the key then
// keeps what a later file gives.
TEST(Settings, TheFirstFileWinsAndBadLinesAreNamedAndPassedOver) {
    Settings s;
    ReadSettingsText(
        "# mine\n[Thumbnails]\nSizeLimit=lots\nTimeout = 3\nFormats=qzt;.KPV;stl;qzt\nColour=red\n"
        "TransparentMeshes=maybe\n",
        "user.conf", s);
    ReadSettingsText("[Thumbnails]\nSizeLimit=50 MiB\nTimeout=20\nMemory=512\nTransparentMeshes=true\n"
                     "[Other]\nx=1\n",
                     "system.conf", s);
    ASSERT_TRUE(s.sizeLimit && s.timeout && s.memoryMiB && s.formats && s.transparentMeshes);
    EXPECT_EQ(s.sizeLimit->value, 50ull << 20);
    EXPECT_EQ(s.sizeLimit->origin, "system.conf:2");
    EXPECT_EQ(s.timeout->value, 3);
    EXPECT_EQ(s.timeout->origin, "user.conf:4");
    EXPECT_EQ(s.memoryMiB->value, 512);
    EXPECT_EQ(s.formats->value, (std::vector<std::string>{".qzt", ".kpv", ".stl"}));
    EXPECT_TRUE(s.transparentMeshes->value);
    ASSERT_EQ(s.problems.size(), 4u);
    EXPECT_EQ(s.problems[0].rfind("user.conf:3: SizeLimit 'lots' is not a size", 0), 0u) << s.problems[0];
    EXPECT_EQ(s.problems[1].rfind("user.conf:6: unknown key 'Colour'", 0), 0u) << s.problems[1];
    EXPECT_EQ(s.problems[2].rfind("user.conf:7: TransparentMeshes 'maybe'", 0), 0u) << s.problems[2];
    EXPECT_EQ(s.problems[3].rfind("system.conf:6: unknown group 'Other'", 0), 0u) << s.problems[3];

    Settings other;
    ReadSettingsText("SizeLimit=1\n[Thumbnails]\nFormats=qzt;doc\nnonsense\n", "f", other);
    EXPECT_FALSE(other.sizeLimit) << "a key before the group is not taken";
    EXPECT_FALSE(other.formats) << "a list with an extension that is not the suite's is not taken";
    EXPECT_EQ(other.problems.size(), 3u);
}

// The command reads the file that TARNEL_SETTINGS names: its size limit goes to the system, which words the
// refusal with the setting's place; the environment's own limit beats it; a bad line costs one message and
// no picture.
TEST(Settings, TheSizeLimitReachesTheSystemAndTheEnvironmentBeatsIt) {
    TempDir dir;
    const std::string study = dir / "s.qzt";
    WriteFile(study,
              bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0xFF), bmp::Variant::Rgb24), std::string(3000, 'x')));
    const std::string conf = dir / "tarnel.conf";
    WriteFile(conf, "[Thumbnails]\nSizeLimit=2 KiB\nMemory=nope\n");
    const std::string run = "TARNEL_SETTINGS=" + conf + " " + TARNEL_BINARY + " ";
    const std::string module = std::string(" --module ") + TARNEL_MODULE + " ";
    testutil::CommandResult r =
        testutil::RunCommand(run + "thumbnail" + module + study + " - 2>&1 >/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tarnel thumbnail: settings: " + conf +
                         ":3: Memory 'nope' is not a whole number of MiB; the line is ignored\n"
                         "tarnel: no picture for " +
                         study + ": over the size limit of 2048 bytes (SizeLimit in " + conf + ":2)\n");
    r = testutil::RunCommand(run + "info " + study);
    EXPECT_NE(r.out.find("size limit: 2048 bytes (from " + conf + ":2)\n"), std::string::npos) << r.out;
    r = testutil::RunCommand("TARNEL_SIZE_LIMIT=100000 " + run + "thumbnail" + module + study +
                             " - 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    WriteFile(conf, "[Thumbnails]\nSizeLimit=none\n");
    EXPECT_EQ(testutil::RunCommand(run + "thumbnail" + module + study + " - >/dev/null").status, 0);
}

// With the settings' Formats, `tarnel cache` leaves out the extensions another thumbnailer is to have.
TEST(Settings, CacheLeavesFormatsThatAreOffToOthers) {
    TempDir dir;
    WriteFile(dir / "f/a.qzt", bmp::Study(bmp::Encode(bmp::Solid(8, 8, 0xFF), bmp::Variant::Rgb24)));
    WriteFile(dir / "f/b.stl", "solid s\nendsolid s\n");
    WriteFile(dir / "tarnel.conf", "[Thumbnails]\nFormats=qzt;kpv;kpz\n");
    testutil::CommandResult r = testutil::RunCommand(
        "TARNEL_SETTINGS=" + (dir / "tarnel.conf") + " XDG_CACHE_HOME=" + (dir / "cache") + " " +
        TARNEL_BINARY + " cache --verbose --module " + TARNEL_MODULE + " " + (dir / "f") + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(
        r.out.find("skipped (left to other thumbnailers by the settings' Formats) " + (dir / "f/b.stl")),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1 made"), std::string::npos) << r.out;
}

struct Rgba {
    png_uint_32 width = 0, height = 0;
    std::vector<unsigned char> pixels;
    bool alpha = false;
};

bool ReadPng(const std::string& path, Rgba& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return false;
    image.alpha = (png.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    png.format = PNG_FORMAT_RGBA;
    image.width = png.width;
    image.height = png.height;
    image.pixels.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr) != 0;
}

// A sphere of many triangles: its rim, seen edge-on, is shaded close to black.
std::string Sphere() {
    std::string stl = "solid sphere\n";
    const int n = 24;
    auto at = [&](int i, int j) {
        const double t = M_PI * i / n, p = 2 * M_PI * j / n;
        return std::to_string(std::sin(t) * std::cos(p)) + " " + std::to_string(std::sin(t) * std::sin(p)) +
               " " + std::to_string(std::cos(t));
    };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            for (const auto& tri : {std::array{at(i, j), at(i + 1, j), at(i + 1, j + 1)},
                                    std::array{at(i, j), at(i + 1, j + 1), at(i, j + 1)}}) {
                stl += "facet normal 0 0 0\nouter loop\n";
                for (const std::string& v : tri)
                    stl += "vertex " + v + "\n";
                stl += "endloop\nendfacet\n";
            }
    return stl + "endsolid sphere\n";
}

// TransparentMeshes: the background the render never covered is transparent, and nothing else is: the
// faces shaded black stay opaque, since the render's own coverage decides, not the colour. Without the
// setting the picture is the system's own, on black.
TEST(Settings, TransparentMeshesKeepTheirDarkFaces) {
    TempDir dir;
    WriteFile(dir / "sphere.stl", Sphere());
    WriteFile(dir / "on.conf", "[Thumbnails]\nTransparentMeshes=true\n");
    WriteFile(dir / "off.conf", "[Thumbnails]\nTransparentMeshes=false\n");
    const std::string thumbnail = std::string(" ") + TARNEL_BINARY + " thumbnail --module " + TARNEL_MODULE +
                                  " " + (dir / "sphere.stl") + " ";
    if (testutil::RunCommand("TARNEL_SETTINGS=" + (dir / "on.conf") + thumbnail + (dir / "on.png")).status !=
        0)
        GTEST_SKIP() << "meshes need off-screen OpenGL";
    ASSERT_EQ(
        testutil::RunCommand("TARNEL_SETTINGS=" + (dir / "off.conf") + thumbnail + (dir / "off.png")).status,
        0);
    Rgba on, off;
    ASSERT_TRUE(ReadPng(dir / "on.png", on));
    ASSERT_TRUE(ReadPng(dir / "off.png", off));
    EXPECT_TRUE(on.alpha);
    EXPECT_FALSE(off.alpha);
    ASSERT_EQ(on.pixels.size(), off.pixels.size());
    size_t transparent = 0, opaque = 0, darkOpaque = 0;
    for (size_t i = 0; i < on.pixels.size(); i += 4) {
        const unsigned char* p = &on.pixels[i];
        const unsigned char* q = &off.pixels[i];
        const unsigned brightest = std::max({p[0], p[1], p[2]});
        EXPECT_TRUE(std::equal(p, p + 3, q)) << "the colours are the system's picture, at " << i / 4;
        if (p[3] == 0) {
            ++transparent;
            EXPECT_EQ(brightest, 0u) << "only the black background goes, at " << i / 4;
        } else if (p[3] == 255) {
            ++opaque;
            darkOpaque += brightest < 32;
        }
    }
    EXPECT_EQ(transparent + opaque, size_t(on.width) * on.height) << "coverage is all or nothing";
    EXPECT_GT(transparent, on.pixels.size() / 4 / 4) << "the corners are background";
    EXPECT_GT(opaque, on.pixels.size() / 4 / 8) << "the sphere is drawn";
    EXPECT_GT(darkOpaque, 0u)
        << "faces shaded close to black must stay: a key on dark colours would lose them";
}

} // namespace

namespace {

// `tarnel why` on the cases a desktop user meets: a type another program's entry claims first, a study that
// the system takes for a mesh by its folder's name, a file over the limit, a project with a study gone.
TEST(Why, TellsWhatDecidedEachFile) {
    TempDir dir;
    WriteFile(dir / "data/thumbnailers/another.thumbnailer",
              "[Thumbnailer Entry]\nExec=other-thumbnailer %i %o\nMimeType=model/stl;\n");
    WriteFile(dir / "data/thumbnailers/tarnel.thumbnailer",
              "# tarnel's thumbnailer entry\n[Thumbnailer Entry]\nExec=tarnel thumbnail %i %o\n"
              "MimeType=application/x-tarnel-study;model/stl;\n");
    WriteFile(dir / "part.stl", "solid s\nendsolid s\n");
    const std::string study = bmp::Study(bmp::Encode(bmp::Solid(40, 30, 0xFF), bmp::Variant::Rgb24));
    WriteFile(dir / "parts.stl.d/beam.qzt", study);
    WriteFile(dir / "big.qzt", study + std::string(3 << 20, 'x'));
    WriteFile(dir / "kept.qzt", study);
    WriteFile(dir / "moved.kpz", "STUDY \"kept.qzt\"\nSTUDY \"gone.qzt\"\n");
    const std::string run = "XDG_DATA_HOME=" + (dir / "data") +
                            " XDG_DATA_DIRS=/nonexistent XDG_CACHE_HOME=" + (dir / "cache") + " " +
                            TARNEL_BINARY + " why ";
    testutil::CommandResult r =
        testutil::RunCommand(run + (dir / "part.stl") + " " + (dir / "parts.stl.d/beam.qzt") + " " +
                             (dir / "big.qzt") + " " + (dir / "moved.kpz"));
    EXPECT_EQ(r.status, 0) << r.out;
    const auto has = [&](const std::string& text) { return r.out.find(text) != std::string::npos; };
    EXPECT_TRUE(has("  thumbnailer: " + (dir / "data/thumbnailers/another.thumbnailer") +
                    " (another program's: other-thumbnailer %i %o)\n    then, unused: " +
                    (dir / "data/thumbnailers/tarnel.thumbnailer") + " (tarnel's)\n"))
        << r.out;
    EXPECT_TRUE(has("  mesh: the mesh holds no triangles\n")) << r.out;
    EXPECT_TRUE(has("  kind: mesh, by the path's part parts.stl.d\n")) << r.out;
    EXPECT_TRUE(has("over the limit of 2097152 bytes (the default)")) << r.out;
    EXPECT_TRUE(has("  study: " + (dir / "kept.qzt") + "\n")) << r.out;
    EXPECT_TRUE(has("/gone.qzt (missing)\n")) << r.out;
    EXPECT_TRUE(has("  extraction now: no picture: over the size limit of 2097152 bytes")) << r.out;

    r = testutil::RunCommand(run + "--json " + (dir / "moved.kpz") + " " + (dir / "nothing.qzt"));
    EXPECT_EQ(r.status, 1) << "a file that is not there";
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_TRUE(has("\"missing\": true}")) << r.out;
    EXPECT_TRUE(has("\"error\": \"not found\"}")) << r.out;
}

} // namespace
