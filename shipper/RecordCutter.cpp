#include "RecordCutter.h"

#include <cstring>

namespace Vardel::Shipper {

bool EndsRecord(const char* line, std::size_t length)
{
    if (length > 0) {
        const unsigned char last = static_cast<unsigned char>(line[length - 1]);
        if (last < 0x20 || last == 0x7f)
            --length;
    }
    if (length < 3 || line[length - 1] != '"')
        return false;
    // Back over the message to its opening quote, which must follow a comma.
    std::size_t at = length - 1;
    while (at > 0 && line[at - 1] != '"')
        --at;
    return at >= 2 && line[at - 1] == '"' && line[at - 2] == ',';
}

void CRecordCutter::Feed(const char* data, std::size_t length)
{
    std::size_t searchFrom = m_pending.size();
    m_pending.append(data, length);
    // Records are taken off the front once, after the loop: erasing each in
    // turn would move the rest of a large read again for every record.
    std::size_t consumed = 0;
    for (;;) {
        const void* lf = std::memchr(m_pending.data() + searchFrom, '\n', m_pending.size() - searchFrom);
        if (!lf)
            break;
        const std::size_t lineEnd = static_cast<const char*>(lf) - m_pending.data();
        if (EndsRecord(m_pending.data() + m_lineStart, lineEnd - m_lineStart)) {
            CRecord record;
            record.offset = m_pendingOffset + consumed;
            record.bytes.assign(m_pending, consumed, lineEnd + 1 - consumed);
            m_ready.push_back(std::move(record));
            consumed = lineEnd + 1;
        }
        m_lineStart = lineEnd + 1;
        searchFrom = m_lineStart;
    }
    m_pending.erase(0, consumed);
    m_pendingOffset += consumed;
    m_lineStart -= consumed;
    while (m_pending.size() >= m_maxRecord) {
        CRecord record;
        record.offset = m_pendingOffset;
        record.bytes.assign(m_pending, 0, m_maxRecord);
        m_ready.push_back(std::move(record));
        m_pending.erase(0, m_maxRecord);
        m_pendingOffset += m_maxRecord;
        m_lineStart = m_lineStart > m_maxRecord ? m_lineStart - m_maxRecord : 0;
    }
}

} // namespace Vardel::Shipper
