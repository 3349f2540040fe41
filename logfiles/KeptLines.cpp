#include "KeptLines.h"

#include "FixedNames.h"
#include "KeptLinesFile.h"
#include "LogFile.h"

#include <algorithm>
#include <vector>

namespace {

// Lines for one file go out together, in writes of about this size.
constexpr std::size_t FLUSH_BYTES = 1024 * 1024;

} // namespace

std::string LostLinesMessage(std::size_t count, std::uint32_t firstTime, std::uint32_t lastTime)
{
    return std::to_string(count) + (count == 1 ? " line" : " lines") + " lost while the log file refused writes, from " +
           FormatEventTime(firstTime) + " to " + FormatEventTime(lastTime);
}

CKeptLines::CKeptLines(std::size_t limit, std::string setDownPath, std::string newPath)
    : m_limit(limit), m_setDownPath(std::move(setDownPath)), m_newPath(std::move(newPath))
{
}

CKeptLines::~CKeptLines() = default;

std::size_t CKeptLines::Footprint(const CLine& line)
{
    return sizeof(CLine) + line.bytes.size();
}

void CKeptLines::Keep(const std::string& path, std::string bytes, std::uint32_t time,
                      std::unique_ptr<CLineCharge> charge)
{
    KeepLine(path, std::move(bytes), time, std::move(charge), false);
}

void CKeptLines::KeepLine(const std::string& path, std::string bytes, std::uint32_t time,
                          std::unique_ptr<CLineCharge> charge, bool pickedUp)
{
    CLine line{std::move(bytes), time, m_nextOrder++, std::move(charge), pickedUp};
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
    if (pickedUp)
        ++m_pickedUpLines;
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
    AddLost(1, oldest.time, oldest.time, file->path, oldest.pickedUp);
    Forget(*file, 1);
    if (file->lines.empty())
        m_files.erase(file);
}

void CKeptLines::AddLost(std::uint64_t count, std::uint32_t firstTime, std::uint32_t lastTime,
                         const std::string& path, bool pickedUp)
{
    if (count == 0)
        return;
    if (m_lost.count == 0) {
        m_lost.firstTime = firstTime;
        m_lost.path = path;
    }
    m_lost.count += static_cast<std::size_t>(count);
    m_lost.lastTime = lastTime;
    if (pickedUp)
        m_pickedUpLost += count;
}

void CKeptLines::Forget(CFile& file, std::size_t count)
{
    for (; count > 0; --count) {
        m_bytes -= Footprint(file.lines.front());
        --m_lines;
        if (file.lines.front().pickedUp)
            --m_pickedUpLines;
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
        if (AppendLines(m_lost.path, line, wait) != AppendOutcome::Refused) {
            m_lost = CLost();
            m_pickedUpLost = 0;
        }
    }
    for (auto file = m_files.begin(); file != m_files.end();) {
        // Behind its lost-lines line, a file's own lines wait too.
        const bool behindLost = m_lost.count != 0 && m_lost.path == file->path;
        if (!behindLost && FlushFile(*file, wait))
            file = m_files.erase(file);
        else
            ++file;
    }
    Settle();
    return Empty();
}

void CKeptLines::Settle()
{
    // Removed only once its last line is on disk: a crash between writing a
    // line and this removal may write that line twice after the next start,
    // never lose it. A file that resists removal is tried at the next flush.
    if (!m_setDownOnDisk || m_pickedUpLines != 0 || m_pickedUpLost != 0)
        return;
    if (::DeleteFileA(m_setDownPath.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND)
        m_setDownOnDisk = false;
}

std::vector<std::pair<const std::string*, const CKeptLines::CLine*>> CKeptLines::InOrder() const
{
    std::vector<std::pair<const std::string*, const CLine*>> lines;
    lines.reserve(m_lines);
    for (const CFile& file : m_files)
        for (const CLine& line : file.lines)
            lines.emplace_back(&file.path, &line);
    std::sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
    return lines;
}

bool CKeptLines::SetDown()
{
    // Across files in the order they were kept, so that a later start
    // drops the same lines first should they again pass the limit.
    const auto lines = InOrder();
    CKeptFileWriter writer(m_setDownPath, m_newPath);
    bool ok = true;
    if (!lines.empty())
        ok = writer.Add(CKeptRecord::Header, lines.front().second->time, lines.back().second->time, lines.size(),
                        *lines.front().first, std::string());
    if (ok && m_lost.count != 0)
        ok = writer.Add(CKeptRecord::Lost, m_lost.firstTime, m_lost.lastTime, m_lost.count, m_lost.path,
                        std::string());
    for (auto it = lines.begin(); ok && it != lines.end(); ++it)
        ok = writer.Add(CKeptRecord::Line, it->second->time, 0, 0, *it->first, it->second->bytes);
    return ok && writer.Commit();
}

std::size_t CKeptLines::SetDownLostCount()
{
    // The file picked up at the start, if any, is as the failed set-down
    // left it: its lines stay there. The others are lost; their count goes
    // in on its own if that small record can be written. If not even that
    // can be (the folder gone, the disk full to the last byte), nothing
    // survives to tell of them.
    const std::size_t lost = (m_lines - m_pickedUpLines) + static_cast<std::size_t>(m_lost.count - m_pickedUpLost);
    if (lost == 0)
        return 0;
    CKeptRecord record;
    record.kind = CKeptRecord::Lost;
    record.count = lost;
    bool first = true;
    if (m_lost.count != m_pickedUpLost) {
        record.time = m_lost.firstTime;
        record.lastTime = m_lost.lastTime;
        record.path = m_lost.path;
        first = false;
    }
    for (const auto& line : InOrder()) {
        if (line.second->pickedUp)
            continue;
        if (first) {
            record.time = line.second->time;
            record.path = *line.first;
            first = false;
        }
        record.lastTime = line.second->time;
    }
    AppendKeptRecord(m_setDownPath, record);
    return lost;
}

std::size_t CKeptLines::Drain()
{
    if (Flush(true))
        return 0;
    const std::size_t lost = SetDown() ? 0 : SetDownLostCount();
    m_files.clear();
    m_lines = 0;
    m_bytes = 0;
    m_lost = CLost();
    m_pickedUpLines = 0;
    m_pickedUpLost = 0;
    m_setDownOnDisk = false;
    return lost;
}

void CKeptLines::PickUp(const ChargeMaker& charge)
{
    // A new file left over from a set-down cut short was never moved into
    // place: what it holds is not the set-down file's.
    ::DeleteFileA(m_newPath.c_str());
    const CKeptFileSummary summary = ReadKeptFile(m_setDownPath, [&](CKeptRecord& record) {
        if (record.kind == CKeptRecord::Lost)
            AddLost(record.count, record.time, record.lastTime, record.path, true);
        else
            KeepLine(record.path, std::move(record.bytes), record.time, charge ? charge() : nullptr, true);
    });
    if (!summary.exists)
        return;
    // Lines the header promised but a torn or damaged rest no longer
    // holds are lost, and said so. A file without a readable header holds
    // nothing to count them by.
    AddLost(summary.unread, summary.unreadFirstTime, summary.unreadLastTime, summary.unreadPath, true);
    m_setDownOnDisk = true;
    // Those lines had their wait in the run that kept them.
    Flush(false);
}

bool CKeptLines::Holds(const std::string& path) const
{
    return (m_lost.count != 0 && m_lost.path == path) ||
           std::any_of(m_files.begin(), m_files.end(), [&](const CFile& f) { return f.path == path; });
}
