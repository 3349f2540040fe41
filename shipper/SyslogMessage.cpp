#include "SyslogMessage.h"

#include <windows.h>
#include <algorithm>
#include <cstdio>

namespace Vardel::Shipper {

namespace {

// user.notice, as the edge's tails carry it.
constexpr const char* PRI_VERSION = "<13>1 ";
constexpr const char* RECORD_APP = "vardel";
constexpr const char* NOTICE_APP = "VardelShipper";
constexpr const char* SD_ID = "vardel@32473";

std::string Header(const std::string& stamp, const std::string& host, const char* app, const std::string& file)
{
    std::string head = PRI_VERSION;
    head += stamp;
    head += ' ';
    head += HeaderName(host);
    head += ' ';
    head += app;
    head += " - ";
    head += file;
    head += ' ';
    return head;
}

} // namespace

std::string NowRfc3339()
{
    SYSTEMTIME t;
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    ::FileTimeToSystemTime(&ft, &t);
    const unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%06uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, static_cast<unsigned>((ticks / 10) % 1000000));
    return text;
}

std::string HeaderName(const std::string& name)
{
    if (name.empty())
        return "-";
    std::string out = name.substr(0, 255);
    for (char& c : out)
        if (c < '!' || c > '~')
            c = '-';
    return out;
}

std::vector<std::string> RecordMessages(const std::string& stamp, const std::string& host, const std::string& file,
                                        std::uint64_t offset, const std::string& record)
{
    std::size_t length = record.size();
    if (length > 0 && record[length - 1] == '\n')
        --length;
    const std::string head = Header(stamp, host, RECORD_APP, file) + "[" + SD_ID + " offset=\"" +
                             std::to_string(offset) + "\"";
    std::vector<std::string> messages;
    if (length <= PIECE_BYTES) {
        std::string message = head + "] ";
        message.append(record, 0, length);
        messages.push_back(std::move(message));
        return messages;
    }
    const std::size_t pieces = (length + PIECE_BYTES - 1) / PIECE_BYTES;
    for (std::size_t i = 0; i < pieces; ++i) {
        std::string message = head + " piece=\"" + std::to_string(i + 1) + "\" pieces=\"" + std::to_string(pieces) +
                              "\"] ";
        const std::size_t from = i * PIECE_BYTES;
        message.append(record, from, std::min(PIECE_BYTES, length - from));
        messages.push_back(std::move(message));
    }
    return messages;
}

std::string NoticeMessage(const std::string& stamp, const std::string& host, const std::string& file,
                          const std::string& kind, const std::string& text)
{
    return Header(stamp, host, NOTICE_APP, file) + "[" + SD_ID + " notice=\"" + kind + "\"] " + text;
}

} // namespace Vardel::Shipper
