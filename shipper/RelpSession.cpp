#include "RelpSession.h"

namespace Vardel::Shipper {

namespace {
constexpr std::uint32_t MAX_TXNR = 999999999;
constexpr const char* OFFERS = "relp_version=0\nrelp_software=VardelShipper\ncommands=syslog";

// The value of one offer in an open answer ("commands=syslog" -> "syslog"),
// or nothing when the offer is absent.
bool Offer(const std::string& data, const std::string& name, std::string& value)
{
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t end = data.find('\n', at);
        if (end == std::string::npos)
            end = data.size();
        const std::string line = data.substr(at, end - at);
        if (line.compare(0, name.size() + 1, name + "=") == 0) {
            value = line.substr(name.size() + 1);
            return true;
        }
        at = end + 1;
    }
    return false;
}
} // namespace

int RelpStatus(const std::string& data)
{
    if (data.size() < 3 || data.find_first_not_of("0123456789") < 3)
        return -1;
    if (data.size() > 3 && data[3] != ' ' && data[3] != '\n')
        return -1;
    return std::stoi(data.substr(0, 3));
}

std::uint32_t CRelpSession::NextTxnr()
{
    m_lastTxnr = m_lastTxnr == MAX_TXNR ? 1 : m_lastTxnr + 1;
    return m_lastTxnr;
}

std::string CRelpSession::Open()
{
    m_state = State::Opening;
    m_openTxnr = NextTxnr();
    return BuildRelpFrame(m_openTxnr, "open", OFFERS);
}

std::string CRelpSession::Syslog(const std::string& message, std::uint64_t tag)
{
    const std::uint32_t txnr = NextTxnr();
    m_unanswered[txnr] = tag;
    return BuildRelpFrame(txnr, "syslog", message);
}

std::string CRelpSession::Close()
{
    m_state = State::Closing;
    m_closeTxnr = NextTxnr();
    return BuildRelpFrame(m_closeTxnr, "close", "");
}

bool CRelpSession::Break(const std::string& why)
{
    if (m_state != State::Broken) {
        m_state = State::Broken;
        m_error = why;
    }
    return false;
}

void CRelpSession::PeerClosed()
{
    if (m_state == State::Closed || m_state == State::Broken)
        return;
    Break(m_parser.AtFrameStart() ? "the collector closed the connection"
                                  : "the collector closed the connection in the middle of a frame");
}

bool CRelpSession::Receive(const char* bytes, std::size_t length)
{
    if (m_state == State::Broken)
        return false;
    if (!m_parser.Feed(bytes, length))
        return Break("the collector sent what is not RELP: " + m_parser.Error());
    auto& frames = m_parser.Frames();
    while (!frames.empty()) {
        const CRelpFrame frame = std::move(frames.front());
        frames.pop_front();
        if (frame.command == "serverclose")
            return Break("the collector ended the session (serverclose)");
        if (frame.command != "rsp")
            return Break("the collector sent the command \"" + frame.command + "\"");
        if (!OnAnswer(frame))
            return false;
    }
    return true;
}

bool CRelpSession::OnAnswer(const CRelpFrame& frame)
{
    const std::string txnr = std::to_string(frame.txnr);
    const int status = RelpStatus(frame.data);
    if (m_state == State::Opening && frame.txnr == m_openTxnr) {
        std::string commands;
        if (status != 200)
            return Break("the collector refused the session: " + frame.data.substr(0, 200));
        if (!Offer(frame.data, "commands", commands) || (commands + ",").find("syslog,") == std::string::npos)
            return Break("the collector does not offer the syslog command");
        Offer(frame.data, "relp_software", m_peerSoftware);
        m_state = State::Open;
        return true;
    }
    if (m_state == State::Closing && frame.txnr == m_closeTxnr) {
        m_state = State::Closed;
        return true;
    }
    const auto it = m_unanswered.find(frame.txnr);
    if (it == m_unanswered.end())
        return Break("the collector answered transaction " + txnr + ", which is not waiting for an answer");
    if (status != 200)
        return Break("the collector refused transaction " + txnr + ": " + frame.data.substr(0, 200));
    m_answered.push_back(it->second);
    m_unanswered.erase(it);
    return true;
}

} // namespace Vardel::Shipper
