#include "afxfile.h"
#include "platform/tarnel/widestr.h"
#include "stringapiset.h"

#include <cstring>

using namespace tarnel::plat;

namespace {
constexpr size_t kBufferSize = 64 * 1024;
constexpr char kCtrlZ = 0x1A;
} // namespace

CStdioFile::CStdioFile(LPCWSTR lpszFileName, UINT nOpenFlags) {
    CFileException error;
    if (!Open(lpszFileName, nOpenFlags, &error))
        throw new CFileException(error.m_cause, error.m_lOsError, lpszFileName);
}

BOOL CStdioFile::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
    m_buffer.clear();
    m_pos = 0;
    m_atEnd = false;
    m_textMode = (nOpenFlags & typeBinary) == 0;
    return CFile::Open(lpszFileName, nOpenFlags & ~(typeText | typeBinary), pError);
}

void CStdioFile::Close() {
    m_buffer.clear();
    m_pos = 0;
    CFile::Close();
}

// Refills the buffer; false at the end of the file (or at Ctrl+Z in text mode).
bool CStdioFile::FillBuffer() {
    if (m_atEnd)
        return false;
    m_buffer.resize(kBufferSize);
    UINT n = Read(m_buffer.data(), UINT(m_buffer.size()));
    m_buffer.resize(n);
    m_pos = 0;
    if (m_textMode) {
        if (auto* z = static_cast<char*>(std::memchr(m_buffer.data(), kCtrlZ, m_buffer.size()))) {
            m_buffer.resize(size_t(z - m_buffer.data()));
            m_atEnd = true;
        }
    }
    if (n == 0)
        m_atEnd = true;
    return !m_buffer.empty();
}

BOOL CStdioFile::ReadString(CString& rString) {
    std::string line;
    bool any = false;
    bool pendingCR = false; // a CR at the end of one buffer may pair with a LF at the start of the next
    for (;;) {
        if (m_pos >= m_buffer.size() && !FillBuffer())
            break;
        any = true;
        const char* start = m_buffer.data() + m_pos;
        size_t avail = m_buffer.size() - m_pos;
        if (pendingCR) {
            pendingCR = false;
            if (*start != '\n')
                line += '\r';
        }
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        size_t take = lf != nullptr ? size_t(lf - start) : avail;
        line.append(start, take);
        m_pos += take;
        if (lf != nullptr) {
            ++m_pos;
            if (m_textMode && !line.empty() && line.back() == '\r')
                line.pop_back();
            rString = CString(WidenFileName(line));
            return TRUE;
        }
        if (m_textMode && !line.empty() && line.back() == '\r') {
            line.pop_back();
            pendingCR = true;
        }
    }
    if (pendingCR)
        line += '\r';
    rString = CString(WidenFileName(line));
    return any && !line.empty() ? TRUE : FALSE;
}
