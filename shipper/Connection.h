#pragma once
// One TCP connection to the collector, non-blocking, signalled through one
// event (WSAEventSelect) that the shipper's wait includes. Bytes to send
// wait in an outbox until the socket takes them. Closed by the destructor.
// Runs on the shipper's one thread; WSAStartup is the caller's.

#include <winsock2.h>
#include <windows.h>
#include <string>

namespace Vardel::Shipper {

class CConnection {
public:
    CConnection();
    ~CConnection();
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Starts connecting; false, with why, when it cannot even start.
    bool Start(const std::string& host, const std::string& port, std::string& why);
    HANDLE Event() const { return m_event; }

    struct CEvents {
        bool connected = false; // the connection stands (once)
        bool closed = false;    // the peer closed it, or it failed
        std::string error;      // why, when it failed
    };
    // After Event() is signalled: reads what arrived into received, sends
    // what waits, and says what happened.
    CEvents Poll(std::string& received);
    // Queues bytes and sends what the socket takes now.
    bool Send(const std::string& bytes);
    std::size_t Outbox() const { return m_outbox.size() - m_sent; }
    bool Connected() const { return m_connected; }
    // Why Send failed.
    const std::string& Error() const { return m_error; }

private:
    bool Flush();

    SOCKET m_socket = INVALID_SOCKET;
    HANDLE m_event = nullptr;
    bool m_connected = false;
    std::string m_outbox;
    std::size_t m_sent = 0;
    std::string m_error;
};

} // namespace Vardel::Shipper
