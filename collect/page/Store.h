#pragma once
// The store through libpq: a few connections kept for reuse, one statement
// at a time with text parameters bound ($1...), never pasted into the SQL.
// Every call is bounded in time: a store that does not answer (stopped,
// hung, unreachable) is a StoreError within kStoreDeadline, so that no
// request waits on it for longer.

#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vardel::Page {

// The store does not answer, or a statement failed. what() is for the
// client and names no path or host; detail() is for the page's own log.
class StoreError : public std::runtime_error {
public:
    StoreError(const std::string& shown, std::string detail)
        : std::runtime_error(shown), m_detail(std::move(detail)) {}
    const std::string& detail() const { return m_detail; }

private:
    std::string m_detail;
};

// Connecting and one statement together, however the store fails.
constexpr std::chrono::milliseconds kStoreDeadline{8000};
constexpr std::chrono::milliseconds kConnectDeadline{4000};

using Value = std::optional<std::string>;
using Row = std::vector<Value>;

class Store {
public:
    explicit Store(std::string conninfo) : m_conninfo(std::move(conninfo)) {}
    std::vector<Row> Run(const char* sql, const std::vector<Value>& params);

private:
    struct CloseConn {
        void operator()(PGconn* c) const { PQfinish(c); }
    };
    using Conn = std::unique_ptr<PGconn, CloseConn>;
    using Clock = std::chrono::steady_clock;
    Conn Take(Clock::time_point deadline);
    void Give(Conn conn);

    std::string m_conninfo;
    std::mutex m_lock;
    std::vector<Conn> m_idle;
};

}  // namespace Vardel::Page
