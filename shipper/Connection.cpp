#include "Connection.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace Vardel::Shipper {

namespace {
std::string WsaError(const char* what, int error)
{
    return std::string(what) + " (Winsock error " + std::to_string(error) + ")";
}
} // namespace

CConnection::CConnection() : m_event(::WSACreateEvent()) {}

CConnection::~CConnection()
{
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
    if (m_event)
        ::WSACloseEvent(m_event);
}

bool CConnection::Start(const std::string& host, const std::string& port, std::string& why)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (error != 0 || !found) {
        why = WsaError(("cannot find " + host).c_str(), error);
        return false;
    }
    m_socket = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (m_socket == INVALID_SOCKET ||
        ::WSAEventSelect(m_socket, m_event, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        why = WsaError("cannot make a socket", ::WSAGetLastError());
        ::freeaddrinfo(found);
        return false;
    }
    const BOOL on = TRUE;
    ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    const int result = ::connect(m_socket, found->ai_addr, static_cast<int>(found->ai_addrlen));
    const int connectError = ::WSAGetLastError();
    ::freeaddrinfo(found);
    if (result != 0 && connectError != WSAEWOULDBLOCK) {
        why = WsaError("cannot connect", connectError);
        return false;
    }
    return true;
}

bool CConnection::Flush()
{
    while (m_connected && m_sent < m_outbox.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(m_outbox.size() - m_sent, 1 << 20));
        const int sent = ::send(m_socket, m_outbox.data() + m_sent, chunk, 0);
        if (sent == SOCKET_ERROR) {
            const int error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK)
                break; // FD_WRITE says when it takes more
            m_error = WsaError("cannot send", error);
            return false;
        }
        m_sent += static_cast<std::size_t>(sent);
    }
    if (m_sent == m_outbox.size()) {
        m_outbox.clear();
        m_sent = 0;
    } else if (m_sent > (4u << 20)) {
        m_outbox.erase(0, m_sent);
        m_sent = 0;
    }
    return true;
}

bool CConnection::Send(const std::string& bytes)
{
    m_outbox += bytes;
    return Flush();
}

CConnection::CEvents CConnection::Poll(std::string& received)
{
    CEvents events;
    WSANETWORKEVENTS happened{};
    if (::WSAEnumNetworkEvents(m_socket, m_event, &happened) != 0) {
        events.closed = true;
        events.error = WsaError("cannot ask the socket", ::WSAGetLastError());
        return events;
    }
    if (happened.lNetworkEvents & FD_CONNECT) {
        if (happened.iErrorCode[FD_CONNECT_BIT] != 0) {
            events.closed = true;
            events.error = WsaError("cannot connect", happened.iErrorCode[FD_CONNECT_BIT]);
            return events;
        }
        m_connected = events.connected = true;
    }
    // Read until the socket is empty: FD_READ comes again only after a recv.
    char buffer[65536];
    for (;;) {
        const int got = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) {
            events.closed = true;
        } else {
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK && error != WSAENOTCONN) {
                events.closed = true;
                events.error = WsaError("cannot receive", error);
            }
        }
        break;
    }
    if (happened.lNetworkEvents & FD_CLOSE)
        events.closed = true;
    if (!events.closed && !Flush()) {
        events.closed = true;
        events.error = m_error;
    }
    return events;
}

} // namespace Vardel::Shipper
