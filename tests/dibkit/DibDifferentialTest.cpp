// Our GDI's decoding of BMP files against gdk-pixbuf's, file by file: the BMPs of the fuzz corpus, every
// variant the writer makes in colours that use all of each format's bits, and files made for the corners
// (run codes that move, skip and overrun, indices past the colour table, masks of odd widths). Any difference
// that is not listed here, with the reason ours is right, fails the test.
#include "TestUtil.h"
#include "support/BitmapPixels.h"
#include "support/BmpWriter.h"

#include "dibkit/dibkit.h"
#include "wingdi.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <array>
#include <fstream>
#include <optional>
#include <sstream>

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

using testutil::Picture;

std::optional<Picture> DecodeWithPixbuf(const std::string& bytes) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("bmp", nullptr);
    if (loader == nullptr)
        return std::nullopt;
    bool ok =
        gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
    ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    std::optional<Picture> picture;
    if (pixbuf != nullptr) {
        Picture p{gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf), {}};
        const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
        const guchar* px = gdk_pixbuf_read_pixels(pixbuf);
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                const guchar* q = px + ptrdiff_t(y) * stride + ptrdiff_t(x) * channels;
                p.px.push_back(uint32_t(q[0]) << 16 | uint32_t(q[1]) << 8 | q[2]);
            }
        picture = std::move(p);
    }
    g_object_unref(loader);
    return picture;
}

// Through the system's own path: CDIB, then the picture drawn at its own size.
std::optional<Picture> DecodeWithGdi(const std::string& bytes) {
    TempDir dir;
    WriteFile(dir / "p.bmp", bytes);
    CDIB dib(Wide(dir / "p.bmp").c_str());
    if (dib.GetSafeHandle() == nullptr)
        return std::nullopt;
    HBITMAP h = dib.GetBitmap(dib.GetWidth(), dib.GetHeight());
    if (h == nullptr)
        return std::nullopt;
    Picture p = testutil::ReadBitmap(h);
    ::DeleteObject(h);
    return p;
}

std::string Describe(const std::optional<Picture>& p) {
    if (!p)
        return "no picture";
    return std::to_string(p->width) + "x" + std::to_string(p->height);
}

// How the two decoders' answers for one file differ; empty when they agree.
std::string Difference(const std::optional<Picture>& ours, const std::optional<Picture>& theirs) {
    if (!ours || !theirs || ours->width != theirs->width || ours->height != theirs->height)
        return (ours.has_value() || theirs.has_value())
                   ? "ours " + Describe(ours) + ", gdk-pixbuf's " + Describe(theirs)
                   : "";
    size_t differing = 0, first = 0;
    for (size_t i = ours->px.size(); i-- > 0;)
        if (ours->px[i] != theirs->px[i])
            ++differing, first = i;
    if (differing == 0)
        return "";
    std::ostringstream s;
    s << differing << " pixels differ, first at (" << first % size_t(ours->width) << ","
      << first / size_t(ours->width) << "): ours " << std::hex << ours->px[first] << ", gdk-pixbuf's "
      << theirs->px[first];
    return s.str();
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + size_t(i)] = char(v >> (8 * i));
}

// A bottom-up 8-bit BMP of w x h with the given colour table and run codes.
std::string RleFile(int w, int h, const std::vector<uint32_t>& table, const std::string& codes, bool four) {
    std::string s(54, '\0');
    s[0] = 'B', s[1] = 'M';
    for (uint32_t c : table)
        for (int i = 0; i < 4; ++i)
            s += char(i < 3 ? c >> (8 * i) : 0);
    const size_t offBits = s.size();
    s += codes;
    Put32(s, 2, uint32_t(s.size()));
    Put32(s, 10, uint32_t(offBits));
    Put32(s, 14, 40);
    Put32(s, 18, uint32_t(w));
    Put32(s, 22, uint32_t(h));
    s[26] = 1;
    s[28] = char(four ? 4 : 8);
    Put32(s, 30, four ? BI_RLE4 : BI_RLE8);
    Put32(s, 34, 0); // image size left 0, as many writers do
    Put32(s, 46, uint32_t(table.size()));
    return s;
}

// Files for the corners, each with what it shows.
std::vector<std::pair<std::string, std::string>> CornerFiles() {
    using namespace std::string_literals;
    std::vector<std::pair<std::string, std::string>> files;
    const std::vector<uint32_t> table = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    // A move right and up, then a run; rows ended early and the picture's end before the last row.
    files.emplace_back(
        "rle8-delta",
        RleFile(8, 4, table, "\x02\x01\x00\x02\x03\x01\x02\x02\x00\x00\x08\x03\x00\x01"s, false));
    // A run and a literal longer than the row: the pixels past its end are dropped.
    files.emplace_back(
        "rle8-overrun",
        RleFile(4, 2, table, "\x06\x01\x00\x00\x00\x05\x01\x02\x03\x01\x02\x00\x00\x01"s, false));
    // A four-bit literal run longer than the row: ours drops the pixels past its end, as for every run.
    files.emplace_back("rle4-literal-overrun",
                       RleFile(7, 2, table, "\x00\x08\x01\x23\x01\x23\x00\x00\x07\x02\x00\x01"s, true));
    // Literal runs of odd length in four-bit codes, padded to 16 bits.
    files.emplace_back("rle4-literals",
                       RleFile(7, 2, table, "\x00\x03\x12\x30\x04\x21\x00\x00\x07\x03\x00\x01"s, true));
    // An index past the colour table's two entries.
    files.emplace_back("rle8-past-table",
                       RleFile(4, 1, {0xFF0000, 0x00FF00}, "\x02\x01\x02\x03\x00\x01"s, false));
    // Every 5-bit level of the three channels, in 5-5-5 and 5-6-5.
    for (bmp::Variant v : {bmp::Variant::Rgb555, bmp::Variant::Rgb565}) {
        bmp::Image ramp = bmp::Solid(32, 3, 0);
        for (int x = 0; x < 32; ++x)
            for (int c = 0; c < 3; ++c)
                ramp.pixels[size_t(c) * 32 + size_t(x)] = uint32_t(x * 255 / 31) << (8 * (2 - c));
        files.emplace_back(std::string("ramp-") + bmp::Name(v), bmp::Encode(ramp, v));
    }
    // 32 bits with masks of 10 bits a channel (the two top bits unused).
    std::string wide = bmp::Encode(bmp::Pattern(5, 3, 0), bmp::Variant::V5Rgb32);
    Put32(wide, 54, 0x3FF00000), Put32(wide, 58, 0x000FFC00), Put32(wide, 62, 0x000003FF);
    files.emplace_back("masks-10-bit", wide);
    // Masks that break GDI's rule: red's bits not contiguous (0xF8F7), and green sharing a bit with blue.
    for (const auto& [name, masks] :
         {std::pair{"masks-not-contiguous", std::array<uint32_t, 3>{0xF8F7, 0x07E0, 0x001F}},
          {"masks-overlapping", std::array<uint32_t, 3>{0xF800, 0x07F0, 0x001F}},
          {"masks-zero", std::array<uint32_t, 3>{0, 0, 0}},
          {"masks-past-the-pixel", std::array<uint32_t, 3>{0, 0, 0xFFFF0000}},
          {"masks-no-red", std::array<uint32_t, 3>{0, 0x07E0, 0x001F}},
          {"masks-of-few-bits", std::array<uint32_t, 3>{0x0040, 0x0700, 0x001F}}}) {
        std::string odd = bmp::Encode(bmp::Pattern(5, 3, 0), bmp::Variant::Rgb565);
        for (int i = 0; i < 3; ++i)
            Put32(odd, 54 + 4 * size_t(i), masks[size_t(i)]);
        files.emplace_back(name, odd);
    }
    return files;
}

// Where the two decoders differ, and why ours is right.
const std::map<std::string, std::string> kKnownDifferences = {
    // GDI takes bit fields only with each mask's bits contiguous, within the pixel, and no bit in two masks;
    // gdk-pixbuf
    // decodes such files in a way of its own, which no writer of DIBs can have meant, and masks that are
    // all 0 as if they were 5-6-5.
    {"masks-not-contiguous", "ours no picture"},
    {"masks-overlapping", "ours no picture"},
    {"masks-zero", "ours no picture"},
    {"masks-past-the-pixel", "ours no picture"},
    // A mask of 0 with the others valid: ours keeps that channel 0, as the masks say; gdk-pixbuf then takes
    // all three masks as 5-6-5.
    {"masks-no-red", "12 pixels differ"},
    // Fields of fewer than four bits: ours repeats their bits down to eight, so that the largest value is
    // 255 (a one-bit red that is set is 0xFF); gdk-pixbuf shifts them up alone (0x80).
    {"masks-of-few-bits", "8 pixels differ"},
    {"Bitfields-non-contiguous.bmp", "ours no picture"},
    // The header declares 16 colours, but the pixels begin after the fourth: ours reads the pixels where the
    // file says they are and takes the table to end there; gdk-pixbuf reads all 16 colours and then takes
    // the pixels from the bytes after them, which are no pixels at all.
    {"Rle4-table-into-bits.bmp", "6 pixels differ"},
};

TEST(DibDifferential, OursDecodesAsGdkPixbufDoesExceptWhereListed) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(TARNEL_DIB_CORPUS))
        files.emplace_back(entry.path().filename().string(), ReadAll(entry.path()));
    for (bmp::Variant v : bmp::AllVariants())
        for (auto [w, h] : {std::pair{1, 1}, {13, 7}, {64, 3}})
            files.emplace_back(std::string(bmp::Name(v)) + "-" + std::to_string(w) + "x" + std::to_string(h),
                               bmp::Encode(bmp::Pattern(w, h, bmp::MaxColours(v)), v));
    for (auto& file : CornerFiles())
        files.push_back(std::move(file));
    ASSERT_GT(files.size(), 60u);
    for (const auto& [name, why] : kKnownDifferences)
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const auto& f) { return f.first == name; }))
            << name << " is listed but not looked at";

    std::string table;
    size_t bothDecoded = 0;
    for (const auto& [name, bytes] : files) {
        const std::optional<Picture> ours = DecodeWithGdi(bytes), theirs = DecodeWithPixbuf(bytes);
        bothDecoded += ours.has_value() && theirs.has_value();
        const std::string difference = Difference(ours, theirs);
        const auto known = kKnownDifferences.find(name);
        if (difference.empty()) {
            EXPECT_EQ(known, kKnownDifferences.end()) << name << " no longer differs: take it off the list";
            continue;
        }
        table += "  " + name + ": " + difference + "\n";
        if (known == kKnownDifferences.end())
            ADD_FAILURE() << name << ": " << difference;
        else
            EXPECT_EQ(difference.rfind(known->second, 0), 0u) << name << ": " << difference;
    }
    EXPECT_GE(bothDecoded, files.size() - kKnownDifferences.size())
        << "a file that neither decodes shows nothing";
    std::cout << "Differences from gdk-pixbuf:\n" << (table.empty() ? "  none\n" : table);
}

} // namespace
