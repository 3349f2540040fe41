#include "Shipper.h"

#include "Connection.h"
#include "Harvester.h"
#include "RelpSession.h"
#include "ShipperStatus.h"
#include "TlsChannel.h"
#include "StateFile.h"
#include "SyslogMessage.h"

#include <algorithm>
#include <memory>
#include <random>

namespace Vardel::Shipper {

namespace {
constexpr DWORD SCAN_MS = 1000;          // the folder is looked at this often: new bytes wait at most so long
constexpr DWORD CONNECT_MS = 10000;      // a connection not made by then is given up
constexpr DWORD CLOSE_MS = 2000;         // how long a stop waits for the collector to answer close
constexpr std::size_t OUTBOX_BYTES = 4u << 20; // no more is read ahead of the socket
constexpr DWORD REPORT_MS = 2000;        // places reached are said at most this often
constexpr DWORD SAVE_MS = 200;           // places are saved at most this often while answers come
} // namespace

bool SplitCollector(const std::string& text, std::string& host, std::string& port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long number = std::stol(port);
    return number >= 1 && number <= 65535 && port[0] != '0';
}

DWORD BackoffMs(unsigned attempt, unsigned random)
{
    DWORD base = 1000;
    for (unsigned i = 1; i < attempt && base < 60000; ++i)
        base *= 2;
    base = std::min<DWORD>(base, 60000);
    return std::min<DWORD>(60000, base + random % (base / 4 + 1));
}

namespace {

class CRun {
public:
    CRun(const CSettings& s, HANDLE stop, const std::function<void(const std::string&)>& say, std::string host)
        : m_s(s), m_stop(stop), m_say(say), m_host(std::move(host)),
          m_harvester(s.folder, m_host, s.quietMs, say), m_random(::GetTickCount() ^ ::GetCurrentProcessId())
    {
    }
    int Go();

private:
    void Drop(const std::string& why);
    void Fill(ULONGLONG now);
    void Commit(ULONGLONG now, bool saveNow = false);
    void OnSocket();
    bool OnTls(std::string& received);
    bool Write(const std::string& frame);
    void Close();

    const CSettings& m_s;
    HANDLE m_stop;
    const std::function<void(const std::string&)>& m_say;
    std::string m_host;
    CHarvester m_harvester;
    CPlaceRegistry m_registry;
    CPendingCommits m_pending;
    std::deque<COutgoing> m_notices;
    std::unique_ptr<CConnection> m_connection;
    std::unique_ptr<CRelpSession> m_session;
    std::unique_ptr<CTlsChannel> m_tls;
    std::mt19937 m_random;
    unsigned m_failures = 0;
    ULONGLONG m_nextAttempt = 0, m_connectBy = 0, m_lastReport = 0;
    bool m_saveFailed = false, m_reportDue = false;
    std::string m_lastAnswer = "-";
    ULONGLONG m_lastStatus = 0, m_lastSave = 0;
    bool m_unsaved = false;
};

void CRun::Drop(const std::string& why)
{
    ++m_failures;
    const DWORD wait = BackoffMs(m_failures, m_random());
    m_say("connection to " + m_s.collectorHost + ":" + m_s.collectorPort + " lost: " + why + "; again in " +
          std::to_string(wait) + " ms");
    m_session.reset();
    m_tls.reset();
    m_connection.reset();
    m_pending.Clear();
    m_harvester.Restart();
    m_nextAttempt = ::GetTickCount64() + wait;
}

void CRun::Fill(ULONGLONG now)
{
    // Frames go to the socket together: one send for many records.
    std::string batch;
    while (m_session && m_session->CanSend() && m_connection->Outbox() + batch.size() < OUTBOX_BYTES) {
        COutgoing out;
        if (!m_notices.empty()) {
            out = std::move(m_notices.front());
            m_notices.pop_front();
        } else if (!m_harvester.Next(m_registry, now, out)) {
            break;
        }
        const std::uint64_t tag = m_pending.Add(std::move(out.commit));
        if (out.message.empty()) {
            m_pending.Answered(tag);
            continue;
        }
        batch += m_session->Syslog(out.message, tag);
    }
    if (!batch.empty() && !Write(batch) && m_connection) // else Write has dropped it already
        Drop(m_connection->Error());
}

void CRun::Commit(ULONGLONG now, bool saveNow)
{
    if (m_pending.ApplyTo(m_registry) > 0) {
        m_unsaved = true;
        m_reportDue = true;
    }
    // Saved at most every SAVE_MS: a place saved late only sends a few
    // records again, which the store keeps once.
    if (m_unsaved && (saveNow || now - m_lastSave >= SAVE_MS)) {
        std::string why;
        const bool saved = SaveState(m_s.statePath, m_registry, why);
        if (!saved && !m_saveFailed)
            m_say("cannot save the places: " + why + " (tried again shortly)");
        if (saved && m_saveFailed)
            m_say("places saved again in " + m_s.statePath);
        m_saveFailed = !saved;
        m_unsaved = !saved;
        m_lastSave = now;
    }
    if (m_reportDue && now - m_lastReport >= REPORT_MS) {
        std::string text = "answered:";
        for (const auto& [name, place] : m_registry)
            text += " " + name + " to " + std::to_string(place.place + place.tail);
        text += "; not yet sent: " + std::to_string(m_harvester.Unsent(m_registry)) + " bytes";
        m_say(text);
        m_lastReport = now;
        m_reportDue = false;
    }
    if (now - m_lastStatus >= REPORT_MS) {
        CShipperStatus status;
        status.updated = NowRfc3339();
        status.collector = m_s.collectorHost + ":" + m_s.collectorPort;
        status.connected = m_session && m_session->GetState() == CRelpSession::State::Open;
        status.answered = m_lastAnswer;
        status.unsent = m_harvester.UnsentByFile(m_registry);
        WriteStatus(StatusPathFor(m_s.statePath), status);
        m_lastStatus = now;
    }
}

bool CRun::Write(const std::string& frame)
{
    if (!m_tls)
        return m_connection->Send(frame);
    std::string sealed, why;
    if (!m_tls->Encrypt(frame, sealed, why)) {
        Drop(why);
        return false;
    }
    return m_connection->Send(sealed);
}

// Takes the TLS layer's part of what arrived: handshake bytes answered,
// records decrypted into received. False once the connection is dropped.
bool CRun::OnTls(std::string& received)
{
    std::string out, plain, why;
    const bool wasUp = m_tls->Established();
    const bool ok = m_tls->Receive(received.data(), received.size(), out, plain, why);
    if (!out.empty())
        m_connection->Send(out);
    if (!ok) {
        Drop(why);
        return false;
    }
    received = std::move(plain);
    if (!wasUp && m_tls->Established()) {
        m_say("TLS with a collector certificate of the site's CA; opening the RELP session");
        return Write(m_session->Open());
    }
    return true;
}

void CRun::OnSocket()
{
    std::string received;
    const CConnection::CEvents events = m_connection->Poll(received);
    if (events.connected) {
        m_say("connected to " + m_s.collectorHost + ":" + m_s.collectorPort +
              (m_tls ? "; TLS handshake" : "; opening the RELP session"));
        std::string out, why;
        if (m_tls && !m_tls->Start(m_s.collectorHost, out, why)) {
            Drop(why);
            return;
        }
        if (!(m_tls ? m_connection->Send(out) : Write(m_session->Open())))
            return;
    }
    if (m_tls && !received.empty() && !OnTls(received))
        return;
    const bool wasOpen = m_session->GetState() == CRelpSession::State::Open;
    if (!received.empty() && !m_session->Receive(received.data(), received.size())) {
        Drop(m_session->Error());
        return;
    }
    if (!m_session->Answered().empty())
        m_lastAnswer = NowRfc3339();
    for (std::uint64_t tag : m_session->Answered())
        m_pending.Answered(tag);
    m_session->Answered().clear();
    if (!wasOpen && m_session->GetState() == CRelpSession::State::Open) {
        m_say("session open (collector: " + m_session->PeerSoftware() + ")");
        m_failures = 0;
    }
    if (events.closed) {
        m_session->PeerClosed();
        Drop(events.error.empty() ? m_session->Error() : events.error);
    }
}

void CRun::Close()
{
    if (!m_session || m_session->GetState() != CRelpSession::State::Open)
        return;
    if (!Write(m_session->Close()))
        return;
    const ULONGLONG until = ::GetTickCount64() + CLOSE_MS;
    while (m_session && m_session->GetState() == CRelpSession::State::Closing) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= until ||
            ::WaitForSingleObject(m_connection->Event(), static_cast<DWORD>(until - now)) != WAIT_OBJECT_0)
            break;
        OnSocket();
    }
}

int CRun::Go()
{
    std::string why;
    switch (LoadState(m_s.statePath, m_registry, why)) {
    case LoadResult::Loaded:
        m_say("places of " + std::to_string(m_registry.size()) + " day files read from " + m_s.statePath);
        break;
    case LoadResult::Missing:
        m_say("no places yet (" + m_s.statePath + "): every day file is read from its start");
        break;
    case LoadResult::Unreadable: {
        const std::string text = "the places in " + m_s.statePath + " cannot be used: " + why + "; kept as " +
                                 m_s.statePath + ".bad; every day file is sent again from its start";
        m_say(text);
        m_notices.push_back(COutgoing{NoticeMessage(NowRfc3339(), m_host, "-", "state", text), CCommit{}});
        break;
    }
    }
    if (!SaveState(m_s.statePath, m_registry, why)) {
        m_say("cannot start: " + why);
        return 1;
    }
    m_say("reading " + m_s.folder + " as " + HeaderName(m_host) + "; sending to " + m_s.collectorHost + ":" +
          m_s.collectorPort + (m_s.plain ? " over plain RELP" : " over RELP with TLS"));
    // Only names are watched (a new day's file, one deleted or replaced):
    // the server's lines are found by the look every second, so that they
    // wake neither this process nor, under Wine, the wineserver each.
    CUniqueChangeNotification change(
        ::FindFirstChangeNotificationA(m_s.folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
    if (!change)
        m_say("no change notification for " + m_s.folder + ": new files are found within a second");
    ULONGLONG nextScan = 0;
    for (;;) {
        ULONGLONG now = ::GetTickCount64();
        if (now >= nextScan) {
            // Files seen for the first time are known at once, whether or not
            // the collector is there, so that one deleted unsent is said.
            std::vector<CCommit> seen;
            m_harvester.Scan(m_registry, now, seen);
            for (CCommit& commit : seen)
                m_pending.Answered(m_pending.Add(std::move(commit)));
            if (!seen.empty())
                m_reportDue = true;
            Commit(now);
            nextScan = now + SCAN_MS;
            // Answers that waited in the socket since the last look.
            if (m_connection)
                OnSocket();
        }
        if (!m_connection && now >= m_nextAttempt) {
            m_connection = std::make_unique<CConnection>();
            m_session = std::make_unique<CRelpSession>(m_s.window);
            m_connectBy = now + CONNECT_MS;
            if (!m_s.plain) {
                m_tls = std::make_unique<CTlsChannel>();
                if (!m_tls->Init(m_s.caPath, m_s.certPath, why)) {
                    Drop(why);
                    continue;
                }
            }
            if (!m_connection->Start(m_s.collectorHost, m_s.collectorPort, why))
                Drop(why);
        }
        if (m_connection && !m_connection->Connected() && now >= m_connectBy)
            Drop("no connection within " + std::to_string(CONNECT_MS / 1000) + " s");
        Fill(now);
        Commit(now);

        HANDLE handles[3] = {m_stop};
        DWORD count = 1;
        const DWORD changeAt = change ? count : MAXDWORD;
        if (change)
            handles[count++] = change.get();
        // The socket wakes the shipper only when the session waits for it
        // (opening or closing, bytes not yet taken, the window full); else
        // answers wait for the next look, one wake for many.
        const bool needSocket =
            m_connection && (!m_connection->Connected() || m_connection->Outbox() > 0 || !m_session->CanSend());
        const DWORD socketAt = needSocket ? count : MAXDWORD;
        if (needSocket)
            handles[count++] = m_connection->Event();
        ULONGLONG wake = nextScan;
        if (!m_connection)
            wake = std::min(wake, m_nextAttempt);
        else if (!m_connection->Connected())
            wake = std::min(wake, m_connectBy);
        now = ::GetTickCount64();
        const DWORD timeout = wake > now ? static_cast<DWORD>(std::min<ULONGLONG>(wake - now, SCAN_MS)) : 0;
        const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (woke == WAIT_OBJECT_0)
            break;
        if (woke == WAIT_OBJECT_0 + changeAt) {
            ::FindNextChangeNotification(change.get());
            nextScan = ::GetTickCount64();
        } else if (woke == WAIT_OBJECT_0 + socketAt) {
            OnSocket();
        }
    }
    Close();
    Commit(::GetTickCount64(), true);
    m_say("stopped");
    return 0;
}

} // namespace

int Run(const CSettings& settings, HANDLE stop, const std::function<void(const std::string&)>& say)
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        say("cannot start: no Winsock");
        return 1;
    }
    std::string host = settings.host;
    if (host.empty()) {
        char name[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD size = sizeof name;
        if (::GetComputerNameA(name, &size))
            host.assign(name, size);
    }
    // A background program: the server and the PC's own work come first.
    // (Wine maps this to a Unix nice value only where RLIMIT_NICE lets its
    // server raise priorities again.)
    if (!::SetPriorityClass(::GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS))
        say("cannot lower the priority (error " + std::to_string(::GetLastError()) + "); running at normal priority");
    int result = 0;
    {
        CRun run(settings, stop, say, host);
        result = run.Go();
    }
    ::WSACleanup();
    return result;
}

} // namespace Vardel::Shipper
