#include "TestUtil.h"

#include <cstdio>
#include <cstring>

using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string InfoJson(const std::string& path) {
    FILE* pipe = ::popen((std::string(TARNEL_BINARY) + " info --json '" + path + "'").c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe))
        out.append(buf, n);
    ::pclose(pipe);
    return out;
}

} // namespace

TEST(HostMeshInfo, ReportsFormatAndCountsBeforeAndAfterMerging) {
    TempDir dir;
    WriteFile(dir / "Quad.STL", "solid quad\n"
                                "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
                                "vertex 1 0 0\nvertex 1 1 0\nvertex 0 1 0\nvertex 5 5 5\n"
                                "endsolid\n");
    std::string out = InfoJson(dir / "Quad.STL");
    EXPECT_NE(
        out.find("\"mesh_format\": \"ascii\", \"points_read\": 7, \"triangles_read\": 2, \"points\": 4, "
                 "\"triangles\": 2"),
        std::string::npos)
        << out;
    std::string binary(80, ' ');
    binary += std::string("\x01\x00\x00\x00", 4) + std::string(50, '\0');
    binary[84 + 12 + 3] = '\x80'; // -0.0 as the first corner's x
    WriteFile(dir / "one.tvx", binary);
    out = InfoJson(dir / "one.tvx");
    EXPECT_NE(
        out.find("\"mesh_format\": \"binary\", \"points_read\": 3, \"triangles_read\": 1, \"points\": 1, "
                 "\"triangles\": 0"),
        std::string::npos)
        << out;
    for (std::string other : {dir / "plan.kpv", dir / "missing.stl"}) {
        out = InfoJson(other);
        EXPECT_NE(
            out.find("\"mesh_format\": null, \"points_read\": null, \"triangles_read\": null, \"points\": "
                     "null, \"triangles\": null"),
            std::string::npos)
            << out;
    }
}
