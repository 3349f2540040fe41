#include "DayFiles.h"

#include <algorithm>
#include <cstdio>

namespace Vardel::Shipper {

bool IsDayFileName(const std::string& name)
{
    static const char form[] = "Log_9999_99_99.log";
    if (name.size() != sizeof form - 1)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (form[i] == '9' ? (name[i] < '0' || name[i] > '9') : name[i] != form[i])
            return false;
    }
    return true;
}

std::string TodaysFileName()
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char name[32];
    std::snprintf(name, sizeof name, "Log_%04u_%02u_%02u.log", now.wYear, now.wMonth, now.wDay);
    return name;
}

std::vector<CFolderEntry> ListDayFiles(const std::string& folder)
{
    std::vector<CFolderEntry> entries;
    WIN32_FIND_DATAA data;
    CUniqueFind find(::FindFirstFileA((folder + "\\Log_*_*_*.log").c_str(), &data));
    if (!find)
        return entries;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || !IsDayFileName(data.cFileName))
            continue;
        entries.push_back(
            CFolderEntry{data.cFileName, (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (::FindNextFileA(find.get(), &data));
    std::sort(entries.begin(), entries.end(),
              [](const CFolderEntry& a, const CFolderEntry& b) { return a.name < b.name; });
    return entries;
}

CUniqueFileHandle OpenDayFile(const std::string& path)
{
    return CUniqueFileHandle(::CreateFileA(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool Identify(HANDLE file, CFileIdentity& identity, std::uint64_t& size)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info))
        return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

} // namespace Vardel::Shipper
