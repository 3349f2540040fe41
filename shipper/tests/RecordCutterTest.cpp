// The record grammar as the edge applies it, against hand-written records.

#include "RecordCutter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using Vardel::Shipper::CRecordCutter;
using Vardel::Shipper::EndsRecord;

namespace {

const std::string A = "Wed Dec 09 10:00:00 AM GMT Standard Time,INFORMATION,RELEASE,src,\"one\"\r\n";
const std::string B = "Wed Dec 09 10:00:01 AM GMT Standard Time,ERROR,DEBUG,line 1\r\nline 2, \"q\"\r\nline 3,\"two\"\r\n";
// Bytes of code page 1252 (é, €, ÿ) in the source and the message.
const std::string C = "Wed Dec 09 10:00:02 AM GMT Standard Time,WARNING,TRACE,caf\xe9 \x80,\"\xff\"\r\n";

struct CCut {
    std::uint64_t offset;
    std::string bytes;
};

std::vector<CCut> CutAll(CRecordCutter& cutter)
{
    std::vector<CCut> out;
    for (auto& r : cutter.Ready())
        out.push_back({r.offset, r.bytes});
    cutter.Ready().clear();
    return out;
}

} // namespace

TEST(RecordCutter, LineEndsThatEndARecord)
{
    const struct {
        std::string line;
        bool ends;
    } cases[] = {
        {",\"x\"", true},          {",\"\"", true},        {"a,\"x\"\r", true},  {"a,\"x\"\t", true},
        {"a,\"x\" ", false},       {"a,\"x\"\r\r", false}, {"\"x\"", false},     {"a\"x\"", false},
        {"a,\"a\"b\"", false},     {"a,\"x", false},       {"", false},          {"\r", false},
        {"a,\"q\" b,\"x\"", true}, {",\"\xe9\x80\"", true}, {"a,\"x\"\x7f", true}, {"a, \"x\"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ends, EndsRecord(c.line.data(), c.line.size())) << "line: " << c.line;
}

TEST(RecordCutter, CutsRecordsWithTheirOffsetsWhereverTheBytesAreSplit)
{
    const std::string tail = "Wed Dec 09 10:00:03 AM GMT Standard Time,INFORMATION,RELEASE,s,\"not yet";
    const std::string file = A + B + C + tail;
    const std::vector<CCut> expected = {{1000, A}, {1000 + A.size(), B}, {1000 + A.size() + B.size(), C}};
    for (std::size_t split = 0; split <= file.size(); ++split) {
        CRecordCutter cutter(1000);
        cutter.Feed(file.data(), split);
        std::vector<CCut> got = CutAll(cutter);
        cutter.Feed(file.data() + split, file.size() - split);
        for (auto& c : CutAll(cutter))
            got.push_back(c);
        ASSERT_EQ(expected.size(), got.size()) << "split at " << split;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].offset, got[i].offset) << "split at " << split;
            EXPECT_EQ(expected[i].bytes, got[i].bytes) << "split at " << split;
        }
        EXPECT_EQ(tail, cutter.Pending());
        EXPECT_EQ(1000 + file.size() - tail.size(), cutter.PendingOffset());
        EXPECT_EQ(1000 + file.size(), cutter.End());
    }
}

TEST(RecordCutter, ByteAtATimeGivesTheSameRecords)
{
    const std::string file = A + B + C;
    CRecordCutter cutter;
    for (char c : file)
        cutter.Feed(&c, 1);
    const std::vector<CCut> got = CutAll(cutter);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(B, got[1].bytes);
    EXPECT_EQ(A.size(), got[1].offset);
    EXPECT_TRUE(cutter.Pending().empty());
}

TEST(RecordCutter, ALineThatEndsNoRecordStaysWithTheNext)
{
    // A piece a full disk cut short, with its line end: the edge sends it
    // with the record after it, and the collector splits it off.
    const std::string cut = "Wed Dec 09 10:00:00 AM GMT Standard Time,INFORMATION,REL\r\n";
    const std::string file = cut + A;
    CRecordCutter cutter;
    cutter.Feed(file.data(), file.size());
    const std::vector<CCut> got = CutAll(cutter);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(file, got[0].bytes);
    EXPECT_EQ(0u, got[0].offset);
}

TEST(RecordCutter, ARecordCompletedLaterKeepsItsOffset)
{
    const std::string first = "Wed Dec 09 10:00:00 AM GMT Standard Time,INFORMATION,RELEASE,src line 1\r\nline 2,\"me";
    CRecordCutter cutter(7);
    cutter.Feed(first.data(), first.size());
    EXPECT_TRUE(cutter.Ready().empty());
    EXPECT_EQ(7u, cutter.PendingOffset());
    const std::string rest = "ssage\"\r\n";
    cutter.Feed(rest.data(), rest.size());
    const std::vector<CCut> got = CutAll(cutter);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(7u, got[0].offset);
    EXPECT_EQ(first + rest, got[0].bytes);
}

TEST(RecordCutter, BytesWithoutARecordsEndGoInRecordsOfTheMostSize)
{
    // 10 bytes at most here (64 MiB in the shipper): 25 bytes without a line
    // end go as two records of 10; the 5 left wait, and go with the record
    // whose end comes next, as a line cut short does.
    CRecordCutter cutter(100, 10);
    const std::string garbage(25, 'g');
    cutter.Feed(garbage.data(), garbage.size());
    EXPECT_EQ(5u, cutter.Pending().size());
    cutter.Feed(A.data(), A.size());
    const std::vector<CCut> got = CutAll(cutter);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(100u, got[0].offset);
    EXPECT_EQ(std::string(10, 'g'), got[0].bytes);
    EXPECT_EQ(110u, got[1].offset);
    EXPECT_EQ(std::string(10, 'g'), got[1].bytes);
    EXPECT_EQ(120u, got[2].offset);
    EXPECT_EQ(std::string(5, 'g') + A, got[2].bytes);
    EXPECT_TRUE(cutter.Pending().empty());
}
