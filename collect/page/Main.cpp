// vardel-page: the collector host's page over the store, read-only.
//   vardel-page [--address ADDR] [--port N] [--store CONNINFO]

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>

#include "Guard.h"
#include "Params.h"
#include "Render.h"
#include "Routes.h"
#include "Settings.h"
#include "Store.h"

using namespace Vardel::Page;

namespace {

constexpr int kExportPage = 5000;

void Secure(httplib::Response& res)
{
    // Nothing runs and nothing loads from elsewhere, whatever the data holds.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; img-src 'self' data:; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
}

void Send(httplib::Response& res, int status, const std::string& body, const char* type)
{
    res.status = status;
    Secure(res);
    res.set_content(body, type);
}

// One route: the typed query, its rows, the text; 400 naming a bad
// parameter, 503 when the store does not answer (where it is, and why,
// go to the page's own log only).
template <typename Handler>
httplib::Server::Handler Route(Handler handler)
{
    return [handler](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const BadParameter& e) {
            Send(res, 400, std::string(e.what()) + "\n", "text/plain; charset=utf-8");
        } catch (const StoreError& e) {
            std::cerr << "vardel-page: " << req.path << ": " << e.what() << ": " << e.detail() << std::endl;
            Send(res, 503, std::string(e.what()) + "\n", "text/plain; charset=utf-8");
        } catch (const std::exception& e) {
            Send(res, 500, std::string("internal error: ") + e.what() + "\n", "text/plain; charset=utf-8");
        }
    };
}

const char* const kHtml = "text/html; charset=utf-8";

// The export goes out in pages by key as it is read, so that its size is
// bounded by the rows matched, not by memory: the records with an instant
// first, then those without (unless one kind was asked for). The first
// page is read before anything is sent: a store that does not answer is a
// 503. One that fails later cuts the response off unfinished, which a
// client sees as an error, never as a shorter complete file.
void Export(Store& store, const httplib::Request& req, httplib::Response& res)
{
    struct State {
        RecordsQuery query;
        int left;
        std::vector<RecordRow> rows;
        bool started = false;
    };
    auto state = std::make_shared<State>();
    state->query = ParseRecords(req.params, true);
    state->left = state->query.limit;
    auto next = [&store, state]() {
        for (;;) {
            state->query.limit = std::min(state->left, kExportPage);
            state->rows = LoadRecords(store, state->query);
            state->left -= static_cast<int>(state->rows.size());
            if (!state->rows.empty())
                state->query.before = Cursor{state->rows.back().atMicros, state->rows.back().id};
            const bool known = state->query.instant == Instant::Known;
            if (static_cast<int>(state->rows.size()) == state->query.limit || !known || state->query.instantGiven ||
                state->left == 0)
                return;
            // The known ones are done: on to those without an instant.
            state->query.instant = Instant::Unknown;
            state->query.before.reset();
            if (!state->rows.empty())
                return;
        }
    };
    next();
    Secure(res);
    res.set_header("Content-Disposition", "attachment; filename=\"vardel-records.csv\"");
    res.set_chunked_content_provider("text/csv; charset=utf-8; header=present",
                                     [state, next](size_t, httplib::DataSink& sink) {
        try {
            std::string text = state->started ? "" : kCsvHeader;
            state->started = true;
            text += RenderCsvRows(state->rows);
            if (!sink.write(text.data(), text.size()))
                return false;
            if (state->rows.empty() || state->left == 0) {
                sink.done();
                return true;
            }
            next();
            return true;
        } catch (const std::exception& e) {
            std::cerr << "vardel-page: export cut off: " << e.what() << "\n";
            return false;
        }
    });
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    try {
        settings = ParseSettings(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "vardel-page: " << e.what() << "\n"
                  << "usage: vardel-page [--address ADDR] [--port N] [--store CONNINFO]\n";
        return 2;
    }
    Store store(settings.store);
    GuardedServer server;

    server.Get("/", Route([&](const httplib::Request& req, httplib::Response& res) {
        Send(res, 200, RenderOverview(LoadOverview(store, ParseOverview(req.params))), kHtml);
    }));
    server.Get("/records", Route([&](const httplib::Request& req, httplib::Response& res) {
        Send(res, 200, RenderRecords(LoadRecordsPage(store, ParseRecords(req.params, false))), kHtml);
    }));
    server.Get("/record", Route([&](const httplib::Request& req, httplib::Response& res) {
        RecordView view = LoadRecord(store, ParseRecordKey(req.params));
        Send(res, view.row ? 200 : 404, RenderRecord(view), kHtml);
    }));
    server.Get("/records.csv", Route([&](const httplib::Request& req, httplib::Response& res) {
        Export(store, req, res);
    }));
    server.Get("/health", [&](const httplib::Request&, httplib::Response& res) {
        try {
            Send(res, 200, RenderHealth(LoadNewest(store)), "text/plain; charset=utf-8");
        } catch (const StoreError& e) {
            std::cerr << "vardel-page: /health: " << e.what() << ": " << e.detail() << std::endl;
            Send(res, 503, std::string("unavailable: ") + e.what() + "\n", "text/plain; charset=utf-8");
        } catch (const std::exception& e) {
            Send(res, 503, std::string("unavailable: ") + e.what() + "\n", "text/plain; charset=utf-8");
        }
    });

    if (!server.bind_to_port(settings.address, settings.port)) {
        std::cerr << "vardel-page: cannot listen on " << settings.address << ":" << settings.port << "\n";
        return 1;
    }
    const bool v6 = settings.address.find(':') != std::string::npos;
    std::cout << "listening on http://" << (v6 ? "[" : "") << settings.address << (v6 ? "]" : "") << ":"
              << settings.port << "/\n"
              << "store: " << StoreForDisplay(settings.store) << std::endl;
    return server.listen_after_bind() ? 0 : 1;
}
