#pragma once
// The log folder as the shipper sees it: the day files by name, in day
// order, and each opened so that the server and expiry never notice it
// (sharing for reading, writing and deleting).

#include "Handles.h"
#include "PlaceRegistry.h"

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

namespace Vardel::Shipper {

// "Log_YYYY_MM_DD.log" exactly (the server's names; a name that sorts in
// day order and fits a syslog MSGID).
bool IsDayFileName(const std::string& name);
// Today's day file name by the local clock.
std::string TodaysFileName();

struct CFolderEntry {
    std::string name;
    std::uint64_t size = 0;
};
// The day files of folder, in day order. Others are passed by.
std::vector<CFolderEntry> ListDayFiles(const std::string& folder);

// Opens a day file for reading as the server and expiry allow; empty on
// failure (GetLastError is set).
CUniqueFileHandle OpenDayFile(const std::string& path);
// False when the file system does not say (GetLastError is set).
bool Identify(HANDLE file, CFileIdentity& identity, std::uint64_t& size);

} // namespace Vardel::Shipper
