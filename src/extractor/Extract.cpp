#include "afxfile.h"
#include "afxwin.h"
#include "extractor/ProjectFile.h"
#include "extractor/TarnelEx.h"
#include "module/TarnelApp.h"
#include "module/comexcept.h"
#include "sources/IconThumbnail.h"

#include <algorithm>

namespace {

// Frees the class library's temporary wrapper objects when the extraction ends, on every path.
class CIdleCleanup {
public:
    ~CIdleCleanup() {
        AFX_MANAGE_STATE(AfxGetStaticModuleState());
        CWinApp* pApp = AfxGetApp();
        if (pApp != nullptr) {
            pApp->OnIdle(0);
            pApp->OnIdle(1);
        }
    }
};

} // namespace

STDMETHODIMP CTarnelEx::Extract(HBITMAP* phBmpImage) {
    if (phBmpImage == nullptr)
        return E_FAIL;
    *phBmpImage = nullptr;
    try {
        return ExtractPicture(phBmpImage);
    } catch (...) {
        return HResultFromCaughtException();
    }
}

HRESULT CTarnelEx::ExtractPicture(HBITMAP* phBmpImage) {
    CIdleCleanup cleanup;
    CBitmap candidate; // deleted on every path on which it is not handed out
    int nPictures = 0;
    bool bIcon = false;

    try {
        if (IsProjectFile(m_strPath)) {
            CStringArray studies;
            GetProjectStudies(m_strPath, studies);
            if (studies.GetSize() == 1) {
                if (candidate.Attach(GetThumbnailBitmap(studies[0], m_size)))
                    nPictures = 1;
            } else if (studies.GetSize() >= 2) {
                candidate.Attach(ComposeStudyMontage(studies, nPictures));
            }
        }
        // A montage, once made, is the candidate even without a drawn cell.
        if (candidate.m_hObject == nullptr) {
            if (candidate.Attach(GetThumbnailBitmap(m_strPath, m_size)))
                ++nPictures;
        }
    } catch (CFileException* e) {
        // Whatever was under way is abandoned; the counts stand as they were.
        e->Delete();
    }

    if (nPictures == 0) {
        candidate.DeleteObject();
        candidate.Attach(CreateIconThumbnail(m_strPath, m_size));
        bIcon = true;
    }

    if (candidate.m_hObject == nullptr)
        return E_FAIL;
    *phBmpImage = static_cast<HBITMAP>(candidate.Detach());
    // The icon is handed out with a failure code on purpose: it is a picture all the same, and the caller
    // owns it, but a caller that tells success by S_OK alone must not take the icon for the file's own
    // picture. Neither S_FALSE nor any success code says that; 0xFFFFFFFF does, and callers rely on it.
    return bIcon ? HRESULT(0xFFFFFFFF) : S_OK;
}

// A white picture of the requested size with the first four studies' pictures in a 2 x 2 grid, each framed.
// nDrawn counts the cells drawn so far, also when a file error ends the montage early.
HBITMAP CTarnelEx::ComposeStudyMontage(const CStringArray& studies, int& nDrawn) {
    const int cx = m_size.cx, cy = m_size.cy;
    CBitmap montage; // declared before the contexts so that they let go of it before it is deleted
    CClientDC screenDC(nullptr);
    CDC memDC;
    if (!memDC.CreateCompatibleDC(&screenDC) || !montage.CreateCompatibleBitmap(&screenDC, cx, cy))
        return nullptr; // nothing to draw into: no montage
    CBitmap* pOldBitmap = memDC.SelectObject(&montage);

    memDC.FillSolidRect(0, 0, cx, cy, RGB(255, 255, 255));

    const int cellWidth = cx / 2, cellHeight = cy / 2;
    const SIZE cellSize = {cellWidth, cellHeight};
    const int nCells = std::min(studies.GetSize(), 4);
    int column = 0, row = 0;
    for (int k = 0; k < nCells; ++k) {
        CBitmap cell;
        if (cell.Attach(GetThumbnailBitmap(studies[k], cellSize))) {
            ++nDrawn;
            CDC cellDC;
            cellDC.CreateCompatibleDC(&screenDC);
            CBitmap* pOldCell = cellDC.SelectObject(&cell);
            const int x = column * cellWidth, y = row * cellHeight;
            memDC.BitBlt(x, y, cellWidth, cellHeight, &cellDC, 0, 0, SRCCOPY);
            COLORREF clrShadow = ::GetSysColor(COLOR_BTNSHADOW);
            COLORREF clrHighlight = ::GetSysColor(COLOR_BTNHIGHLIGHT);
            memDC.Draw3dRect(x, y, cellWidth, cellHeight, clrHighlight, clrShadow);
            cellDC.SelectObject(pOldCell);
            cellDC.DeleteDC();
            cell.DeleteObject();
        }
        if (++column > 1) {
            column = 0;
            ++row;
        }
    }

    memDC.SelectObject(pOldBitmap);
    return static_cast<HBITMAP>(montage.Detach());
}
