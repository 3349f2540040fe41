#include "KeptLines.h"

#include "FixedNames.h"
#include "LogFile.h"

#include <algorithm>

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
    return sizeof(CLine) + line.bytes.size();
}

void CKeptLines::Keep(const std::string& path, std::string bytes, std::uint32_t time,
                      std::unique_ptr<CLineCharge> charge)
{
    CLine line{std::move(bytes), time, m_nextOrder++, std::move(charge)};
    const std::size_t size = Footprint(line);
    while (m_lines != 0 && (m_bytes > m_limit || size > m_limit - m_bytes))
        DropOldest();
    auto file = std::find_if(m_files.begin(), m_files.end(), [&](const CFile& f) { return f.path == path; });
    if (file == m_files.end()) {
        m_files.push_back(CFile{path, {}});
        file = m_files.end() - 1;
    }
    file->lines.push_back(std::move(line));
    ++m_lines;
    m_bytes += size;
    // Moved from the queue's share only once the line is surely held here.
    if (file->lines.back().charge)
        file->lines.back().charge->Kept(size);
}

void CKeptLines::DropOldest()
{
    auto file = std::min_element(m_files.begin(), m_files.end(), [](const CFile& a, const CFile& b) {
        return a.lines.front().order < b.lines.front().order;
    });
    const CLine& oldest = file->lines.front();
    if (m_lost.count++ == 0) {
        m_lost.firstTime = oldest.time;
        m_lost.path = file->path;
    }
    m_lost.lastTime = oldest.time;
    Forget(*file, 1);
    if (file->lines.empty())
        m_files.erase(file);
}

void CKeptLines::Forget(CFile& file, std::size_t count)
{
    for (; count > 0; --count) {
        m_bytes -= Footprint(file.lines.front());
        --m_lines;
        file.lines.pop_front();
    }
}

bool CKeptLines::FlushFile(CFile& file, bool wait)
{
    std::string batch;
    while (!file.lines.empty()) {
        batch.clear();
        std::size_t count = 0;
        while (count < file.lines.size() &&
               (count == 0 || batch.size() + file.lines[count].bytes.size() <= FLUSH_BYTES))
            batch += file.lines[count++].bytes;
        if (AppendLines(file.path, batch, wait) == AppendOutcome::Refused)
            return false;
        Forget(file, count);
    }
    return true;
}

bool CKeptLines::Flush(bool wait)
{
    if (m_lost.count != 0) {
        const std::string line =
            LineBytes(m_lost.firstTime, EventTypeName(EVENT_TYPE_WARNING), EventLevelName(EVENT_LEVEL_RELEASE),
                      Vardel::SERVER_SOURCE, LostLinesMessage(m_lost.count, m_lost.firstTime, m_lost.lastTime));
        if (AppendLines(m_lost.path, line, wait) != AppendOutcome::Refused)
            m_lost = CLost();
    }
    for (auto file = m_files.begin(); file != m_files.end();) {
        // Behind its lost-lines line, a file's own lines wait too.
        const bool behindLost = m_lost.count != 0 && m_lost.path == file->path;
        if (!behindLost && FlushFile(*file, wait))
            file = m_files.erase(file);
        else
            ++file;
    }
    return Empty();
}

std::size_t CKeptLines::Drain()
{
    if (Flush(true))
        return 0;
    const std::size_t lost = m_lines + m_lost.count;
    m_files.clear();
    m_lines = 0;
    m_bytes = 0;
    m_lost = CLost();
    return lost;
}

bool CKeptLines::Holds(const std::string& path) const
{
    return (m_lost.count != 0 && m_lost.path == path) ||
           std::any_of(m_files.begin(), m_files.end(), [&](const CFile& f) { return f.path == path; });
}
