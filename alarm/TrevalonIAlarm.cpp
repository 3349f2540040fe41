#include "TrevalonIAlarm.h"

#include "AlarmRecord.h"
#include "Handles.h"
#include "RegistryText.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace Vardel;

namespace {

// Minutes east of UTC, from the local and UTC breakdowns of one instant.
// The two may fall on different days, and then on different years.
int MinutesEastOfUtc(const std::tm& local, const std::tm& utc)
{
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year)
        days = local.tm_year < utc.tm_year ? -1 : 1;
    return (days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min;
}

// True when the file's last byte is not a line end: an owner that died while
// holding the mutex may have left half a record there.
bool EndsInsideLine(const std::string& path)
{
    CUniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), -1, SEEK_END) != 0)
        return false;
    const int last = std::fgetc(file.get());
    return last != EOF && last != '\n';
}

} // namespace

// Only a text value names the file; REG_EXPAND_SZ has its variables
// expanded as its type asks. The bytes of a number or of binary data read as
// a name could create a file anywhere, so they count as unreadable.
std::string AlarmFilePath(const std::string& stored, DWORD type)
{
    if (type == REG_SZ)
        return stored;
    if (type != REG_EXPAND_SZ || stored.empty())
        return std::string();
    const DWORD needed = ::ExpandEnvironmentStringsA(stored.c_str(), nullptr, 0);
    if (needed == 0)
        return std::string();
    std::string expanded(needed, '\0');
    const DWORD written = ::ExpandEnvironmentStringsA(stored.c_str(), &expanded[0], needed);
    if (written == 0 || written > needed)
        return std::string();
    expanded.resize(written - 1);
    return expanded;
}

namespace {

// Appends the record under the alarm-file mutex, held from before the file
// is opened until after it is closed. Failures drop the record.
void AppendAlarmRecord(const std::string& path, const std::string& record)
{
    CUniqueHandle mutex(::CreateMutexA(nullptr, FALSE, ALARM_MUTEX_NAME));
    if (!mutex)
        return;
    const DWORD wait = ::WaitForSingleObject(mutex.get(), INFINITE);
    // Abandonment hands this thread the ownership like a plain acquisition.
    // Records are appended and self-contained, so writing ours after
    // whatever the dead owner left loses nothing; dropping it would lose an
    // alarm. A half-written last line is ended first so ours stays whole.
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return;
    CMutexOwnership ownership(mutex.get());

    const bool startNewLine = wait == WAIT_ABANDONED && EndsInsideLine(path);
    CUniqueFile file(std::fopen(path.c_str(), "a+"));
    if (!file)
        return;
    if (startNewLine)
        std::fputc('\n', file.get());
    std::fwrite(record.data(), 1, record.size(), file.get());
    // The file closes before the ownership ends, then the handle.
}

} // namespace

CTrevalonIAlarm::CTrevalonIAlarm() = default;

CTrevalonIAlarm::~CTrevalonIAlarm() = default;

void CTrevalonIAlarm::ForwardEvent(boost::shared_ptr<CLogEvent> event) noexcept
{
    try {
        if (!event || !IsAlarmType(event->m_type))
            return;
        const std::string record =
            BuildAlarmRecord(*event, FormatAlarmTimeStamp(event->m_time), AlarmComputerName(),
                             ReadRegistryText(HKEY_LOCAL_MACHINE, INSTRUMENT_KEY, INSTRUMENT_VALUE));
        DWORD type = REG_NONE;
        const std::string stored = ReadRegistryText(HKEY_LOCAL_MACHINE, ALARM_CONFIG_KEY, ALARM_FILE_VALUE, &type);
        const std::string path = AlarmFilePath(stored, type);
        if (path.empty())
            return;
        AppendAlarmRecord(path, record);
    } catch (...) {
        // Dropped: the caller writes the log line whatever happens here.
    }
}

std::string FormatAlarmTimeStamp(std::uint32_t time)
{
    // The count is read as signed: 2^31 and above lie before 1970, which the
    // run-time cannot convert, and get no stamp.
    const std::int32_t seconds = static_cast<std::int32_t>(time);
    if (seconds < 0)
        return std::string();
    const std::time_t instant = seconds;
    // localtime and gmtime share one buffer per thread: copy each at once.
    const std::tm* converted = std::localtime(&instant);
    if (!converted)
        return std::string();
    const std::tm local = *converted;
    converted = std::gmtime(&instant);
    if (!converted)
        return std::string();
    const std::tm utc = *converted;

    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    if (length == 0)
        return std::string();
    const int east = MinutesEastOfUtc(local, utc);
    const int magnitude = std::abs(east);
    std::snprintf(text + length, sizeof text - length, "%c%02d:%02d", east < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}
