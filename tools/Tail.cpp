#include "Tail.h"

#include "FixedNames.h"
#include "Handles.h"
#include "LogFile.h"

#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <fstream>
#include <vector>

namespace VardelTools {

namespace {

constexpr DWORD FOLLOW_POLL_MS = 500;
constexpr std::uint64_t BACKWARD_CHUNK = 64 * 1024;

Vardel::CUniqueFileHandle OpenShared(const std::string& path)
{
    return Vardel::CUniqueFileHandle(::CreateFileA(path.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool ReadAt(HANDLE file, std::uint64_t offset, std::string& bytes)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return false;
    char buffer[BACKWARD_CHUNK];
    std::string read;
    DWORD got = 0;
    while (read.size() < bytes.size() && ::ReadFile(file, buffer, static_cast<DWORD>(std::min<std::uint64_t>(
                                                                        sizeof buffer, bytes.size() - read.size())),
                                                    &got, nullptr) &&
           got)
        read.append(buffer, got);
    bytes = read;
    return true;
}

bool Print(const std::string& bytes)
{
    if (bytes.empty())
        return true;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
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
    std::string bytes;
    std::uint64_t size = 0;
    if (!ReadFrom(path, offset, bytes, &size, nullptr))
        return offset;
    if (size < offset) {
        offset = 0;
        if (!ReadFrom(path, 0, bytes, &size, nullptr))
            return 0;
    }
    const std::size_t end = all ? bytes.size() : bytes.rfind('\n') + 1; // npos + 1 == 0
    outputOk = Print(bytes.substr(0, end));
    return offset + end;
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

bool ReadFrom(const std::string& path, std::uint64_t offset, std::string& bytes, std::uint64_t* size, DWORD* error)
{
    bytes.clear();
    const Vardel::CUniqueFileHandle file = OpenShared(path);
    if (!file) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER length;
    if (!::GetFileSizeEx(file.get(), &length)) {
        if (error)
            *error = ::GetLastError();
        return false;
    }
    const std::uint64_t total = static_cast<std::uint64_t>(length.QuadPart);
    if (size)
        *size = total;
    if (offset >= total)
        return true;
    bytes.resize(static_cast<std::size_t>(total - offset));
    return ReadAt(file.get(), offset, bytes);
}

std::uint64_t StartOfLastLines(const std::string& path, std::uint64_t size, unsigned long lines)
{
    if (lines == 0 || size == 0)
        return size;
    const Vardel::CUniqueFileHandle file = OpenShared(path);
    if (!file)
        return size;
    // Walk back from the end counting line feeds; the one that ends the
    // file's last line does not start a line.
    std::uint64_t end = size;
    bool skipFinal = true;
    unsigned long found = 0;
    while (end > 0) {
        const std::uint64_t begin = end > BACKWARD_CHUNK ? end - BACKWARD_CHUNK : 0;
        std::string chunk(static_cast<std::size_t>(end - begin), '\0');
        if (!ReadAt(file.get(), begin, chunk) || chunk.size() != end - begin)
            return 0;
        for (std::size_t i = chunk.size(); i-- > 0;) {
            if (chunk[i] != '\n')
                continue;
            if (skipFinal && begin + i == size - 1)
                continue;
            if (++found == lines)
                return begin + i + 1;
        }
        skipFinal = false;
        end = begin;
    }
    return 0;
}

int RunTail(const CTailOptions& options)
{
    _setmode(_fileno(stdout), _O_BINARY);
    CDate day = FollowedDay(options.dayFile, CDate());
    std::string path = DayLogPath(day);
    std::string bytes;
    std::uint64_t size = 0;
    DWORD error = 0;
    std::uint64_t offset = 0;
    if (ReadFrom(path, 0, bytes, &size, &error)) {
        offset = StartOfLastLines(path, size, options.lines);
        if (!Print(bytes.substr(static_cast<std::size_t>(offset))))
            return 1;
        offset = size;
    } else if (::GetFileAttributesA(Vardel::LOG_FOLDER_PATH) == INVALID_FILE_ATTRIBUTES && !options.follow) {
        std::fprintf(stderr, "vardel-log: the log folder %s does not exist: no event has been logged here\n",
                     Vardel::LOG_FOLDER_PATH);
        return 1;
    } else if (!options.follow) {
        std::fprintf(stderr, "vardel-log: no log file for today yet (%s), or it cannot be read (Windows error %lu)\n",
                     DisplayPath(path).c_str(), static_cast<unsigned long>(error));
        return error == ERROR_FILE_NOT_FOUND ? 0 : 1;
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
