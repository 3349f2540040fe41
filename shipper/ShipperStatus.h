#pragma once
// What the shipper tells the operator (vardel-log --status): a small text
// file beside its places, written whole every few seconds while it runs.
//
//   VardelShipper status 1
//   updated TAB UTC              when it was written
//   collector TAB HOST:PORT
//   connected TAB 0|1            a RELP session is open
//   answered TAB UTC|-           when the collector last answered 200
//   unsent TAB FILE TAB BYTES    (one a day file with bytes not yet answered)

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Vardel::Shipper {

struct CShipperStatus {
    std::string updated;
    std::string collector;
    bool connected = false;
    std::string answered = "-";
    std::vector<std::pair<std::string, std::uint64_t>> unsent;
};

std::string FormatStatus(const CShipperStatus& status);
bool ParseStatus(const std::string& text, CShipperStatus& status);
// The status file in the folder of the state file.
std::string StatusPathFor(const std::string& statePath);
// Written as a new file moved over the old; false when it could not be.
bool WriteStatus(const std::string& path, const CShipperStatus& status);

// The lines vardel-log --status prints about the shipper: 0 OK, 1 WARN,
// 2 FAIL, and the text. Reads the service's state and the status file of
// the service's state path; changes nothing.
std::vector<std::pair<int, std::string>> DescribeShipper();

} // namespace Vardel::Shipper
