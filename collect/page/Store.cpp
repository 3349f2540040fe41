#include "Store.h"

namespace Vardel::Page {

namespace {

struct ClearResult {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

constexpr size_t kMaxIdle = 8;
// A search no index serves (text over every host and day) reads every
// record; past this it ends with an error rather than holding a worker.
constexpr const char* kStatementTimeout = "set statement_timeout = '30s'";

std::string FirstLine(const char* text)
{
    std::string s = text ? text : "";
    size_t end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

}  // namespace

Store::Conn Store::Take()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_idle.empty()) {
            Conn conn = std::move(m_idle.back());
            m_idle.pop_back();
            return conn;
        }
    }
    Conn conn(PQconnectdb(m_conninfo.c_str()));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK)
        throw StoreError("the store does not answer: " + FirstLine(conn ? PQerrorMessage(conn.get()) : "out of memory"));
    Result set(PQexec(conn.get(), kStatementTimeout));
    if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK)
        throw StoreError("the store failed: " + FirstLine(PQerrorMessage(conn.get())));
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
    std::vector<const char*> values;
    for (const Value& v : params)
        values.push_back(v ? v->c_str() : nullptr);
    Conn conn;
    Result result;
    // A kept connection may have died with a restarted store: one more try
    // on a new one then.
    for (int attempt = 0; attempt < 2; ++attempt) {
        conn = Take();
        result.reset(PQexecParams(conn.get(), sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                  nullptr, 0));
        if (PQstatus(conn.get()) == CONNECTION_OK)
            break;
    }
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        std::string why = FirstLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn.get()));
        // A connection that broke is dropped; one that merely failed a statement is kept.
        if (PQstatus(conn.get()) == CONNECTION_OK)
            Give(std::move(conn));
        throw StoreError("the store failed: " + why);
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
