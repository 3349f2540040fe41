#pragma once
// RELP frames, built and parsed here only:
//   TXNR SP COMMAND SP DATALEN [SP DATA] LF
// TXNR 0..999999999 (0 only for the server's "serverclose"), COMMAND 1..32
// letters, DATALEN up to 9 digits, DATA exactly DATALEN bytes and present
// only when DATALEN is not 0. The parser is fed the bytes as they arrive,
// cut anywhere. Pure; one owner.

#include <cstdint>
#include <deque>
#include <string>

namespace Vardel::Shipper {

struct CRelpFrame {
    std::uint32_t txnr = 0;
    std::string command;
    std::string data;
};

std::string BuildRelpFrame(std::uint32_t txnr, const std::string& command, const std::string& data);

class CRelpParser {
public:
    // maxData bounds a frame's DATA: a peer that claims more is broken.
    explicit CRelpParser(std::size_t maxData = 64 * 1024) : m_maxData(maxData) {}

    // Parses what it can; false once the bytes break the frame grammar
    // (Error() says how), after which it takes nothing more.
    bool Feed(const char* bytes, std::size_t length);
    std::deque<CRelpFrame>& Frames() { return m_frames; }
    const std::string& Error() const { return m_error; }
    // True between frames: a peer that closes now closes cleanly.
    bool AtFrameStart() const { return m_state == State::Txnr && m_digits == 0; }

private:
    enum class State { Txnr, Command, Length, Data, Trailer };
    bool Fail(const std::string& why);

    std::size_t m_maxData;
    State m_state = State::Txnr;
    std::uint64_t m_number = 0;
    int m_digits = 0;
    CRelpFrame m_frame;
    std::size_t m_dataLength = 0;
    std::deque<CRelpFrame> m_frames;
    std::string m_error;
};

} // namespace Vardel::Shipper
