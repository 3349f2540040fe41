#include "Tail.h"

#include "FixedNames.h"
#include "LogFile.h"

#include <fcntl.h>
#include <io.h>
#include <algorithm>
#include <cstdio>
#include <fstream>

namespace VardelTools {

namespace {

constexpr DWORD FOLLOW_POLL_MS = 500;
constexpr std::size_t BLOCK = 64 * 1024;

bool Print(const char* bytes, std::size_t size)
{
    if (size == 0)
        return true;
    const bool written = std::fwrite(bytes, 1, size, stdout) == size;
    return std::fflush(stdout) == 0 && written;
}

// The day of the log file to follow.
CDate FollowedDay(const std::string& dayFile, const CDate& previous)
{
    if (dayFile.empty())
        return CDate();
    std::ifstream in(dayFile);
    int year = 0, month = 0, day = 0;
    char dash1 = 0, dash2 = 0;
    if (in >> year >> dash1 >> month >> dash2 >> day && dash1 == '-' && dash2 == '-')
        return CDate(day, month, year);
    return previous;
}

// Prints the complete lines appended since offset (all remaining bytes when
// `all`), and returns the offset after them. A file that has become shorter
// was replaced: it is read from its start.
std::uint64_t PrintAppended(const std::string& path, std::uint64_t offset, bool all, bool& outputOk)
{
    CSharedReader file(path);
    std::uint64_t size = 0;
    if (!file.IsOpen() || !file.Size(size))
        return offset;
    if (size < offset)
        offset = 0;
    const std::uint64_t end = all ? size : file.EndOfLastLine(offset, size);
    const bool read = file.ForEachBlock(offset, end, [&](const char* bytes, std::size_t n) {
        return outputOk = Print(bytes, n);
    });
    return read ? end : offset;
}

bool IsAbsence(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace

std::string DisplayPath(const std::string& path)
{
    std::string shown = path;
    const std::size_t doubled = shown.find(":\\\\");
    if (doubled != std::string::npos)
        shown.erase(doubled + 1, 1);
    return shown;
}

std::string DayLogPath(const CDate& day)
{
    return CLogFile(day).FileName();
}

CSharedReader::CSharedReader(const std::string& path)
    : m_file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
{
    if (!m_file)
        m_error = ::GetLastError();
}

bool CSharedReader::Size(std::uint64_t& size)
{
    LARGE_INTEGER length;
    if (!m_file || !::GetFileSizeEx(m_file.get(), &length)) {
        m_error = m_file ? ::GetLastError() : m_error;
        return false;
    }
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool CSharedReader::ForEachBlock(std::uint64_t from, std::uint64_t to,
                                 const std::function<bool(const char*, std::size_t)>& sink)
{
    if (from >= to)
        return true;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(from);
    if (!m_file || !::SetFilePointerEx(m_file.get(), position, nullptr, FILE_BEGIN))
        return false;
    std::string buffer(BLOCK, '\0');
    while (from < to) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(BLOCK, to - from));
        DWORD got = 0;
        if (!::ReadFile(m_file.get(), &buffer[0], wanted, &got, nullptr) || got == 0)
            return false; // shortened meanwhile
        if (!sink(buffer.data(), got))
            return false;
        from += got;
    }
    return true;
}

std::string CSharedReader::Read(std::uint64_t offset, std::size_t count)
{
    std::string bytes;
    ForEachBlock(offset, offset + count, [&](const char* block, std::size_t n) {
        bytes.append(block, n);
        return true;
    });
    return bytes;
}

std::uint64_t CSharedReader::StartOfLastLines(std::uint64_t size, unsigned long lines)
{
    if (lines == 0 || size == 0)
        return size;
    // Walk back from the end counting line feeds; the one that ends the
    // file's last line does not start a line.
    std::uint64_t end = size;
    unsigned long found = 0;
    while (end > 0) {
        const std::uint64_t begin = end > BLOCK ? end - BLOCK : 0;
        const std::string block = Read(begin, static_cast<std::size_t>(end - begin));
        if (block.size() != end - begin)
            return 0;
        for (std::size_t i = block.size(); i-- > 0;)
            if (block[i] == '\n' && begin + i != size - 1 && ++found == lines)
                return begin + i + 1;
        end = begin;
    }
    return 0;
}

std::uint64_t CSharedReader::EndOfLastLine(std::uint64_t from, std::uint64_t to)
{
    for (std::uint64_t end = to; end > from;) {
        const std::uint64_t begin = end - from > BLOCK ? end - BLOCK : from;
        const std::string block = Read(begin, static_cast<std::size_t>(end - begin));
        if (block.size() != end - begin)
            return from;
        const std::size_t lf = block.rfind('\n');
        if (lf != std::string::npos)
            return begin + lf + 1;
        end = begin;
    }
    return from;
}

bool FileContains(const std::string& path, std::uint64_t offset, const std::string& text)
{
    CSharedReader file(path);
    std::uint64_t size = 0;
    if (text.empty() || !file.IsOpen() || !file.Size(size))
        return false;
    // The end of each block is kept for a match that spans two.
    std::string window;
    bool found = false;
    file.ForEachBlock(offset, size, [&](const char* bytes, std::size_t n) {
        window.append(bytes, n);
        found = window.find(text) != std::string::npos;
        window.erase(0, window.size() - std::min(window.size(), text.size() - 1));
        return !found;
    });
    return found;
}

DWORD WriteOpenError(const std::string& path)
{
    const Vardel::CUniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? 0 : ::GetLastError();
}

std::string WriteRefusal(DWORD error)
{
    std::string why;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        why = "another program holds it open without sharing writing (a spreadsheet or copy tool, say)";
    else if (error == ERROR_ACCESS_DENIED)
        why = "access is denied (the file is read-only, or the server's account may not write it)";
    else
        why = "it cannot be opened for writing";
    return why + " (Windows error " + std::to_string(error) +
           "); meanwhile the server keeps new lines in memory, within its queued-text budget (past it the oldest "
           "are dropped, and a line in the file says how many), and writes them once the file can be written";
}

int RunTail(const CTailOptions& options)
{
    _setmode(_fileno(stdout), _O_BINARY);
    CDate day = FollowedDay(options.dayFile, CDate());
    std::string path = DayLogPath(day);
    std::uint64_t offset = 0;
    bool shown = false;
    DWORD readError = 0;
    {
        CSharedReader file(path);
        std::uint64_t size = 0;
        if (file.Size(size)) {
            bool outputOk = true;
            shown = file.ForEachBlock(file.StartOfLastLines(size, options.lines), size,
                                      [&](const char* bytes, std::size_t n) { return outputOk = Print(bytes, n); });
            if (!outputOk)
                return 1;
            offset = size;
        }
        readError = file.Error();
    }
    const DWORD writeError = WriteOpenError(path);
    const bool refused = writeError != 0 && !IsAbsence(writeError);
    if (refused)
        std::fprintf(stderr, "vardel-log: the server cannot write today's log file %s: %s\n", DisplayPath(path).c_str(),
                     WriteRefusal(writeError).c_str());
    if (!shown && !options.follow) {
        if (refused)
            return 1;
        if (::GetFileAttributesA(Vardel::LOG_FOLDER_PATH) == INVALID_FILE_ATTRIBUTES) {
            std::fprintf(stderr, "vardel-log: the log folder %s does not exist: no event has been logged here\n",
                         Vardel::LOG_FOLDER_PATH);
            return 1;
        }
        if (IsAbsence(readError)) {
            std::fprintf(stderr, "vardel-log: no log file for today yet (%s)\n", DisplayPath(path).c_str());
            return 0;
        }
        std::fprintf(stderr, "vardel-log: today's log file %s cannot be read (Windows error %lu)\n",
                     DisplayPath(path).c_str(), static_cast<unsigned long>(readError));
        return 1;
    }
    if (!options.follow)
        return 0;
    // Woken by changes in the log folder, and at least every poll period
    // for the day, a folder that appears late, or a missed notification.
    Vardel::CUniqueChangeNotification change;
    for (bool outputOk = true; outputOk;) {
        if (!change)
            change.reset(::FindFirstChangeNotificationA(Vardel::LOG_FOLDER_PATH, FALSE,
                                                        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                                            FILE_NOTIFY_CHANGE_LAST_WRITE));
        if (change) {
            if (::WaitForSingleObject(change.get(), FOLLOW_POLL_MS) == WAIT_OBJECT_0 &&
                !::FindNextChangeNotification(change.get()))
                change.reset();
        } else {
            ::Sleep(FOLLOW_POLL_MS);
        }
        const CDate today = FollowedDay(options.dayFile, day);
        if (today == day) {
            offset = PrintAppended(path, offset, false, outputOk);
            continue;
        }
        // Midnight: what the old day's file still holds, then the new day's from its start.
        PrintAppended(path, offset, true, outputOk);
        day = today;
        path = DayLogPath(day);
        offset = 0;
    }
    return 0;
}

} // namespace VardelTools
