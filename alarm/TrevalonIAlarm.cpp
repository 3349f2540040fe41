#include "TrevalonIAlarm.h"

#include "AlarmRecord.h"
#include "Handles.h"
#include "RegistryText.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

using namespace Vardel;

namespace {

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
    // The ANSI expansion may report a count one short of the bytes it needs,
    // more with double-byte code pages. So the count only sizes the buffer:
    // the result is whole when its NUL leaves at least one byte unused.
    // Expansions end at 32767 characters, two bytes each at most.
    constexpr DWORD MAX_BYTES = 4 * 32768;
    DWORD size = ::ExpandEnvironmentStringsA(stored.c_str(), nullptr, 0);
    if (size == 0)
        return std::string();
    size = 2 * size + 2;
    while (size <= MAX_BYTES) {
        std::string expanded(size, '\0');
        const DWORD reported = ::ExpandEnvironmentStringsA(stored.c_str(), &expanded[0], size);
        if (reported == 0)
            return std::string();
        const std::size_t length = strnlen(expanded.c_str(), size);
        if (reported <= size && length + 1 < size) {
            expanded.resize(length);
            return expanded;
        }
        size = 2 * (reported > size ? reported : size);
    }
    return std::string();
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
                             ReadSettingText(HKEY_LOCAL_MACHINE, INSTRUMENT_KEY, INSTRUMENT_VALUE));
        DWORD type = REG_NONE;
        const std::string stored = ReadSettingText(HKEY_LOCAL_MACHINE, ALARM_CONFIG_KEY, ALARM_FILE_VALUE, &type);
        const std::string path = AlarmFilePath(stored, type);
        if (path.empty())
            return;
        AppendAlarmRecord(path, record);
    } catch (...) {
        // Dropped: the caller writes the log line whatever happens here.
    }
}
