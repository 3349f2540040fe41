#pragma once
// One RELP session over one connection, as a state machine without I/O:
// it builds the frames to send and takes the peer's bytes, and says which
// messages the peer has answered 200. The caller owns the socket and moves
// places only on those answers. Several messages may be unanswered at once
// (the window); answers may come in any order. A session that breaks
// (an answer other than 200, bytes that are no RELP, an answer to nothing,
// the peer closing) stays broken: the caller drops the connection and
// sends again, on a new session, everything not answered. Not thread-safe.

#include "RelpFrame.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vardel::Shipper {

class CRelpSession {
public:
    enum class State { Idle, Opening, Open, Closing, Closed, Broken };

    explicit CRelpSession(std::size_t window = 128) : m_window(window) {}

    // The open frame, which offers the syslog command.
    std::string Open();
    // One syslog frame for message; tag names it in Answered().
    std::string Syslog(const std::string& message, std::uint64_t tag);
    // The close frame; the session ends when the peer answers it.
    std::string Close();

    // Takes the peer's bytes; false once the session is broken.
    bool Receive(const char* bytes, std::size_t length);
    // The peer closed the connection; breaks the session unless it closed as asked.
    void PeerClosed();

    // Open, and fewer than the window unanswered.
    bool CanSend() const { return m_state == State::Open && m_unanswered.size() < m_window; }
    State GetState() const { return m_state; }
    std::size_t Unanswered() const { return m_unanswered.size(); }
    const std::string& Error() const { return m_error; }
    const std::string& PeerSoftware() const { return m_peerSoftware; }
    // Tags of the messages answered 200, in the order of their answers;
    // the caller takes them out.
    std::vector<std::uint64_t>& Answered() { return m_answered; }

private:
    bool Break(const std::string& why);
    bool OnAnswer(const CRelpFrame& frame);
    std::uint32_t NextTxnr();

    std::size_t m_window;
    State m_state = State::Idle;
    std::uint32_t m_lastTxnr = 0;
    std::uint32_t m_openTxnr = 0;
    std::uint32_t m_closeTxnr = 0;
    std::map<std::uint32_t, std::uint64_t> m_unanswered; // txnr -> tag
    std::vector<std::uint64_t> m_answered;
    CRelpParser m_parser;
    std::string m_error;
    std::string m_peerSoftware;
};

// The status code an rsp frame's data starts with ("200 OK" -> 200); -1
// when it has none.
int RelpStatus(const std::string& data);

} // namespace Vardel::Shipper
