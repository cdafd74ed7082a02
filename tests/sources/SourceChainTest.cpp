#include "TestUtil.h"

#include "extractor/TarnelEx.h"
#include "sources/SourceChain.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::Wide;

namespace {

void MakeFileOfSize(const std::string& path, std::int64_t size) {
    testutil::WriteFile(path, "");
    std::filesystem::resize_file(path, uintmax_t(size));
}

class SizeLimit : public ::testing::Test {
protected:
    bool Allowed(std::int64_t size) {
        std::string path = dir / ("f" + std::to_string(size) + ".qzt");
        MakeFileOfSize(path, size);
        return IsFileSizeAllowed(Wide(path).c_str());
    }
    TempDir dir;
    ScopedEnv ignore{"TARNEL_IGNORE_SIZE", std::nullopt};
    ScopedEnv limit{"TARNEL_SIZE_LIMIT", std::nullopt};
};

TEST_F(SizeLimit, DefaultIsTwoMebibytesInclusive) {
    EXPECT_TRUE(Allowed(2097152));
    EXPECT_FALSE(Allowed(2097153));
    EXPECT_FALSE(Allowed(3000000));
    EXPECT_TRUE(Allowed(0));
    EXPECT_FALSE(IsFileSizeAllowed(Wide(dir / "missing.qzt").c_str()));
}

TEST_F(SizeLimit, LimitVariableReadAsAtoiWithItsBitPatternUnsigned) {
    struct Case {
        const char* value;
        std::int64_t size;
        bool allowed;
    } cases[] = {
        {"0", 0, true},
        {"0", 1, false},
        {"word", 0, true},
        {"word", 1, false},
        {"", 0, true},
        {"", 1, false},
        {"10000000", 10000000, true},
        {"10000000", 10000001, false},
        {"-1", 50000000, true},
        {"  42xyz", 42, true},
        {"  42xyz", 43, false},
        {"+7", 7, true},
        {"99999999999", 2147483647, true}, // saturates at the int range
        {"99999999999", 2147483648, false},
    };
    for (const Case& c : cases) {
#ifdef _WIN32
        if (*c.value == 0)
            continue; // Windows' runtime keeps no variable with an empty value: setting one removes it
#endif
        ScopedEnv env("TARNEL_SIZE_LIMIT", c.value);
        EXPECT_EQ(Allowed(c.size), c.allowed) << "limit '" << c.value << "', size " << c.size;
    }
    ScopedEnv env("TARNEL_SIZE_LIMIT", "-1");
    EXPECT_EQ(GetSizeLimit(), 4294967295u);
}

TEST_F(SizeLimit, IgnoreVariableSwitchesTheCheckOffUnlessZero) {
#ifdef _WIN32
    for (const char* value : {"0", "word"}) { // no variable with an empty value there
#else
    for (const char* value : {"0", "word", ""}) {
#endif
        ScopedEnv env("TARNEL_IGNORE_SIZE", value);
        EXPECT_FALSE(Allowed(3000000)) << value;
    }
    for (const char* value : {"1", "-5", " 3 apples"}) {
        ScopedEnv env("TARNEL_IGNORE_SIZE", value);
        EXPECT_TRUE(Allowed(50000000)) << value;
        EXPECT_TRUE(IsFileSizeAllowed(L"/no/such/file.qzt")) << "the file need not exist";
    }
}

TEST(RuntimeAtoi, ParsesAsTheRuntimeDoes) {
    EXPECT_EQ(RuntimeAtoi(" \t\n-12ab"), -12);
    EXPECT_EQ(RuntimeAtoi("- 1"), 0);
    EXPECT_EQ(RuntimeAtoi("2147483647"), 2147483647);
    EXPECT_EQ(RuntimeAtoi("-2147483648"), INT32_MIN);
    EXPECT_EQ(RuntimeAtoi("-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(RuntimeAtoi(nullptr), 0);
}

TEST(MeshTest, ExtensionTextAnywhereWithoutRegardToCase) {
    EXPECT_TRUE(IsMeshFile(L"/x/gear.STL"));
    EXPECT_TRUE(IsMeshFile(L"/x/gear.stl.old"));
    EXPECT_TRUE(IsMeshFile(L"/x/old.stl files/plate.qzt"));
    EXPECT_TRUE(IsMeshFile(L"a.tvx"));
    EXPECT_TRUE(IsMeshFile(L"a.Ybr"));
    EXPECT_FALSE(IsMeshFile(L"/x/gear.st"));
    EXPECT_FALSE(IsMeshFile(nullptr));
}

TEST(SourceChain, NullPathFilesOverTheLimitAndMeshNamedFoldersGiveNothing) {
    ScopedEnv limit("TARNEL_SIZE_LIMIT", "10");
    TempDir dir;
    testutil::WriteFile(dir / "big.stl", std::string(11, 'x'));
    SIZE size = {64, 64};
    EXPECT_EQ(CTarnelEx::GetThumbnailBitmap(nullptr, size), nullptr);
    EXPECT_EQ(CTarnelEx::GetThumbnailBitmap(Wide(dir / "big.stl").c_str(), size), nullptr);
    // A folder or FIFO named like a mesh has a status but nothing to draw, with the size check off too.
    ScopedEnv ignore("TARNEL_IGNORE_SIZE", "1");
    std::filesystem::create_directories(dir / "folder.stl");
#ifdef _WIN32
    for (const char* name : {"folder.stl"}) // Windows has no FIFO in a folder
#else
    ASSERT_EQ(::mkfifo((dir / "fifo.stl").c_str(), 0600), 0);
    for (const char* name : {"folder.stl", "fifo.stl"})
#endif
        EXPECT_EQ(CTarnelEx::GetThumbnailBitmap(Wide(dir / name).c_str(), size), nullptr) << name;
}

} // namespace
