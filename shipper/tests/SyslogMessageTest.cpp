// The messages against the form the edge sends, written out by hand.

#include "SyslogMessage.h"

#include <gtest/gtest.h>
#include <string>

using namespace Vardel::Shipper;

namespace {
const std::string STAMP = "2026-12-09T11:30:00.123456Z";
constexpr std::size_t MIB8 = 8388608;
} // namespace

TEST(SyslogMessage, AWholeRecordGoesWithoutItsLineFeed)
{
    const struct {
        std::string record;
        std::string body;
    } cases[] = {
        {"T,I,R,s,\"m\"\r\n", "T,I,R,s,\"m\"\r"},
        {"T,I,R,a\r\nb,\"m\"\r\n", "T,I,R,a\r\nb,\"m\"\r"},
        {"T,I,R,s,\"not end", "T,I,R,s,\"not end"}, // a last record without its end
        {"T,I,R,s,\"\xe9\"\n", "T,I,R,s,\"\xe9\""},
    };
    for (const auto& c : cases) {
        const auto messages = RecordMessages(STAMP, "PC-07", "Log_2026_12_09.log", 42, c.record);
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ("<13>1 2026-12-09T11:30:00.123456Z PC-07 vardel - Log_2026_12_09.log [vardel@32473 offset=\"42\"] " +
                      c.body,
                  messages[0]);
    }
}

TEST(SyslogMessage, RecordsPast8MiBGoInPiecesThatSaySo)
{
    const std::string head = "<13>1 2026-12-09T11:30:00.123456Z PC vardel - Log_2026_12_09.log [vardel@32473 offset=\"5\"";
    // Exactly 8 MiB of text (with its CR LF ending past it) still goes whole.
    std::string record(MIB8, 'x');
    record += '\n';
    auto messages = RecordMessages(STAMP, "PC", "Log_2026_12_09.log", 5, record);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(head.size() + 2 + MIB8, messages[0].size());

    record = std::string(MIB8, 'a') + std::string(MIB8, 'b') + "c\r\n";
    messages = RecordMessages(STAMP, "PC", "Log_2026_12_09.log", 5, record);
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(head + " piece=\"1\" pieces=\"3\"] " + std::string(MIB8, 'a'), messages[0]);
    EXPECT_EQ(head + " piece=\"2\" pieces=\"3\"] " + std::string(MIB8, 'b'), messages[1]);
    EXPECT_EQ(head + " piece=\"3\" pieces=\"3\"] c\r", messages[2]);
}

TEST(SyslogMessage, HostNamesFitTheHeader)
{
    EXPECT_EQ("-", HeaderName(""));
    EXPECT_EQ("PC-7", HeaderName("PC 7"));
    EXPECT_EQ("Z-rich", HeaderName("Z\xfcrich"));
    EXPECT_EQ(255u, HeaderName(std::string(300, 'p')).size());
}

TEST(SyslogMessage, NoticesCarryNoOffset)
{
    EXPECT_EQ("<13>1 2026-12-09T11:30:00.123456Z PC VardelShipper - Log_2026_12_09.log "
              "[vardel@32473 notice=\"expired\"] 12 bytes never left",
              NoticeMessage(STAMP, "PC", "Log_2026_12_09.log", "expired", "12 bytes never left"));
}

TEST(SyslogMessage, TheClockGivesRfc3339InUtc)
{
    const std::string now = NowRfc3339();
    ASSERT_EQ(27u, now.size()) << now;
    EXPECT_EQ('T', now[10]);
    EXPECT_EQ('.', now[19]);
    EXPECT_EQ('Z', now[26]);
}
