// The bitmap helper library: device-independent pictures loaded from files (CDIB), names for temporary
// picture files (CImageConvertor), and scope-bound device-context helpers.
#pragma once

#include "afxwin.h"

#include <string>

// A picture loaded from a BMP file. A failed load leaves the object empty; nothing is thrown.
class CDIB {
public:
    explicit CDIB(LPCWSTR lpszPath);
    ~CDIB();
    CDIB(const CDIB&) = delete;
    CDIB& operator=(const CDIB&) = delete;

    // Non-null exactly when a picture is loaded.
    const void* GetSafeHandle() const { return m_picture; }
    DWORD GetWidth() const { return m_width; }
    DWORD GetHeight() const { return m_height; }
    // A new screen-compatible bitmap of nWidth x nHeight showing the whole picture scaled to it, averaging
    // when it shrinks. It belongs to the caller and outlives this object. Null on failure.
    HBITMAP GetBitmap(DWORD nWidth, DWORD nHeight) const;

    // Largest picture that is decoded: as large as a bitmap may be on a side, and no more pixels than the
    // largest picture that a study's stored mebibyte can hold uncompressed (8 Mi pixels at one bit each). A
    // compressed picture can promise far more (8192 x 8192 in a few bytes of run codes); decoding what no
    // stored thumbnail is would cost hundreds of megabytes for nothing.
    static constexpr LONG kMaxSide = 16384; // the largest side CreateCompatibleBitmap makes
    static constexpr LONGLONG kMaxPixels = LONGLONG(8) * 1024 * 1024;

private:
    void* m_picture = nullptr; // the loaded picture, as the platform keeps it
    DWORD m_width = 0;
    DWORD m_height = 0;
};

// Gives names of temporary picture files. Each name is a file created for the caller alone: unique,
// readable and writable by the owner only, in the first usable folder of $XDG_RUNTIME_DIR, $TMPDIR and /tmp.
class CImageConvertor {
public:
    CImageConvertor() = default;
    // The path of a new empty file ending in lpszExtension, or an empty string when none can be made.
    CString CreateImageName(LPCWSTR lpszExtension);

    // Files created by CreateImageName in this process that still exist.
    static int GetLiveImageCount();
};

// A memory device context compatible with pDC, deleted when the object ends.
class CCompatibleDC : public CDC {
public:
    explicit CCompatibleDC(CDC* pDC) { CreateCompatibleDC(pDC); }
};

// A bitmap of nWidth x nHeight compatible with pDC, deleted when the object ends unless detached first.
class CCompatibleBitmap : public CBitmap {
public:
    CCompatibleBitmap(CDC* pDC, int nWidth, int nHeight) { CreateCompatibleBitmap(pDC, nWidth, nHeight); }
};

// Records a device context's state (its selected bitmap among it) and puts it back on Restore or at the end.
class CDCRestorer {
public:
    explicit CDCRestorer(CDC* pDC) : m_pDC(pDC), m_nSaved(pDC != nullptr ? pDC->SaveDC() : 0) {}
    ~CDCRestorer() { Restore(); }
    CDCRestorer(const CDCRestorer&) = delete;
    CDCRestorer& operator=(const CDCRestorer&) = delete;
    void Restore() {
        if (m_nSaved != 0)
            m_pDC->RestoreDC(m_nSaved);
        m_nSaved = 0;
    }

private:
    CDC* m_pDC;
    int m_nSaved;
};
