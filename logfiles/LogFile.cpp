#include "LogFile.h"

#include "Handles.h"
#include "TrevalonIAlarm.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <time.h>

namespace {

const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t MAX_ZONE_NAME = 19;

std::string UnknownTime(std::uint32_t time)
{
    char text[32];
    std::snprintf(text, sizeof text, "UNKNOWN_TIME %lu", static_cast<unsigned long>(time));
    return text;
}

// The run-time's name for the standard or daylight-saving part of the zone.
std::string ZoneName(bool daylight)
{
    const char* name = _tzname[daylight ? 1 : 0];
    if (!name)
        return std::string();
    const std::string text(name);
    return text.substr(0, MAX_ZONE_NAME);
}

// Set when a lock outlasted the whole wait; until an open succeeds again,
// later lines try once, so a file held for hours does not stall the worker
// a wait per event. Only the worker thread writes lines.
std::atomic<bool> g_lockOutlastedWait{false};

bool IsLockedByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Opens the file for appending at its end, created when absent, shared for
// reading and writing like the run-time's own append mode. A program that
// holds it without sharing (a backup, an editor) is waited for a while:
// short locks then cost no line.
Vardel::CUniqueFileHandle OpenForAppend(const std::string& path)
{
    DWORD waited = 0, pause = 10;
    for (;;) {
        Vardel::CUniqueFileHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            g_lockOutlastedWait = false;
            return file;
        }
        if (!IsLockedByAnother(::GetLastError()) || g_lockOutlastedWait)
            return file;
        if (waited >= LOCKED_FILE_WAIT_MS) {
            g_lockOutlastedWait = true;
            return file;
        }
        ::Sleep(pause);
        waited += pause;
        pause = pause * 2 > 200 ? 200 : pause * 2;
    }
}

} // namespace

class CLogFile::CLogFileData {
public:
    virtual ~CLogFileData() = default;

    std::string m_strFileName;
};

CLogFile::CLogFile(const CDate& date) : m_pData(new CLogFileData)
{
    m_pData->m_strFileName = date.Format(LOG_FILE_PATTERN);
}

CLogFile::~CLogFile()
{
    delete m_pData;
}

const std::string& CLogFile::FileName() const
{
    return m_pData->m_strFileName;
}

void CLogFile::Write(boost::shared_ptr<CLogEvent> event)
{
    if (!event)
        return;
    // The alarm writer sees the message as received, and every level.
    CTrevalonIAlarm().ForwardEvent(event);
    if (event->m_level == LEVEL_NOT_LOGGED)
        return;
    try {
        CleanMessage(event->m_message);
        std::string line = FormatEventTime(event->m_time);
        line += ',';
        line += EventTypeName(event->m_type);
        line += ',';
        line += EventLevelName(event->m_level);
        line += ',';
        line += event->m_source;
        line += ",\"";
        line += event->m_message;
        line += "\"\n";

        // The text-mode translation, done here so that the whole line goes
        // out in one write: every LF, the source's included, becomes CR LF.
        // A process ended between two writes could otherwise leave half a
        // line.
        std::string bytes;
        bytes.reserve(line.size() + 2);
        for (char c : line) {
            if (c == '\n')
                bytes += '\r';
            bytes += c;
        }
        // The folder is not created: without it the line is lost.
        Vardel::CUniqueFileHandle file = OpenForAppend(m_pData->m_strFileName);
        if (!file)
            return;
        DWORD written = 0;
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
        // A failed line is dropped; the worker goes on with the next event.
    }
}

std::string FormatEventTime(std::uint32_t time)
{
    // The run-time reads the count as signed and cannot convert what lies
    // before 1970.
    const std::int32_t seconds = static_cast<std::int32_t>(time);
    if (seconds < 0)
        return UnknownTime(time);
    const std::time_t instant = seconds;
    const std::tm* converted = std::localtime(&instant);
    if (!converted)
        return UnknownTime(time);
    const std::tm local = *converted;
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11)
        return UnknownTime(time);

    const bool pm = local.tm_hour >= 12;
    int hour = local.tm_hour % 12;
    if (hour == 0)
        hour = 12;
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %s ", WEEKDAYS[local.tm_wday], MONTHS[local.tm_mon],
                  local.tm_mday, hour, local.tm_min, local.tm_sec, pm ? "PM" : "AM");
    return text + ZoneName(local.tm_isdst > 0);
}

void CleanMessage(std::string& text)
{
    for (char& c : text) {
        if (c == '"')
            c = '\'';
        else if (c == '\n' || c == '\r')
            c = ' ';
    }
}
