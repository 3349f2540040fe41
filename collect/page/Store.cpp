#include "Store.h"

#include <poll.h>

#include <algorithm>

namespace Vardel::Page {

namespace {

struct ClearResult {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxIdle = 8;
// The store ends a statement itself a little before the page gives up on
// it, so that a slow search says why.
constexpr const char* kStatementTimeout = "set statement_timeout = '7s'";
constexpr const char* kNoAnswer = "the store does not answer";

std::string FirstLine(const char* text)
{
    std::string s = text ? text : "";
    size_t end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

// Waits until the connection's socket is ready for `events` or the
// deadline passes.
bool Wait(PGconn* conn, short events, Clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{PQsocket(conn), events, 0};
        if (p.fd < 0)
            return false;
        int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// The statement's one result, read without blocking past the deadline;
// nullptr when the store did not answer in time.
Result Finish(PGconn* conn, Clock::time_point deadline)
{
    for (;;) {
        int flushed = PQflush(conn);
        if (flushed < 0)
            return nullptr;
        if (flushed == 1 && !Wait(conn, POLLOUT | POLLIN, deadline))
            return nullptr;
        if (flushed == 0)
            break;
    }
    Result last;
    for (;;) {
        while (PQisBusy(conn)) {
            if (!Wait(conn, POLLIN, deadline) || !PQconsumeInput(conn))
                return nullptr;
        }
        PGresult* r = PQgetResult(conn);
        if (!r)
            return last;
        last.reset(r);
    }
}

}  // namespace

Store::Conn Store::Take(Clock::time_point deadline)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_idle.empty()) {
            Conn conn = std::move(m_idle.back());
            m_idle.pop_back();
            return conn;
        }
    }
    deadline = std::min(deadline, Clock::now() + kConnectDeadline);
    Conn conn(PQconnectStart(m_conninfo.c_str()));
    if (!conn)
        throw StoreError(kNoAnswer, "out of memory");
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(conn.get()) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        if (!Wait(conn.get(), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline))
            throw StoreError(kNoAnswer, "no connection within " + std::to_string(kConnectDeadline.count()) + " ms");
        state = PQconnectPoll(conn.get());
    }
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw StoreError(kNoAnswer, FirstLine(PQerrorMessage(conn.get())));
    if (PQsetnonblocking(conn.get(), 1) != 0 || !PQsendQuery(conn.get(), kStatementTimeout))
        throw StoreError(kNoAnswer, FirstLine(PQerrorMessage(conn.get())));
    Result set = Finish(conn.get(), deadline);
    if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK)
        throw StoreError(kNoAnswer, "setting the statement timeout: " + FirstLine(PQerrorMessage(conn.get())));
    return conn;
}

void Store::Give(Conn conn)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_idle.size() < kMaxIdle)
        m_idle.push_back(std::move(conn));
}

std::vector<Row> Store::Run(const char* sql, const std::vector<Value>& params)
{
    const auto deadline = Clock::now() + kStoreDeadline;
    std::vector<const char*> values;
    for (const Value& v : params)
        values.push_back(v ? v->c_str() : nullptr);
    Conn conn;
    Result result;
    // A kept connection may have died with a restarted store: one more try
    // on a new one then. One that does not answer in time is dropped.
    for (int attempt = 0; attempt < 2; ++attempt) {
        conn = Take(deadline);
        if (PQsendQueryParams(conn.get(), sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                              nullptr, 0))
            result = Finish(conn.get(), deadline);
        if (!result && Clock::now() >= deadline)
            throw StoreError(kNoAnswer, "no answer within " + std::to_string(kStoreDeadline.count()) + " ms");
        if (PQstatus(conn.get()) == CONNECTION_OK)
            break;
    }
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        std::string why = FirstLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn.get()));
        const char* sqlstate = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        // A connection that broke is dropped; one that merely failed a statement is kept.
        if (PQstatus(conn.get()) == CONNECTION_OK && result)
            Give(std::move(conn));
        if (sqlstate && std::string(sqlstate) == "57014")
            throw StoreError("the store did not finish this query in time; narrow the filters", why);
        throw StoreError(result ? "the store refused this query" : kNoAnswer, why);
    }
    std::vector<Row> rows;
    const int n = PQntuples(result.get()), columns = PQnfields(result.get());
    rows.reserve(n);
    for (int i = 0; i < n; ++i) {
        Row row;
        row.reserve(columns);
        for (int c = 0; c < columns; ++c)
            row.push_back(PQgetisnull(result.get(), i, c) ? Value() : Value(PQgetvalue(result.get(), i, c)));
        rows.push_back(std::move(row));
    }
    Give(std::move(conn));
    return rows;
}

}  // namespace Vardel::Page
