#include "sources/SourceChain.h"

#include "afxfile.h"
#include "extractor/TarnelEx.h"
#include "sources/EmbeddedThumbnail.h"
#include "sources/MeshPreview.h"

#include <climits>
#include <cstdlib>

int RuntimeAtoi(const char* s) {
    if (s == nullptr)
        return 0;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    long long value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > LLONG_MAX / 100) // far past the int range already: the rest cannot bring it back
            value = LLONG_MAX / 100;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return int(value);
}

bool IsSizeCheckIgnored() {
    const char* ignore = std::getenv("TARNEL_IGNORE_SIZE");
    return ignore != nullptr && RuntimeAtoi(ignore) != 0;
}

ULONG GetSizeLimit(bool* pbFromEnvironment) {
    const char* limit = std::getenv("TARNEL_SIZE_LIMIT");
    if (pbFromEnvironment != nullptr)
        *pbFromEnvironment = limit != nullptr;
    // The value's bit pattern is read as unsigned: -1 is the largest limit.
    return limit != nullptr ? ULONG(RuntimeAtoi(limit)) : kDefaultSizeLimit;
}

bool IsFileSizeAllowed(LPCWSTR lpszPath) {
    if (IsSizeCheckIgnored())
        return true;
    CFileStatus status;
    if (!CFile::GetStatus(lpszPath, status))
        return false;
    return status.m_size <= ULONGLONG(GetSizeLimit());
}

bool NamesFolderOrDevice(LPCWSTR lpszPath) {
    CFileStatus status;
    return CFile::GetStatus(lpszPath, status) &&
           (status.m_attribute & (CFile::directory | CFile::device)) != 0;
}

bool IsMeshFile(LPCWSTR lpszPath) {
    if (lpszPath == nullptr)
        return false;
    CString strPath(lpszPath);
    strPath.MakeLower();
    return strPath.Find(L".stl") >= 0 || strPath.Find(L".tvx") >= 0 || strPath.Find(L".ybr") >= 0;
}

HBITMAP CTarnelEx::GetThumbnailBitmap(LPCWSTR lpszPath, const SIZE& size) {
    if (lpszPath == nullptr)
        return nullptr;
    if (!IsFileSizeAllowed(lpszPath))
        return nullptr;
    // The mesh preview draws a file that it cannot read as an empty background; a folder, FIFO or device
    // named like a mesh is no file at all, and gives no picture, as every other source does for them.
    if (IsMeshFile(lpszPath))
        return NamesFolderOrDevice(lpszPath) ? nullptr : RenderMeshPreview(lpszPath, size);
    return ExtractEmbeddedThumbnail(lpszPath, size);
}
