#pragma once
// The page's HTTP server, guarded against clients that would hold it: each
// connection carries one request, read within kRequestDeadline in all (a
// client sending a byte at a time is cut off, not waited on), with a head of
// at most kHeadLimit bytes and a body of at most kBodyLimit. A request cut
// off gets 408 or 431 where it can still be told.

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace Vardel::Page {

constexpr std::chrono::milliseconds kRequestDeadline{5000};
constexpr size_t kHeadLimit = 16 * 1024;
constexpr size_t kBodyLimit = 16 * 1024;
// Enough workers that a few slow clients or a hung store leave others served.
constexpr size_t kWorkers = 48;

class GuardedServer : public httplib::Server {
public:
    GuardedServer();

private:
    bool process_and_close_socket(socket_t sock) override;
};

}  // namespace Vardel::Page
