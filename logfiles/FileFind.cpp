#include "FileFind.h"

#include "Handles.h"

namespace Vardel {

class CFileFind::CFileFindData {
public:
    virtual ~CFileFindData() = default;

    CUniqueFind m_search;
    std::string m_folder;     // the pattern up to and including its last separator
    WIN32_FIND_DATAA m_current = {};
    WIN32_FIND_DATAA m_next = {};
    bool m_hasNext = false;
};

CFileFind::CFileFind() : m_pData(new CFileFindData) {}

CFileFind::~CFileFind()
{
    delete m_pData;
}

bool CFileFind::Find(const std::string& pattern)
{
    Close();
    const std::string::size_type separator = pattern.find_last_of("\\/:");
    m_pData->m_folder = separator == std::string::npos ? std::string() : pattern.substr(0, separator + 1);
    m_pData->m_search = CUniqueFind(::FindFirstFileA(pattern.c_str(), &m_pData->m_next));
    m_pData->m_hasNext = static_cast<bool>(m_pData->m_search);
    return m_pData->m_hasNext;
}

bool CFileFind::Next()
{
    if (!m_pData->m_hasNext)
        return false;
    m_pData->m_current = m_pData->m_next;
    m_pData->m_hasNext = ::FindNextFileA(m_pData->m_search.get(), &m_pData->m_next) != FALSE;
    return m_pData->m_hasNext;
}

bool CFileFind::IsFolder() const
{
    return (m_pData->m_current.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string CFileFind::FileName() const
{
    return m_pData->m_current.cFileName;
}

std::string CFileFind::FilePath() const
{
    return m_pData->m_folder + m_pData->m_current.cFileName;
}

void CFileFind::Close()
{
    m_pData->m_search.reset();
    m_pData->m_hasNext = false;
    m_pData->m_current = WIN32_FIND_DATAA();
}

CFileRemoveError::CFileRemoveError(DWORD error, const std::string& path)
    : CWin32Error(error, "cannot delete " + path), m_path(path)
{
}

void RemoveFile(const std::string& path)
{
    if (!::DeleteFileA(path.c_str()))
        throw CFileRemoveError(::GetLastError(), path);
}

} // namespace Vardel
