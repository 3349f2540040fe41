#include "Harvester.h"

#include "SyslogMessage.h"

#include <algorithm>

namespace Vardel::Shipper {

namespace {
constexpr std::uint64_t READ_BYTES = 1024 * 1024;

std::string Id(const CFileIdentity& id)
{
    return "volume " + std::to_string(id.volume) + ", index " + std::to_string(id.index);
}
} // namespace

struct CHarvester::CReader {
    std::string name;
    std::uint64_t size = 0; // as last seen
    ULONGLONG lastChange = 0;
    CUniqueFileHandle file;
    bool identified = false;
    CFileIdentity identity;
    std::unique_ptr<CRecordCutter> cutter; // null until the file is first checked
    std::uint64_t tailOffset = 0, tailLength = 0; // a last record without its end, as sent
};

CHarvester::CHarvester(std::string folder, std::string host, DWORD quietMs,
                       std::function<void(const std::string&)> say, std::function<std::string()> today)
    : m_folder(std::move(folder)), m_host(std::move(host)), m_quietMs(quietMs), m_say(std::move(say)),
      m_today(std::move(today))
{
}

CHarvester::~CHarvester() = default;

void CHarvester::Restart()
{
    // The files stay known (their sizes say what a deleted one held); what
    // was read of them beyond the registry's places is forgotten.
    for (auto& [name, reader] : m_readers) {
        reader->file.reset();
        reader->identified = false;
        reader->cutter.reset();
        reader->tailOffset = reader->tailLength = 0;
    }
    m_ready.clear();
    m_forgetting.clear();
}

void CHarvester::Queue(CReader&, const std::string& message, CCommit commit)
{
    m_ready.push_back(COutgoing{message, std::move(commit)});
}

void CHarvester::Scan(const CPlaceRegistry& committed, ULONGLONG now, std::vector<CCommit>& seen)
{
    const std::vector<CFolderEntry> entries = ListDayFiles(m_folder);
    std::map<std::string, std::uint64_t> present;
    for (const CFolderEntry& e : entries)
        present[e.name] = e.size;
    // Files gone from the folder, known to the registry or read here.
    std::vector<std::string> gone;
    for (auto it = m_forgetting.begin(); it != m_forgetting.end();)
        it = committed.count(*it) ? std::next(it) : m_forgetting.erase(it);
    for (const auto& [name, place] : committed)
        if (!present.count(name) && !m_forgetting.count(name))
            gone.push_back(name);
    for (const auto& [name, reader] : m_readers)
        if (!present.count(name) && !committed.count(name))
            gone.push_back(name);
    for (const std::string& name : gone) {
        const auto c = committed.find(name);
        const auto r = m_readers.find(name);
        std::uint64_t known = r != m_readers.end() ? r->second->size : 0;
        std::uint64_t sent = 0;
        if (c != committed.end()) {
            known = std::max(known, c->second.seen);
            sent = c->second.place + c->second.tail;
        }
        m_readers.erase(name);
        m_forgetting.insert(name);
        CCommit forget{CCommit::Kind::Forget, name, {}};
        if (known <= sent) {
            m_ready.push_back(COutgoing{"", forget});
            continue;
        }
        const std::string text = name + " was deleted with " + std::to_string(known - sent) +
                                 " bytes not sent (from offset " + std::to_string(sent) + " to " +
                                 std::to_string(known) + "): they never left the PC";
        m_say(text);
        m_ready.push_back(COutgoing{NoticeMessage(NowRfc3339(), m_host, name, "expired", text), forget});
    }
    for (const CFolderEntry& e : entries) {
        auto& reader = m_readers[e.name];
        if (!committed.count(e.name))
            seen.push_back(CCommit{CCommit::Kind::Set, e.name, CPlace{{}, 0, 0, e.size}});
        if (!reader) {
            reader = std::make_unique<CReader>();
            reader->name = e.name;
            reader->size = e.size;
            reader->lastChange = now;
        } else if (reader->size != e.size) {
            reader->size = e.size;
            reader->lastChange = now;
        }
        // A file replaced under the name of one held open: the next Work
        // finds the other identity. One that cannot be opened afresh was
        // deleted: let go of it, so that its name is free again (a deleted
        // file keeps its name while a handle is open).
        if (reader->file && reader->identified) {
            FILE_STANDARD_INFO standard{};
            CUniqueFileHandle fresh = OpenDayFile(m_folder + "\\" + e.name);
            CFileIdentity identity;
            std::uint64_t size = 0;
            if (!fresh || (Identify(fresh.get(), identity, size) && identity != reader->identity) ||
                (::GetFileInformationByHandleEx(reader->file.get(), FileStandardInfo, &standard, sizeof standard) &&
                 standard.DeletePending))
                reader->file.reset();
        }
    }
}

bool CHarvester::Next(const CPlaceRegistry& committed, ULONGLONG now, COutgoing& out)
{
    if (m_ready.empty()) {
        const std::string today = m_today();
        for (auto& [name, reader] : m_readers)
            if (Work(*reader, committed, now, name >= today))
                break;
    }
    if (m_ready.empty())
        return false;
    out = std::move(m_ready.front());
    m_ready.pop_front();
    return true;
}

// Opens the file where needed and makes sure it is the one being read;
// false when it cannot be read now. Queues a notice when it is not.
bool CHarvester::Check(CReader& reader, const CPlaceRegistry& committed)
{
    if (reader.file)
        return true;
    reader.file = OpenDayFile(m_folder + "\\" + reader.name);
    CFileIdentity identity;
    std::uint64_t size = 0;
    if (!reader.file || !Identify(reader.file.get(), identity, size)) {
        reader.file.reset();
        return false;
    }
    const auto c = committed.find(reader.name);
    if (!reader.cutter && c != committed.end()) {
        // A file registered when first seen has no identity yet.
        reader.identified = c->second.identity != CFileIdentity{};
        reader.identity = c->second.identity;
        reader.cutter = std::make_unique<CRecordCutter>(c->second.place);
        reader.tailOffset = c->second.place;
        reader.tailLength = c->second.tail;
    }
    std::string why;
    if (reader.identified && identity != reader.identity)
        why = reader.name + " was replaced by another file of that name (" + Id(identity) + ", was " +
              Id(reader.identity) + ")";
    else if (reader.cutter && size < reader.cutter->End())
        why = reader.name + " is now " + std::to_string(size) + " bytes, shorter than the " +
              std::to_string(reader.cutter->End()) + " bytes already read";
    reader.identified = true;
    reader.identity = identity;
    reader.size = size;
    if (!why.empty() || !reader.cutter) {
        reader.cutter = std::make_unique<CRecordCutter>(0);
        reader.tailOffset = reader.tailLength = 0;
    }
    if (!why.empty()) {
        why += ": it is read again from the start";
        m_say(why);
        Queue(reader, NoticeMessage(NowRfc3339(), m_host, reader.name, "reread", why),
              CCommit{CCommit::Kind::Set, reader.name, CPlace{identity, 0, 0, size}});
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(reader.cutter->End());
    if (!::SetFilePointerEx(reader.file.get(), at, nullptr, FILE_BEGIN)) {
        reader.file.reset();
        return !m_ready.empty();
    }
    return true;
}

bool CHarvester::Work(CReader& reader, const CPlaceRegistry& committed, ULONGLONG now, bool today)
{
    // A file read to its end and closed is opened again only when it changed.
    if (!reader.file && reader.cutter && reader.size == reader.cutter->End())
        return false;
    if (!Check(reader, committed))
        return false;
    if (!m_ready.empty())
        return true;
    CRecordCutter& cutter = *reader.cutter;
    for (;;) {
        if (!cutter.Ready().empty()) {
            const CRecord record = std::move(cutter.Ready().front());
            cutter.Ready().pop_front();
            const std::vector<std::string> messages =
                RecordMessages(NowRfc3339(), m_host, reader.name, record.offset, record.bytes);
            for (std::size_t i = 0; i + 1 < messages.size(); ++i)
                Queue(reader, messages[i], CCommit{});
            Queue(reader, messages.back(),
                  CCommit{CCommit::Kind::Set, reader.name,
                          CPlace{reader.identity, record.offset + record.bytes.size(), 0, reader.size}});
            return true;
        }
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(reader.file.get(), &size))
            return false;
        if (static_cast<std::uint64_t>(size.QuadPart) != reader.size) {
            reader.size = static_cast<std::uint64_t>(size.QuadPart);
            reader.lastChange = now;
        }
        if (reader.size < cutter.End()) {
            // Cut shorter while open: checked again from a fresh open.
            reader.file.reset();
            return Check(reader, committed) && !m_ready.empty();
        }
        if (cutter.End() == reader.size)
            break;
        std::string block(static_cast<std::size_t>(std::min(READ_BYTES, reader.size - cutter.End())), '\0');
        DWORD got = 0;
        if (!::ReadFile(reader.file.get(), &block[0], static_cast<DWORD>(block.size()), &got, nullptr) || got == 0)
            return false;
        cutter.Feed(block.data(), got);
    }
    const std::string& pending = cutter.Pending();
    const bool tailSent = reader.tailOffset == cutter.PendingOffset() && reader.tailLength == pending.size();
    if (!pending.empty() && !tailSent && (!today || now - reader.lastChange >= m_quietMs)) {
        const std::vector<std::string> messages =
            RecordMessages(NowRfc3339(), m_host, reader.name, cutter.PendingOffset(), pending);
        for (std::size_t i = 0; i + 1 < messages.size(); ++i)
            Queue(reader, messages[i], CCommit{});
        Queue(reader, messages.back(),
              CCommit{CCommit::Kind::Set, reader.name,
                      CPlace{reader.identity, cutter.PendingOffset(), pending.size(), reader.size}});
        reader.tailOffset = cutter.PendingOffset();
        reader.tailLength = pending.size();
        return true;
    }
    // Past days' files are closed once sent; the server writes only today's.
    if (!today && (pending.empty() || tailSent))
        reader.file.reset();
    return false;
}

std::vector<std::pair<std::string, std::uint64_t>> CHarvester::UnsentByFile(const CPlaceRegistry& committed) const
{
    std::vector<std::pair<std::string, std::uint64_t>> unsent;
    for (const auto& [name, reader] : m_readers) {
        const auto c = committed.find(name);
        const std::uint64_t sent = c == committed.end() ? 0 : c->second.place + c->second.tail;
        if (reader->size > sent)
            unsent.emplace_back(name, reader->size - sent);
    }
    return unsent;
}

std::uint64_t CHarvester::Unsent(const CPlaceRegistry& committed) const
{
    std::uint64_t unsent = 0;
    for (const auto& file : UnsentByFile(committed))
        unsent += file.second;
    return unsent;
}

} // namespace Vardel::Shipper
