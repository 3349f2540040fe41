#include "KeptLines.h"

#include "FixedNames.h"
#include "LogEvent.h"
#include "LogFile.h"

namespace {

// Lines for one file go out together, in writes of about this size.
constexpr std::size_t FLUSH_BYTES = 1024 * 1024;

} // namespace

std::string LostLinesMessage(std::size_t count, std::uint32_t firstTime, std::uint32_t lastTime)
{
    return std::to_string(count) + (count == 1 ? " line" : " lines") + " lost while the log file refused writes, from " +
           FormatEventTime(firstTime) + " to " + FormatEventTime(lastTime);
}

CKeptLines::CKeptLines(std::size_t limit) : m_limit(limit) {}

CKeptLines::~CKeptLines() = default;

std::size_t CKeptLines::Footprint(const CLine& line)
{
    return sizeof(CLine) + line.path.size() + line.bytes.size();
}

void CKeptLines::Keep(std::string path, std::string bytes, std::uint32_t time, std::unique_ptr<CLineCharge> charge)
{
    CLine line{std::move(path), std::move(bytes), time, std::move(charge)};
    const std::size_t size = Footprint(line);
    while (!m_lines.empty() && (m_bytes > m_limit || size > m_limit - m_bytes))
        DropOldest();
    m_lines.push_back(std::move(line));
    m_bytes += size;
    // Moved from the queue's share only once the line is surely held here.
    if (m_lines.back().charge)
        m_lines.back().charge->Kept();
}

void CKeptLines::DropOldest()
{
    CLine& oldest = m_lines.front();
    if (m_lost.count++ == 0) {
        m_lost.firstTime = oldest.time;
        m_lost.path = oldest.path;
    }
    m_lost.lastTime = oldest.time;
    m_bytes -= Footprint(oldest);
    m_lines.pop_front();
}

bool CKeptLines::Flush(bool wait)
{
    if (m_lost.count != 0) {
        const std::string line =
            LineBytes(m_lost.firstTime, EventTypeName(EVENT_TYPE_WARNING), EventLevelName(EVENT_LEVEL_RELEASE),
                      Vardel::SERVER_SOURCE, LostLinesMessage(m_lost.count, m_lost.firstTime, m_lost.lastTime));
        if (AppendLines(m_lost.path, line, wait) == AppendOutcome::Refused)
            return false;
        m_lost = CLost();
    }
    std::string batch;
    while (!m_lines.empty()) {
        const std::string& path = m_lines.front().path;
        batch.clear();
        std::size_t count = 0;
        while (count < m_lines.size() && m_lines[count].path == path &&
               (count == 0 || batch.size() + m_lines[count].bytes.size() <= FLUSH_BYTES))
            batch += m_lines[count++].bytes;
        if (AppendLines(path, batch, wait) == AppendOutcome::Refused)
            return false;
        for (; count > 0; --count) {
            m_bytes -= Footprint(m_lines.front());
            m_lines.pop_front();
        }
    }
    return true;
}

std::size_t CKeptLines::Drain()
{
    if (Flush(true))
        return 0;
    const std::size_t lost = m_lines.size() + m_lost.count;
    m_lines.clear();
    m_bytes = 0;
    m_lost = CLost();
    return lost;
}
