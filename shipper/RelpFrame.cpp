#include "RelpFrame.h"

#include <algorithm>

namespace Vardel::Shipper {

namespace {
constexpr int MAX_DIGITS = 9;
constexpr std::size_t MAX_COMMAND = 32;
} // namespace

std::string BuildRelpFrame(std::uint32_t txnr, const std::string& command, const std::string& data)
{
    std::string frame = std::to_string(txnr) + ' ' + command + ' ' + std::to_string(data.size());
    if (!data.empty()) {
        frame += ' ';
        frame += data;
    }
    frame += '\n';
    return frame;
}

bool CRelpParser::Fail(const std::string& why)
{
    m_error = why;
    return false;
}

bool CRelpParser::Feed(const char* bytes, std::size_t length)
{
    if (!m_error.empty())
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        switch (m_state) {
        case State::Txnr:
        case State::Length:
            if (c >= '0' && c <= '9') {
                if (++m_digits > MAX_DIGITS)
                    return Fail("a number of more than 9 digits");
                m_number = m_number * 10 + static_cast<unsigned>(c - '0');
                break;
            }
            if (m_digits == 0)
                return Fail(m_state == State::Txnr ? "a frame that does not start with its transaction number"
                                                   : "a frame without its data length");
            if (m_state == State::Txnr) {
                if (c != ' ')
                    return Fail("no space after the transaction number");
                m_frame = CRelpFrame();
                m_frame.txnr = static_cast<std::uint32_t>(m_number);
                m_state = State::Command;
            } else {
                m_dataLength = static_cast<std::size_t>(m_number);
                if (m_dataLength > m_maxData)
                    return Fail("a frame of " + std::to_string(m_dataLength) + " data bytes");
                if (m_dataLength == 0 && c == '\n') {
                    m_frames.push_back(std::move(m_frame));
                    m_state = State::Txnr;
                } else if (m_dataLength > 0 && c == ' ') {
                    m_frame.data.reserve(m_dataLength);
                    m_state = State::Data;
                } else {
                    return Fail("a bad byte after the data length");
                }
            }
            m_number = 0;
            m_digits = 0;
            break;
        case State::Command:
            if (c == ' ' && !m_frame.command.empty()) {
                m_state = State::Length;
            } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
                if (m_frame.command.size() == MAX_COMMAND)
                    return Fail("a command of more than 32 letters");
                m_frame.command += c;
            } else {
                return Fail("a bad byte in the command");
            }
            break;
        case State::Data: {
            const std::size_t take = std::min(m_dataLength - m_frame.data.size(), length - i);
            m_frame.data.append(bytes + i, take);
            i += take - 1;
            if (m_frame.data.size() == m_dataLength)
                m_state = State::Trailer;
            break;
        }
        case State::Trailer:
            if (c != '\n')
                return Fail("a frame whose data is not followed by its line end");
            m_frames.push_back(std::move(m_frame));
            m_state = State::Txnr;
            break;
        }
    }
    return true;
}

} // namespace Vardel::Shipper
