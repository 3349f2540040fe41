#pragma once
// The one owner of the place reached in each day file: what the collector
// has answered 200 for, and nothing further. Places move only through
// CPendingCommits, in the order the messages were sent, once every message
// before has its answer. Pure; used on the shipper's one thread.

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace Vardel::Shipper {

// A file as the file system knows it whatever its name: volume serial and
// file index. A day file replaced under its name gets another.
struct CFileIdentity {
    std::uint32_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const CFileIdentity& o) const { return volume == o.volume && index == o.index; }
    bool operator!=(const CFileIdentity& o) const { return !(*this == o); }
};

struct CPlace {
    CFileIdentity identity;
    std::uint64_t place = 0; // every record before this offset has its answer
    std::uint64_t tail = 0;  // bytes at place sent as a record without its end (0: none)
    std::uint64_t seen = 0;  // the file's size when last looked at
    bool operator==(const CPlace& o) const
    {
        return identity == o.identity && place == o.place && tail == o.tail && seen == o.seen;
    }
};

using CPlaceRegistry = std::map<std::string, CPlace>;

// What the answer to one message does to the registry.
struct CCommit {
    enum class Kind { None, Set, Forget };
    Kind kind = Kind::None;
    std::string file;
    CPlace place;
};

class CPendingCommits {
public:
    // Tags a message about to be sent; its commit waits for its answer.
    std::uint64_t Add(CCommit commit);
    // The message with this tag has its answer.
    void Answered(std::uint64_t tag);
    // Applies, in send order, the commits whose messages and all before
    // have their answers; the number applied.
    std::size_t ApplyTo(CPlaceRegistry& registry);
    // The connection is gone: nothing waiting will be answered.
    void Clear() { m_waiting.clear(); }
    std::size_t Waiting() const { return m_waiting.size(); }

private:
    struct CEntry {
        std::uint64_t tag;
        bool answered;
        CCommit commit;
    };
    std::deque<CEntry> m_waiting;
    std::uint64_t m_nextTag = 1;
};

} // namespace Vardel::Shipper
