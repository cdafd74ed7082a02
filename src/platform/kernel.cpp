#include "platform/tarnel/filename.h"
#include "winbase.h"

#include <cerrno>
#include <unistd.h>

using namespace tarnel::plat;

namespace {

constexpr ULONGLONG kTicksPerSecond = 10'000'000;
constexpr ULONGLONG kTicksPerMillisecond = 10'000;

// Days from 1 January 1601 to the given civil date (proleptic Gregorian calendar).
LONGLONG DaysFrom1601(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const LONGLONG daysFrom1970 = era * 146097 + LONGLONG(doe) - 719468;
    return daysFrom1970 + 134774; // 1601-01-01 is 134774 days before 1970-01-01
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

} // namespace

extern "C" {

errno_t _localtime64_s(struct tm* ptm, const __time64_t* ptime) {
    if (ptm == nullptr || ptime == nullptr || *ptime < 0)
        return EINVAL;
    time_t t = time_t(*ptime);
    if (::localtime_r(&t, ptm) == nullptr)
        return EINVAL;
    return 0;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
    if (st == nullptr || ft == nullptr)
        return FALSE;
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999)
        return FALSE;
    unsigned maxDay = kDays[st->wMonth - 1] + (st->wMonth == 2 && IsLeap(st->wYear) ? 1 : 0);
    if (st->wDay > maxDay)
        return FALSE;
    ULONGLONG seconds = ULONGLONG(DaysFrom1601(st->wYear, st->wMonth, st->wDay)) * 86400 +
                        st->wHour * 3600ULL + st->wMinute * 60ULL + st->wSecond;
    ULONGLONG ticks = seconds * kTicksPerSecond + st->wMilliseconds * kTicksPerMillisecond;
    ft->dwLowDateTime = DWORD(ticks);
    ft->dwHighDateTime = DWORD(ticks >> 32);
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
    if (ft == nullptr || st == nullptr)
        return FALSE;
    ULONGLONG ticks = (ULONGLONG(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL)
        return FALSE;
    ULONGLONG ms = ticks / kTicksPerMillisecond;
    LONGLONG days = LONGLONG(ms / 86'400'000ULL);
    ULONGLONG rest = ms % 86'400'000ULL;
    // civil_from_days, counted from 1970-01-01
    LONGLONG z = days - 134774 + 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    st->wYear = WORD(LONGLONG(yoe) + era * 400 + (m <= 2));
    st->wMonth = WORD(m);
    st->wDay = WORD(d);
    st->wDayOfWeek = WORD((days + 1) % 7); // 1 January 1601 was a Monday
    st->wHour = WORD(rest / 3'600'000);
    st->wMinute = WORD(rest / 60'000 % 60);
    st->wSecond = WORD(rest / 1000 % 60);
    st->wMilliseconds = WORD(rest % 1000);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    std::string native;
    if (!ResolveFileName(lpFileName, native))
        return FALSE;
    return ::unlink(native.c_str()) == 0 ? TRUE : FALSE;
}

} // extern "C"
