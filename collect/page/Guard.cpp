#include "Guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace Vardel::Page {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWriteTimeoutMs = 10000;

std::string Address(const sockaddr_storage& addr, int& port)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    return text;
}

// A connection's bytes, read against one deadline and two limits: the head
// (until the empty line) and what follows it.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(int sock, Clock::time_point deadline) : m_sock(sock), m_deadline(deadline) {}

    bool is_readable() const override { return Ready(POLLIN, Left()); }
    bool is_writable() const override { return Ready(POLLOUT, kWriteTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override
    {
        const size_t limit = m_inHead ? kHeadLimit : kHeadLimit + kBodyLimit;
        if (m_read >= limit) {
            m_cut = m_inHead ? 431 : 413;
            return -1;
        }
        if (!Ready(POLLIN, Left())) {
            m_cut = 408;
            return -1;
        }
        ssize_t n = recv(m_sock, ptr, std::min(size, limit - m_read), 0);
        for (ssize_t i = 0; i < n && m_inHead; ++i) {
            m_tail = (m_tail << 8) | static_cast<unsigned char>(ptr[i]);
            m_inHead = (m_tail & 0xFFFFFFFF) != 0x0D0A0D0A && (m_tail & 0xFFFF) != 0x0A0A;
        }
        if (n > 0)
            m_read += n;
        return n;
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n = send(m_sock, ptr, size, MSG_NOSIGNAL);
        if (n > 0)
            m_written = true;
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getpeername(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            ip = Address(addr, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        if (getsockname(m_sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            ip = Address(addr, port);
    }
    socket_t socket() const override { return m_sock; }

    int cut() const { return m_cut; }
    bool written() const { return m_written; }

private:
    int Left() const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, left));
    }
    bool Ready(short events, int timeoutMs) const
    {
        pollfd p{m_sock, events, 0};
        for (;;) {
            int n = poll(&p, 1, timeoutMs);
            if (n < 0 && errno == EINTR)
                continue;
            return n > 0;
        }
    }

    int m_sock;
    Clock::time_point m_deadline;
    size_t m_read = 0;
    bool m_inHead = true;
    uint32_t m_tail = 0;
    int m_cut = 0;
    bool m_written = false;
};

}  // namespace

GuardedServer::GuardedServer()
{
    new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    set_payload_max_length(kBodyLimit);
    set_keep_alive_max_count(1);
    // The port is this page's alone: no SO_REUSEPORT (the library's default),
    // with which a second page, ours or another's of the same user, would
    // share it and take a part of its requests.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A GET carries no body: one that comes with one is refused before any
    // of it is read.
    set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        const bool body = req.has_header("Transfer-Encoding") ||
                          (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
        if (!body || (req.method != "GET" && req.method != "HEAD"))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 400;
        res.set_header("Connection", "close");
        res.set_content("a GET request takes no body\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
}

bool GuardedServer::process_and_close_socket(socket_t sock)
{
    GuardedStream stream(sock, Clock::now() + kRequestDeadline);
    bool closed = false;
    bool ok = process_request(stream, true, closed, nullptr);
    if (stream.cut() && !stream.written()) {
        const char* reason = stream.cut() == 408   ? "408 Request Timeout"
                             : stream.cut() == 431 ? "431 Request Header Fields Too Large"
                                                   : "413 Payload Too Large";
        std::string text = std::string("HTTP/1.1 ") + reason +
                           "\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(std::strlen(reason) + 1) + "\r\n\r\n" + reason + "\n";
        stream.write(text.data(), text.size());
    }
    // The client may still be sending (a body on a GET, a body too large):
    // end our side first and take a little of the rest, so that the answer
    // is read before the connection is reset.
    shutdown(sock, SHUT_WR);
    char sink[4096];
    const auto until = Clock::now() + std::chrono::milliseconds(200);
    for (size_t taken = 0; taken < 256 * 1024 && Clock::now() < until;) {
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            break;
        ssize_t n = recv(sock, sink, sizeof sink, 0);
        if (n <= 0)
            break;
        taken += n;
    }
    close(sock);
    return ok;
}

}  // namespace Vardel::Page
