#include "sources/EmbeddedThumbnail.h"

#include "afxfile.h"
#include "dibkit/dibkit.h"
#include "winbase.h"

#include <cstring>
#include <functional>

namespace {

const BYTE kMarker[] = {'<', 'T', 'H', 'U', 'M', 'B', 'N', 'A', 'I', 'L', '>'};
constexpr int kMarkerLength = int(sizeof kMarker);

// A file that keeps growing while it is read would otherwise be read for ever: past this many kept bytes
// the read gives up. The picture of a file being written is not final anyway.
constexpr int kMaxKeptBytes = 16 * kThumbnailWindow;

// Deletes the temporary picture file when the extraction leaves early through a file error.
class CTemporaryFile {
public:
    explicit CTemporaryFile(const CString& strName) : m_strName(strName) {}
    ~CTemporaryFile() { Delete(); }
    void Delete() {
        if (!m_strName.IsEmpty())
            ::DeleteFileW(m_strName);
        m_strName.Empty();
    }

private:
    CString m_strName;
};

} // namespace

int ReadFileTail(LPCWSTR lpszPath, CByteArray& bytes) {
    if (lpszPath == nullptr)
        return 0;
    try {
        CFile file(lpszPath, CFile::modeRead | CFile::typeBinary | CFile::shareDenyNone);
        CFileStatus status;
        ULONGLONG size = file.GetStatus(status) ? status.m_size : 0;
        if (size > ULONGLONG(kThumbnailWindow))
            file.Seek(-LONGLONG(kThumbnailWindow), CFile::end);
        // Read straight into the array to the current end of the file. The first piece has room for what
        // the file holds and a little more, so a file that did not grow is read without copying.
        UINT chunk = UINT(size > ULONGLONG(kThumbnailWindow) ? kThumbnailWindow : size) + 64 * 1024;
        for (;;) {
            const int kept = bytes.GetSize();
            if (kept > kMaxKeptBytes)
                return 0;
            bytes.SetSize(kept + int(chunk));
            UINT n = file.Read(bytes.GetData() + kept, chunk);
            bytes.SetSize(kept + int(n));
            if (n < chunk) // Read stops short only at the end of the file
                break;
            chunk = UINT(kThumbnailWindow);
        }
        file.Close();
        return bytes.GetSize();
    } catch (CFileException* e) {
        e->Delete();
        return 0;
    }
}

int FindThumbnailOffset(const CByteArray& bytes) {
    const int n = bytes.GetSize();
    const BYTE* data = bytes.GetData();
    // Every '>' is tried as the marker's last byte, nearest the end first.
    for (int end = n; end >= kMarkerLength;) {
        const void* hit = ::memrchr(data, '>', size_t(end));
        if (hit == nullptr)
            return 0;
        const int p = int(static_cast<const BYTE*>(hit) - data);
        if (p >= kMarkerLength - 1 &&
            std::memcmp(data + p - (kMarkerLength - 1), kMarker, kMarkerLength) == 0)
            return p + 1;
        end = p;
    }
    return 0;
}

HBITMAP GetScaledBitmap(const CDIB& dib, LONG nWidth, LONG nHeight) {
    if (dib.GetSafeHandle() == nullptr)
        return nullptr;
    LONGLONG w = LONG(dib.GetWidth()), h = LONG(dib.GetHeight());
    if (w > nWidth) {
        h = h * nWidth / w;
        w = nWidth;
    }
    if (h > nHeight) {
        // A height scaled to nothing is greater only than a negative request, which gets no picture; dividing
        // by it would end the process.
        if (h == 0)
            return nullptr;
        w = w * nHeight / h;
        h = nHeight;
    }
    return dib.GetBitmap(DWORD(w), DWORD(h));
}

// The embedded picture, written to a temporary file and loaded, handed to use; the temporary file is
// deleted after use returns and before the picture is released. False when there is no marker.
bool LoadEmbeddedPicture(LPCWSTR lpszPath, const std::function<void(const CDIB&, int, int)>& use) {
    CByteArray bytes;
    if (ReadFileTail(lpszPath, bytes) == 0)
        return false;
    const int offset = FindThumbnailOffset(bytes);
    if (offset == 0)
        return false;

    CImageConvertor convertor;
    CString strName = convertor.CreateImageName(L".bmp");
    CTemporaryFile temporary(strName);
    if (!strName.IsEmpty()) {
        CFile file(strName, CFile::modeCreate | CFile::modeWrite | CFile::typeBinary | CFile::shareExclusive);
        file.Write(bytes.GetData() + offset, UINT(bytes.GetSize() - offset));
        file.Close();
    }
    // The tail is not needed while the picture is decoded.
    const int kept = bytes.GetSize();
    bytes.RemoveAll();
    CDIB dib(strName);
    use(dib, offset, kept);
    temporary.Delete();
    return true;
}

HBITMAP ExtractEmbeddedThumbnail(LPCWSTR lpszPath, const SIZE& size) {
    HBITMAP hBitmap = nullptr;
    LoadEmbeddedPicture(lpszPath,
                        [&](const CDIB& dib, int, int) { hBitmap = GetScaledBitmap(dib, size.cx, size.cy); });
    return hBitmap;
}

EmbeddedPictureInfo InspectEmbeddedThumbnail(LPCWSTR lpszPath) {
    EmbeddedPictureInfo info;
    CFileStatus status;
    const ULONGLONG size = CFile::GetStatus(lpszPath, status) ? status.m_size : 0;
    LoadEmbeddedPicture(lpszPath, [&](const CDIB& dib, int offset, int kept) {
        info.markerOffset = LONGLONG(size) - kept + offset - kMarkerLength;
        info.width = dib.GetWidth();
        info.height = dib.GetHeight();
    });
    return info;
}
