#include "LogFile.h"

#include "Handles.h"
#include "KeptLines.h"
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

BOOL PlainWriteFile(HANDLE file, const void* bytes, DWORD size, DWORD* written)
{
    return ::WriteFile(file, bytes, size, written, nullptr);
}

std::atomic<LineWriteFunction> g_lineWrite{&PlainWriteFile};

bool IsLockedByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Opens the file created when absent, shared for reading and writing like
// the run-time's own append mode; read access lets the writer see how the
// file ends, write access lets it take back a part of a line.
Vardel::CUniqueFileHandle OpenForAppend(const std::string& path)
{
    return Vardel::CUniqueFileHandle(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool MoveTo(HANDLE file, std::int64_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

// Tells whether the file's last byte ends a line (an empty file does).
// FALSE with GetLastError set when that byte cannot be read.
BOOL EndsWithLineEnd(HANDLE file, std::int64_t size, bool& endsLine)
{
    endsLine = true;
    if (size == 0)
        return TRUE;
    char last = 0;
    DWORD read = 0;
    if (!MoveTo(file, size - 1) || !::ReadFile(file, &last, 1, &read, nullptr))
        return FALSE;
    endsLine = read == 1 && last == '\n';
    return TRUE;
}

// Writes all of `bytes` at `offset`, or takes back what part of them reached
// the file. FALSE with GetLastError set when the bytes are not all there;
// when even the taking back fails, the file ends inside a line, which the
// next append sees and ends first.
BOOL WriteAllOrNothing(HANDLE file, std::int64_t offset, const char* bytes, DWORD size)
{
    DWORD written = 0;
    if (!MoveTo(file, offset))
        return FALSE;
    const BOOL ok = g_lineWrite.load()(file, bytes, size, &written);
    if (ok && written == size)
        return TRUE;
    const DWORD error = ok ? ERROR_HANDLE_DISK_FULL : ::GetLastError();
    if (MoveTo(file, offset))
        ::SetEndOfFile(file);
    ::SetLastError(error);
    return FALSE;
}

// Appends the lines at the file's end, starting them on a line of their own when
// the file ends inside one (a line that an earlier failure could not take
// back, or that another program left).
BOOL AppendWholeLine(HANDLE file, const std::string& bytes)
{
    LARGE_INTEGER end;
    LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(file, zero, &end, FILE_END))
        return FALSE;
    std::int64_t offset = end.QuadPart;
    bool endsLine = true;
    if (!EndsWithLineEnd(file, offset, endsLine))
        return FALSE;
    if (!endsLine) {
        if (!WriteAllOrNothing(file, offset, "\r\n", 2))
            return FALSE;
        offset += 2;
    }
    return WriteAllOrNothing(file, offset, bytes.data(), static_cast<DWORD>(bytes.size()));
}

} // namespace

class CLogFile::CLogFileData {
public:
    virtual ~CLogFileData() = default;

    std::string m_strFileName;
    CKeptLines* m_kept = nullptr;
};

CLogFile::CLogFile(const CDate& date, CKeptLines* kept) : m_pData(new CLogFileData)
{
    m_pData->m_strFileName = date.Format(LOG_FILE_PATTERN);
    m_pData->m_kept = kept;
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
    std::unique_ptr<CLineCharge> noCharge;
    Write(std::move(event), noCharge);
}

void CLogFile::Write(boost::shared_ptr<CLogEvent> event, std::unique_ptr<CLineCharge>& charge)
{
    if (!event)
        return;
    // The alarm writer sees the message as received, and every level.
    CTrevalonIAlarm().ForwardEvent(event);
    if (event->m_level == LEVEL_NOT_LOGGED)
        return;
    try {
        CleanMessage(event->m_message);
        std::string bytes = LineBytes(event->m_time, EventTypeName(event->m_type), EventLevelName(event->m_level),
                                      event->m_source, event->m_message);
        const std::string& path = m_pData->m_strFileName;
        CKeptLines* kept = m_pData->m_kept;
        // A new line never passes kept ones of its file; while the file
        // still refuses them it goes behind them without a wait of its own.
        if (kept) {
            kept->Flush(false);
            if (kept->Holds(path)) {
                kept->Keep(path, std::move(bytes), event->m_time, std::move(charge));
                return;
            }
        }
        // The folder is not created: without it the line is lost.
        if (AppendLines(path, bytes, true) == AppendOutcome::Refused && kept)
            kept->Keep(path, std::move(bytes), event->m_time, std::move(charge));
    } catch (...) {
        // A failed line is dropped; the worker goes on with the next event.
    }
}

// One attempt after another until the lines are on disk or the wait is
// over. A file held by another program and a write that fails (full disk,
// byte-range lock) are worth waiting for; a missing folder or denied access
// is not.
AppendOutcome AppendLines(const std::string& path, const std::string& bytes, bool wait)
{
    const ULONGLONG start = ::GetTickCount64();
    DWORD pause = 10;
    for (;;) {
        {
            Vardel::CUniqueFileHandle file = OpenForAppend(path);
            if (file) {
                if (AppendWholeLine(file.get(), bytes))
                    return AppendOutcome::Written;
            } else if (!IsLockedByAnother(::GetLastError())) {
                return AppendOutcome::Failed;
            }
        }
        if (!wait || ::GetTickCount64() - start >= LOCKED_FILE_WAIT_MS)
            return AppendOutcome::Refused;
        ::Sleep(pause);
        pause = pause * 2 > 200 ? 200 : pause * 2;
    }
}

std::string LineBytes(std::uint32_t time, const std::string& type, const std::string& level, const std::string& source,
                      const std::string& message)
{
    std::string line = FormatEventTime(time);
    line += ',';
    line += type;
    line += ',';
    line += level;
    line += ',';
    line += source;
    line += ",\"";
    line += message;
    line += "\"\n";

    // The text-mode translation, done here so that the whole line goes out
    // in one write: every LF, the source's included, becomes CR LF.
    std::string bytes;
    bytes.reserve(line.size() + 2);
    for (char c : line) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

LineWriteFunction SetLineWriteFunction(LineWriteFunction write)
{
    return g_lineWrite.exchange(write ? write : &PlainWriteFile);
}

BOOL WriteThroughLineWriter(HANDLE file, const char* bytes, DWORD size)
{
    DWORD written = 0;
    const BOOL ok = g_lineWrite.load()(file, bytes, size, &written);
    if (ok && written == size)
        return TRUE;
    if (ok)
        ::SetLastError(ERROR_HANDLE_DISK_FULL);
    return FALSE;
}

std::string FormatEventTime(std::uint32_t time)
{
    // Unsigned and converted in 64 bits: 2^31 and above are 2038 to 2106.
    // The run-time converts every such count; should it refuse one, the
    // line still goes out with the raw count.
    const __time64_t instant = time;
    std::tm local = {};
    if (_localtime64_s(&local, &instant) != 0 || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11)
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
