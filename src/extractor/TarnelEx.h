// CTarnelEx: the thumbnail extractor the shell talks to. It keeps the bound path and the requested size
// between calls; everything else is worked out afresh in each call.
#pragma once

#include "afx.h"
#include "atlcom.h"
#include "extractor/TarnelLib.h"
#include "module/resource.h"
#include "shobjidl.h"

class CTarnelEx : public CComObjectRootEx<CComSingleThreadModel>,
                  public CComCoClass<CTarnelEx, &CLSID_TarnelEx>,
                  public IDispatchImpl<ITarnelEx, &IID_ITarnelEx, &LIBID_TarnelLib, 1, 0>,
                  public IPersistFile,
                  public IExtractImage2 {
public:
    CTarnelEx() : m_size{0, 0} {}
    virtual ~CTarnelEx() = default;

    DECLARE_REGISTRY_RESOURCEID(IDR_TARNELEX)

    BEGIN_COM_MAP(CTarnelEx)
    COM_INTERFACE_ENTRY_IID(IID_ITarnelEx, ITarnelEx)
    COM_INTERFACE_ENTRY2_IID(IID_IDispatch, IDispatch, ITarnelEx)
    COM_INTERFACE_ENTRY_IID(IID_IPersistFile, IPersistFile)
    COM_INTERFACE_ENTRY_IID(IID_IExtractImage, IExtractImage2)
    COM_INTERFACE_ENTRY_IID(IID_IExtractImage2, IExtractImage2)
    END_COM_MAP()

    // IPersist, IPersistFile
    STDMETHOD(GetClassID)(CLSID* pClassID) override;
    STDMETHOD(IsDirty)() override;
    STDMETHOD(Load)(LPCOLESTR pszFileName, DWORD dwMode) override;
    STDMETHOD(Save)(LPCOLESTR pszFileName, BOOL fRemember) override;
    STDMETHOD(SaveCompleted)(LPCOLESTR pszFileName) override;
    STDMETHOD(GetCurFile)(LPOLESTR* ppszFileName) override;

    // IExtractImage, IExtractImage2
    STDMETHOD(GetLocation)
    (LPWSTR pszPathBuffer, DWORD cch, DWORD* pdwPriority, const SIZE* prgSize, DWORD dwRecClrDepth,
     DWORD* pdwFlags) override;
    STDMETHOD(Extract)(HBITMAP* phBmpImage) override;
    STDMETHOD(GetDateStamp)(FILETIME* pDateStamp) override;

    // The source chain: a new bitmap of the file at (at most) the given size, or null. Uses no object state.
    static HBITMAP GetThumbnailBitmap(LPCWSTR lpszPath, const SIZE& size);

private:
    HRESULT ExtractPicture(HBITMAP* phBmpImage);
    HBITMAP ComposeStudyMontage(const CStringArray& studies, int& nDrawn);

    SIZE m_size;
    CString m_strPath;
};
