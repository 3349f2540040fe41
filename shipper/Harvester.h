#pragma once
// The readers of the log folder: one per day file, each from the place the
// registry holds, cutting records and making the messages to send, in day
// order. It moves no place: every message comes with the commit its answer
// makes. Runs on the shipper's one thread; owns the open day files.

#include "DayFiles.h"
#include "PlaceRegistry.h"
#include "RecordCutter.h"

#include <windows.h>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Vardel::Shipper {

// One message and what its answer commits. A message left empty is not
// sent: its commit needs no answer (a fully sent file that is gone).
struct COutgoing {
    std::string message;
    CCommit commit;
};

class CHarvester {
public:
    // quietMs: how long a file must stand still before a last record
    // without its end goes. say: a line for the operator.
    // today: the name of today's day file (the local clock's by default).
    CHarvester(std::string folder, std::string host, DWORD quietMs, std::function<void(const std::string&)> say,
               std::function<std::string()> today = TodaysFileName);
    ~CHarvester();

    // Forgets what was read beyond the registry's places (a new session
    // sends it all again) and closes every file.
    void Restart();
    // Looks at the folder: new, grown, replaced and vanished day files.
    // Each file the registry does not know yet gets a commit into seen, to
    // be applied at once: place 0, the size seen, no identity yet.
    void Scan(const CPlaceRegistry& committed, ULONGLONG now, std::vector<CCommit>& seen);
    // The next message in day order; false when nothing is ready now.
    bool Next(const CPlaceRegistry& committed, ULONGLONG now, COutgoing& out);
    // Bytes of the day files not yet answered by the collector, in all and
    // by file (files with none left out).
    std::uint64_t Unsent(const CPlaceRegistry& committed) const;
    std::vector<std::pair<std::string, std::uint64_t>> UnsentByFile(const CPlaceRegistry& committed) const;

private:
    struct CReader;
    bool Work(CReader& reader, const CPlaceRegistry& committed, ULONGLONG now, bool today);
    bool Check(CReader& reader, const CPlaceRegistry& committed);
    void Queue(CReader& reader, const std::string& message, CCommit commit);

    std::string m_folder;
    std::string m_host;
    DWORD m_quietMs;
    std::function<void(const std::string&)> m_say;
    std::function<std::string()> m_today;
    std::map<std::string, std::unique_ptr<CReader>> m_readers; // in day order
    std::deque<COutgoing> m_ready;
    std::set<std::string> m_forgetting; // gone files whose forgetting waits for its answer
};

} // namespace Vardel::Shipper
