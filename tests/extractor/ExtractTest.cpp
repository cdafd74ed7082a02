#include "Extractor.h"
#include "TestUtil.h"

#include <sys/stat.h>

using testutil::TempDir;
using testutil::Wide;
using testutil::WriteFile;

namespace {

const HRESULT kIconOnly = HRESULT(0xFFFFFFFF);

// Paths of Extract that end without a picture from a source: the file's icon where it has one, else
// nothing. Every path must get there without a crash and leave nothing behind.
class ExtractPaths : public ::testing::Test {
protected:
    void SetUp() override { before = LiveObjects::Now(); }
    void TearDown() override { EXPECT_EQ(LiveObjects::Now(), before); }
    HRESULT Run(const std::string& path, SIZE size = {96, 96}) {
        Extractor x;
        HRESULT hr = x.Run(Wide(path), size);
        // A bitmap comes exactly with a picture or the icon, at the requested size.
        EXPECT_EQ(x.bitmap != nullptr, hr == kIconOnly || hr == S_OK) << path;
        if (x.bitmap != nullptr) {
            BITMAP bm{};
            ::GetObjectW(x.bitmap, sizeof bm, &bm);
            EXPECT_EQ(bm.bmWidth, size.cx);
            EXPECT_EQ(bm.bmHeight, size.cy);
            ::DeleteObject(x.bitmap);
        }
        return hr;
    }
    TempDir dir;
    LiveObjects before;
};

TEST_F(ExtractPaths, NullOutPointerFailsAtOnce) {
    Extractor x;
    EXPECT_EQ(x.extract->Extract(nullptr), E_FAIL);
}

TEST_F(ExtractPaths, StudiesAndOtherFilesWithoutASource) {
    WriteFile(dir / "plate.qzt", "no picture");
    WriteFile(dir / "gear.stl", "solid x\nendsolid x\n");
    EXPECT_EQ(Run(dir / "plate.qzt"), kIconOnly);
    EXPECT_EQ(Run(dir / "gear.stl"), S_OK) << "a mesh without triangles is drawn as background";
    EXPECT_EQ(Run(dir / "missing.qzt"), E_FAIL) << "a missing file has no icon either";
    EXPECT_EQ(Run(""), E_FAIL);
}

TEST_F(ExtractPaths, ProjectsWithNoneOneAndManyStudies) {
    WriteFile(dir / "none.kpv", "no study lines\n");
    WriteFile(dir / "one.kpv", "STUDY a.qzt\n");
    WriteFile(dir / "five.kpz", "STUDY a.qzt b.qzt c.qzt d.qzt e.qzt\n");
    WriteFile(dir / "a.qzt", "no picture");
    for (const char* name : {"none.kpv", "one.kpv", "five.kpz"}) {
        EXPECT_EQ(Run(dir / name), kIconOnly) << name;
        EXPECT_EQ(Run(dir / name, {121, 97}), kIconOnly) << name;
    }
}

TEST_F(ExtractPaths, MontageSizesThatCannotBeDrawnIntoFailCleanly) {
    WriteFile(dir / "two.kpv", "STUDY a.qzt b.qzt\n");
    for (SIZE size : {SIZE{0, 0}, SIZE{-5, 10}, SIZE{100000, 100000}, SIZE{INT32_MAX, INT32_MAX}})
        EXPECT_EQ(Run(dir / "two.kpv", size), E_FAIL) << size.cx << "x" << size.cy;
    EXPECT_EQ(Run(dir / "two.kpv", {1, 1}), kIconOnly) << "cells of 0 x 0 give nothing; the icon, clipped";
}

TEST_F(ExtractPaths, ProjectsThatCannotBeReadGoStraightToTheFallback) {
    std::filesystem::create_directories(dir / "folder.kpv");
    ASSERT_EQ(::mkfifo((dir / "fifo.kpv").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.qzt").c_str(), 0600), 0);
    WriteFile(dir / "names-fifo.kpv", "STUDY fifo.qzt fifo.qzt\n");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.kpv");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.qzt");
    WriteFile(dir / "names-zero.kpv", "STUDY zero.qzt\n");
    // Each returns at once with the icon of what the path names: a FIFO or device is never read.
    EXPECT_EQ(Run(dir / "missing.kpv"), E_FAIL);
    for (const char* name :
         {"folder.kpv", "fifo.kpv", "fifo.qzt", "names-fifo.kpv", "zero.kpv", "zero.qzt", "names-zero.kpv"})
        EXPECT_EQ(Run(dir / name), kIconOnly) << name;
    EXPECT_EQ(Run("/dev/null"), kIconOnly);
}

TEST_F(ExtractPaths, TheObjectKeepsItsInputsAcrossCalls) {
    WriteFile(dir / "one.kpv", "STUDY a.qzt\n");
    Extractor x;
    EXPECT_EQ(x.Run(Wide(dir / "missing.kpv"), {64, 64}), E_FAIL);
    HBITMAP again = reinterpret_cast<HBITMAP>(0x1);
    EXPECT_EQ(x.extract->Extract(&again), E_FAIL);
    EXPECT_EQ(again, nullptr) << "the out-value is set to null first";
    EXPECT_EQ(x.Run(Wide(dir / "one.kpv"), {64, 64}), kIconOnly);
    ::DeleteObject(x.bitmap);
}

} // namespace
