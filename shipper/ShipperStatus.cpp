#include "ShipperStatus.h"

#include "FixedNames.h"
#include "Handles.h"

#include <windows.h>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace Vardel::Shipper {

namespace {

constexpr const char* HEADER = "VardelShipper status 1";
constexpr std::uint64_t STALE_S = 60; // a running shipper writes its status every few seconds

std::uint64_t UtcSeconds(const std::string& text)
{
    SYSTEMTIME t{};
    unsigned y, mo, d, h, mi, s;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u", &y, &mo, &d, &h, &mi, &s) != 6)
        return 0;
    t.wYear = static_cast<WORD>(y), t.wMonth = static_cast<WORD>(mo), t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(h), t.wMinute = static_cast<WORD>(mi), t.wSecond = static_cast<WORD>(s);
    FILETIME ft;
    if (!::SystemTimeToFileTime(&t, &ft))
        return 0;
    return ((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000000;
}

std::uint64_t NowSeconds()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return ((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000000;
}

} // namespace

std::string FormatStatus(const CShipperStatus& status)
{
    std::string text = std::string(HEADER) + "\nupdated\t" + status.updated + "\ncollector\t" + status.collector +
                       "\nconnected\t" + (status.connected ? "1" : "0") + "\nanswered\t" + status.answered + "\n";
    for (const auto& [file, bytes] : status.unsent)
        text += "unsent\t" + file + "\t" + std::to_string(bytes) + "\n";
    return text;
}

bool ParseStatus(const std::string& text, CShipperStatus& status)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != HEADER)
        return false;
    status = CShipperStatus();
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        const std::string name = line.substr(0, tab), value = tab == std::string::npos ? "" : line.substr(tab + 1);
        if (name == "updated")
            status.updated = value;
        else if (name == "collector")
            status.collector = value;
        else if (name == "connected")
            status.connected = value == "1";
        else if (name == "answered")
            status.answered = value;
        else if (name == "unsent" && value.find('\t') != std::string::npos)
            status.unsent.emplace_back(value.substr(0, value.find('\t')),
                                       std::strtoull(value.substr(value.find('\t') + 1).c_str(), nullptr, 10));
    }
    return !status.updated.empty();
}

std::string StatusPathFor(const std::string& statePath)
{
    const std::size_t slash = statePath.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : statePath.substr(0, slash + 1)) + SHIPPER_STATUS_FILE;
}

bool WriteStatus(const std::string& path, const CShipperStatus& status)
{
    const std::string fresh = path + ".new", text = FormatStatus(status);
    {
        CUniqueFileHandle file(::CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return false;
    }
    return ::MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::vector<std::pair<int, std::string>> DescribeShipper()
{
    std::vector<std::pair<int, std::string>> lines;
    CUniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    CUniqueServiceHandle service(manager ? ::OpenServiceA(manager.get(), SHIPPER_SERVICE_NAME, SERVICE_QUERY_STATUS)
                                         : nullptr);
    SERVICE_STATUS state{};
    if (!service) {
        lines.emplace_back(0, std::string("shipper: the service ") + SHIPPER_SERVICE_NAME +
                                  " is not installed (the records leave this PC otherwise, or not at all)");
        return lines;
    }
    const bool running = ::QueryServiceStatus(service.get(), &state) && state.dwCurrentState == SERVICE_RUNNING;
    lines.emplace_back(running ? 0 : 2, std::string("shipper: the service ") + SHIPPER_SERVICE_NAME +
                                            (running ? " runs" : " does not run (state " +
                                                                     std::to_string(state.dwCurrentState) + ")"));
    const std::string path = StatusPathFor(std::string(LOG_FOLDER_PATH) + "\\" + SHIPPER_STATE_FILE);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    CShipperStatus status;
    if (!in || !ParseStatus(text.str(), status)) {
        lines.emplace_back(1, "shipper: no status in " + path);
        return lines;
    }
    const std::uint64_t age = NowSeconds() - UtcSeconds(status.updated);
    if (running && age > STALE_S)
        lines.emplace_back(1, "shipper: its status was last written " + std::to_string(age) + " s ago");
    lines.emplace_back(status.connected ? 0 : 1, "shipper: " + std::string(status.connected ? "connected to " :
                                                                                                "not connected to ") +
                                                     status.collector + "; the collector last answered at " +
                                                     status.answered + " (UTC)");
    std::uint64_t total = 0;
    for (const auto& [file, bytes] : status.unsent) {
        lines.emplace_back(0, "shipper: " + std::to_string(bytes) + " bytes of " + file + " not yet sent");
        total += bytes;
    }
    if (total == 0)
        lines.emplace_back(0, "shipper: every byte of the day files has left this PC");
    return lines;
}

} // namespace Vardel::Shipper
