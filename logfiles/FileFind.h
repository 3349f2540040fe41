#pragma once
// The folder search and file deletion of the expiry pass, over the ANSI
// file API. Used on one thread at a time.

#include "Win32Error.h"

#include <boost/noncopyable.hpp>
#include <string>

namespace Vardel {

// One search of a folder with a wildcard mask. After Find succeeds,
// each Next makes the next entry current; it returns true while
// further entries follow, and the entry it moved to is valid also when it
// returns false. So: if (Find(p)) { bool more; do { more = Next(); ... } while (more); }
class CFileFind : private boost::noncopyable {
public:
    CFileFind();
    virtual ~CFileFind();

    // Starts a search for `pattern` (a full path whose last component may
    // hold wildcards); true when at least one entry exists. Ends any earlier
    // search first.
    bool Find(const std::string& pattern);
    bool Next();

    // The current entry; only valid after a Next.
    bool IsFolder() const;
    std::string FileName() const;
    // The folder part of the pattern followed by the entry's name.
    std::string FilePath() const;

    void Close();

private:
    class CFileFindData;
    CFileFindData* m_pData;
};

// A file that could not be deleted.
class CFileRemoveError : public CWin32Error {
public:
    CFileRemoveError(DWORD error, const std::string& path);
    const std::string& Path() const noexcept { return m_path; }

private:
    std::string m_path;
};

// Deletes one file; throws CFileRemoveError with the Windows error and path.
void RemoveFile(const std::string& path);

} // namespace Vardel
