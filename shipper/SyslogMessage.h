#pragma once
// The RFC 5424 messages the collector takes from an edge: the PC as host
// name, the day file's name as MSGID, the record's offset (and, for a piece
// of a long record, which of how many) as structured data, the record as
// the message. Pure functions.

#include <cstdint>
#include <string>
#include <vector>

namespace Vardel::Shipper {

// The most record text one message carries; a longer record goes in pieces
// of this size (the collector takes a message of this much and its header).
constexpr std::size_t PIECE_BYTES = 8u * 1024 * 1024;

// "2026-12-09T11:30:00.123456Z" from the system clock.
std::string NowRfc3339();

// A host name as a syslog header may carry it: printable ASCII without
// spaces, at most 255 bytes; any other byte becomes '-', empty becomes "-".
std::string HeaderName(const std::string& name);

// The messages of one record: its bytes without the last LF (a CR stays, as
// the edge leaves it), one message when they fit PIECE_BYTES, else pieces.
std::vector<std::string> RecordMessages(const std::string& stamp, const std::string& host, const std::string& file,
                                        std::uint64_t offset, const std::string& record);

// A message from the shipper itself about a day file (replaced, cut
// shorter, expired before it was sent): no offset, so the store keeps it
// beside the file's records as text of its own.
std::string NoticeMessage(const std::string& stamp, const std::string& host, const std::string& file,
                          const std::string& kind, const std::string& text);

} // namespace Vardel::Shipper
