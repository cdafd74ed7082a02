#include "objbase.h"
#include "platform/tarnel/widestr.h"
#include "stringapiset.h"
#include "winbase.h"

#include <gtest/gtest.h>

namespace {

ULONGLONG Ticks(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(SystemTime, ConvertsToFileTimeAndBack) {
    SYSTEMTIME st = {1970, 1, 4, 1, 0, 0, 0, 0};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Ticks(ft), 116444736000000000ULL); // the Unix epoch
    st = {2020, 6, 1, 15, 14, 30, 5, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(Ticks(ft), 116444736000000000ULL + 1592231405ULL * 10000000ULL);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2020);
    EXPECT_EQ(back.wMonth, 6);
    EXPECT_EQ(back.wDay, 15);
    EXPECT_EQ(back.wDayOfWeek, 1); // a Monday
    EXPECT_EQ(back.wHour, 14);
    EXPECT_EQ(back.wSecond, 5);
}

TEST(SystemTime, RejectsDatesThatDoNotExist) {
    FILETIME ft{};
    SYSTEMTIME bad[] = {{0, 0, 0, 0, 0, 0, 0, 0},     {1600, 12, 0, 31, 0, 0, 0, 0},
                        {2021, 2, 0, 29, 0, 0, 0, 0}, {2020, 13, 0, 1, 0, 0, 0, 0},
                        {2020, 1, 0, 1, 24, 0, 0, 0}, {2020, 1, 0, 1, 0, 0, 60, 0}};
    for (const SYSTEMTIME& st : bad)
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    SYSTEMTIME leap = {2020, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
}

TEST(LocalTime, FollowsTheProcessTimeZone) {
    ::setenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4", 1);
    ::tzset();
    struct tm local {};
    __time64_t t = 1592224205; // 2020-06-15 12:30:05 UTC
    ASSERT_EQ(_localtime64_s(&local, &t), 0);
    EXPECT_EQ(local.tm_hour, 15); // summer time: three hours east
    EXPECT_EQ(_localtime64_s(nullptr, &t), EINVAL);
    ::unsetenv("TZ");
    ::tzset();
}

TEST(Guids, TextFormRoundTrips) {
    WCHAR text[39];
    ASSERT_EQ(StringFromGUID2(IID_IExtractImage, text, 39), 39);
    EXPECT_STREQ(text, L"{BB2E617C-0920-11D1-9A0B-00C04FC2D6C1}");
    CLSID back{};
    ASSERT_EQ(CLSIDFromString(L"{bb2e617c-0920-11d1-9a0b-00c04fc2d6c1}", &back), S_OK);
    EXPECT_TRUE(IsEqualGUID(back, IID_IExtractImage));
    EXPECT_EQ(CLSIDFromString(L"{bb2e617c-0920-11d1-9a0b-00c04fc2d6c}", &back), E_INVALIDARG);
}

TEST(CodePages, WideCharToMultiByteUsesTheFileNameEncoding) {
    char out[16] = {};
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, L"\u00e9a", -1, out, sizeof out, nullptr, nullptr);
    EXPECT_EQ(n, 4);
    EXPECT_STREQ(out, "\xc3\xa9"
                      "a");
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, L"abc", -1, out, 2, nullptr, nullptr), 0) << "too small";
}

} // namespace
