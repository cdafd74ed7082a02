#include "extractor/ProjectFile.h"

#include "afxfile.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {
const wchar_t kStudyKeyword[] = L"STUDY";
const wchar_t kSeparators[] = L" \r\n\"";
const wchar_t kStudyExtension[] = L".qzt";
} // namespace

bool IsProjectFile(const CString& strPath) {
    return strPath.Find(L".kpz") >= 0 || strPath.Find(L".kpv") >= 0;
}

void GetProjectStudies(const CString& strPath, CStringArray& studies) {
    CStdioFile file(strPath, CFile::modeRead | CFile::shareDenyNone | CFile::typeText);

    // Study names are relative to the project's folder. The folder part ends at the last separator; on this
    // platform '/' separates folders as well as '\'.
    int nSlash = std::max(strPath.ReverseFind(L'\\'), strPath.ReverseFind(L'/'));
    CString strFolder = strPath.Left(nSlash + 1);

    CString strLine;
    std::vector<wchar_t> buffer;
    while (file.ReadString(strLine)) {
        if (strLine.Find(kStudyKeyword) < 0)
            continue;
        buffer.assign(strLine.GetString(), strLine.GetString() + strLine.GetLength() + 1);
        wchar_t* state = nullptr;
        for (wchar_t* token = std::wcstok(buffer.data(), kSeparators, &state); token != nullptr;
             token = std::wcstok(nullptr, kSeparators, &state)) {
            CString strToken(token);
            strToken.MakeLower();
            if (strToken.Find(kStudyExtension) >= 0)
                studies.SetAtGrow(studies.GetSize(), strFolder + strToken);
        }
    }
    file.Close();
}
