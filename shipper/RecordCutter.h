#pragma once
// Cuts a day file's bytes into records by the log's own grammar: a record
// is whole when a line ends in ,"MESSAGE" (a message holds no double quote)
// and one optional control byte, then LF. Lines that end no record (a
// source with line breaks, or a line a full disk cut short) stay with the
// record they precede. Owned by one harvester; not thread-safe.

#include <cstdint>
#include <deque>
#include <string>

namespace Vardel::Shipper {

struct CRecord {
    std::uint64_t offset = 0; // of the record's first byte in its file
    std::string bytes;        // the record as it stands in the file, line ends and all
};

// True when line (its bytes up to, not including, the LF) ends a record.
bool EndsRecord(const char* line, std::size_t length);

class CRecordCutter {
public:
    // A record never grows past maxRecord bytes: bytes without a record's
    // end (a file of garbage, a line without end) go as records of that
    // size, each at its own offset, rather than filling the memory.
    static constexpr std::size_t MAX_RECORD = 64u * 1024 * 1024;

    explicit CRecordCutter(std::uint64_t startOffset = 0, std::size_t maxRecord = MAX_RECORD)
        : m_pendingOffset(startOffset), m_maxRecord(maxRecord)
    {
    }

    // Takes the next bytes of the file; whole records go to Ready().
    void Feed(const char* data, std::size_t length);

    std::deque<CRecord>& Ready() { return m_ready; }
    // The bytes after the last whole record: a record not yet ended, and
    // where it starts.
    const std::string& Pending() const { return m_pending; }
    std::uint64_t PendingOffset() const { return m_pendingOffset; }
    // Where the next fed byte lies in the file.
    std::uint64_t End() const { return m_pendingOffset + m_pending.size(); }

private:
    std::deque<CRecord> m_ready;
    std::string m_pending;
    std::uint64_t m_pendingOffset;
    std::size_t m_maxRecord;
    std::size_t m_lineStart = 0; // in m_pending: where the line being read starts
};

} // namespace Vardel::Shipper
