#pragma once
// The shipper: the harvester's messages to the collector over one RELP
// session at a time, the places moved and saved as the answers come. One
// thread runs it all, waiting on the stop event, the socket and the log
// folder's changes, each wait bounded. The console and the service run the
// same Run().

#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>

namespace Vardel::Shipper {

struct CSettings {
    std::string collectorHost;
    std::string collectorPort;
    std::string folder;
    std::string statePath;
    std::string host;      // the name the records carry; the computer's when empty
    bool plain = false;    // plain RELP, without TLS
    std::string caPath;    // TLS: the site CA's certificate (PEM)
    std::string certPath;  // TLS: this PC's certificate and key (PKCS#12, no password)
    std::size_t window = 1024; // messages unanswered at once (the edge's omrelp window)
    DWORD quietMs = 2000;  // a last record without its end goes once its file stood still so long
};

// "host:port" or "[v6]:port" with a port of 1..65535; false when not.
bool SplitCollector(const std::string& text, std::string& host, std::string& port);

// The backoff after the attempt-th failed connection in a row (from 1):
// 1 s doubling to 60 s, plus up to a quarter more at random, never past 60 s.
DWORD BackoffMs(unsigned attempt, unsigned random);

// Runs until stop is signalled; say gets each line for the operator.
// Returns 0, or 1 when it cannot start (the state cannot be saved, the
// folder is not there).
int Run(const CSettings& settings, HANDLE stop, const std::function<void(const std::string&)>& say);

} // namespace Vardel::Shipper
