// The class library's device-context and GDI-object wrappers, the application object and the module state.
// Wrappers that the library makes for a bare handle (FromHandle) are temporary: they live in the calling
// thread's temporary map until idle processing frees them.
#pragma once

#include "afx.h"
#include "wingdi.h"

class CGdiObject;
class CBitmap;
class CDC;
class CWinApp;

struct AFX_MODULE_STATE {
    CWinApp* m_pCurrentWinApp = nullptr;
    HINSTANCE m_hCurrentInstanceHandle = nullptr; // the module's own handle, set when it is loaded
};

// Defined by each module for itself.
AFX_MODULE_STATE* AfxGetStaticModuleState();

TARNEL_API AFX_MODULE_STATE* AfxGetModuleState();
TARNEL_API AFX_MODULE_STATE* AfxSetModuleState(AFX_MODULE_STATE* pNewState);
TARNEL_API void AfxLockTempMaps();
TARNEL_API BOOL AfxUnlockTempMaps(BOOL bDeleteTemps = TRUE);
TARNEL_API int AfxGetTempMapLock();
TARNEL_API int AfxGetTempObjectCount();
TARNEL_API CBitmap* AfxMakeTempBitmap(HGDIOBJ h);
TARNEL_API CDC* AfxMakeTempDC(HDC h);
class CWnd;
TARNEL_API CWnd* AfxMakeTempWnd(HWND h);

inline CWinApp* AfxGetApp() {
    return AfxGetModuleState()->m_pCurrentWinApp;
}

inline HINSTANCE AfxGetInstanceHandle() {
    return AfxGetModuleState()->m_hCurrentInstanceHandle;
}

// Makes pModuleState the current module state until the end of the scope.
class AFX_MAINTAIN_STATE2 {
public:
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* pModuleState) : m_pPrev(AfxSetModuleState(pModuleState)) {}
    ~AFX_MAINTAIN_STATE2() { AfxSetModuleState(m_pPrev); }
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

private:
    AFX_MODULE_STATE* m_pPrev;
};
#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE2 _ctlState(p)

class CGdiObject : public CObject {
public:
    CGdiObject() = default;
    ~CGdiObject() override { DeleteObject(); }
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    HGDIOBJ m_hObject = nullptr;

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    operator HGDIOBJ() const { return m_hObject; }
    BOOL Attach(HGDIOBJ hObject) {
        if (hObject == nullptr)
            return FALSE;
        m_hObject = hObject;
        return TRUE;
    }
    HGDIOBJ Detach() {
        HGDIOBJ h = m_hObject;
        m_hObject = nullptr;
        return h;
    }
    BOOL DeleteObject() {
        if (m_hObject == nullptr)
            return FALSE;
        return ::DeleteObject(Detach());
    }
    static CGdiObject* FromHandle(HGDIOBJ h);
};

class CBitmap : public CGdiObject {
public:
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
    BOOL CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight);
    int GetBitmap(BITMAP* pBitMap) { return ::GetObjectW(m_hObject, sizeof(BITMAP), pBitMap); }
    static CBitmap* FromHandle(HBITMAP h) { return AfxMakeTempBitmap(h); }
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor) { CreateSolidBrush(crColor); }
    BOOL CreateSolidBrush(COLORREF crColor) { return Attach(::CreateSolidBrush(crColor)); }
    operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }
};

inline CGdiObject* CGdiObject::FromHandle(HGDIOBJ h) {
    return AfxMakeTempBitmap(h);
}

class CWnd : public CObject {
public:
    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    static CWnd* FromHandle(HWND hWnd) { return AfxMakeTempWnd(hWnd); }
};

class CDC : public CObject {
public:
    CDC() = default;
    ~CDC() override {
        if (m_hDC != nullptr)
            ::DeleteDC(Detach());
    }
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC = nullptr;
    HDC m_hAttribDC = nullptr;

    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    BOOL Attach(HDC hDC) {
        if (hDC == nullptr)
            return FALSE;
        m_hDC = m_hAttribDC = hDC;
        return TRUE;
    }
    HDC Detach() {
        HDC h = m_hDC;
        m_hDC = m_hAttribDC = nullptr;
        return h;
    }
    static CDC* FromHandle(HDC hDC) { return AfxMakeTempDC(hDC); }

    BOOL CreateCompatibleDC(CDC* pDC) {
        return Attach(::CreateCompatibleDC(pDC != nullptr ? pDC->m_hDC : nullptr));
    }
    BOOL DeleteDC() {
        if (m_hDC == nullptr)
            return FALSE;
        return ::DeleteDC(Detach());
    }
    int SaveDC() { return ::SaveDC(m_hDC); }
    BOOL RestoreDC(int nSavedDC) { return ::RestoreDC(m_hDC, nSavedDC); }

    static CGdiObject* SelectGdiObject(HDC hDC, HGDIOBJ h) {
        return CGdiObject::FromHandle(::SelectObject(hDC, h));
    }
    CBitmap* SelectObject(CBitmap* pBitmap) {
        return static_cast<CBitmap*>(
            SelectGdiObject(m_hDC, pBitmap != nullptr ? pBitmap->m_hObject : nullptr));
    }
    CGdiObject* SelectObject(CGdiObject* pObject) {
        return SelectGdiObject(m_hDC, pObject != nullptr ? pObject->m_hObject : nullptr);
    }

    COLORREF SetBkColor(COLORREF crColor) { return ::SetBkColor(m_hDC, crColor); }
    COLORREF GetBkColor() const { return ::GetBkColor(m_hDC); }
    COLORREF GetPixel(int x, int y) const { return ::GetPixel(m_hDC, x, y); }
    COLORREF SetPixel(int x, int y, COLORREF crColor) { return ::SetPixel(m_hDC, x, y, crColor); }
    BOOL BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD dwRop) {
        return ::BitBlt(m_hDC, x, y, nWidth, nHeight, pSrcDC != nullptr ? pSrcDC->m_hDC : nullptr, xSrc, ySrc,
                        dwRop);
    }

    // Fills with the background colour set to clr; the background colour stays changed afterwards.
    void FillSolidRect(LPCRECT lpRect, COLORREF clr) {
        ::SetBkColor(m_hDC, clr);
        ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, lpRect, nullptr, 0, nullptr);
    }
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF clr) {
        RECT rect = {x, y, x + cx, y + cy};
        FillSolidRect(&rect, clr);
    }
    // A one-pixel frame inside the rectangle: top and left in clrTopLeft, then right and bottom in
    // clrBottomRight, which therefore also takes the top-right and bottom-left corners.
    void Draw3dRect(int x, int y, int cx, int cy, COLORREF clrTopLeft, COLORREF clrBottomRight) {
        FillSolidRect(x, y, cx - 1, 1, clrTopLeft);
        FillSolidRect(x, y, 1, cy - 1, clrTopLeft);
        FillSolidRect(x + cx, y, -1, cy, clrBottomRight);
        FillSolidRect(x, y + cy, cx, -1, clrBottomRight);
    }
    void Draw3dRect(LPCRECT lpRect, COLORREF clrTopLeft, COLORREF clrBottomRight) {
        Draw3dRect(lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top,
                   clrTopLeft, clrBottomRight);
    }
};

inline BOOL CBitmap::CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight) {
    return Attach(::CreateCompatibleBitmap(pDC != nullptr ? pDC->m_hDC : nullptr, nWidth, nHeight));
}

// The device context of a window's client area; without a window, that of the whole screen.
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr) {
        Attach(::GetDC(m_hWnd));
    }
    ~CClientDC() override {
        if (m_hDC != nullptr)
            ::ReleaseDC(m_hWnd, Detach());
    }

protected:
    HWND m_hWnd;
};

class CWinApp : public CObject {
public:
    CWinApp() { AfxGetStaticModuleState()->m_pCurrentWinApp = this; }
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    // With lCount 0 the application would update its user interface (there is none); with 1 it frees the
    // temporary wrapper objects of the calling thread. Answers whether more idle work is wanted.
    virtual BOOL OnIdle(LONG lCount) {
        if (lCount == 1 && AfxGetTempMapLock() == 0) {
            AfxLockTempMaps();
            AfxUnlockTempMaps();
        }
        return lCount < 1;
    }
};
