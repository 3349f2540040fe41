#pragma once
// The store through libpq: a few connections kept for reuse, one statement
// at a time with text parameters bound ($1...), never pasted into the SQL.

#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vardel::Page {

// The store does not answer, or a statement failed.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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
    Conn Take();
    void Give(Conn conn);

    std::string m_conninfo;
    std::mutex m_lock;
    std::vector<Conn> m_idle;
};

}  // namespace Vardel::Page
