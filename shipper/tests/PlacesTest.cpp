// The places: committed in send order, and on disk written whole and read
// defensively. The state file's layout and checksum are written out here
// by hand (the checksum is FNV-1a 64 of the lines above the end line,
// computed apart from the product).

#include "ShipperStatus.h"
#include "StateFile.h"
#include "TempFolder.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include <string>

using namespace Vardel::Shipper;

namespace {

const std::string STATE_TEXT = "VardelShipper places 1\n"
                               "Log_2026_12_08.log\t305419896\t4294967301\t1000\t0\t1000\n"
                               "Log_2026_12_09.log\t305419896\t7\t2048\t77\t4096\n"
                               "end\t2\t4e1fc32091358789\n";

CPlaceRegistry Sample()
{
    CPlaceRegistry r;
    r["Log_2026_12_08.log"] = CPlace{{0x12345678, 0x100000005ull}, 1000, 0, 1000};
    r["Log_2026_12_09.log"] = CPlace{{0x12345678, 7}, 2048, 77, 4096};
    return r;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

TEST(PendingCommits, ApplyInSendOrderOnceAllBeforeAreAnswered)
{
    CPendingCommits pending;
    CPlaceRegistry registry;
    const std::string f = "Log_2026_12_09.log";
    const auto a = pending.Add(CCommit{CCommit::Kind::Set, f, CPlace{{1, 1}, 10, 0, 10}});
    const auto piece = pending.Add(CCommit{}); // a piece before the last one
    const auto b = pending.Add(CCommit{CCommit::Kind::Set, f, CPlace{{1, 1}, 20, 0, 20}});
    const auto gone = pending.Add(CCommit{CCommit::Kind::Forget, f, {}});
    pending.Answered(b);
    pending.Answered(gone);
    pending.Answered(12345); // no such message: nothing changes
    EXPECT_EQ(0u, pending.ApplyTo(registry));
    pending.Answered(a);
    EXPECT_EQ(1u, pending.ApplyTo(registry));
    EXPECT_EQ(10u, registry[f].place);
    pending.Answered(piece);
    EXPECT_EQ(3u, pending.ApplyTo(registry));
    EXPECT_EQ(0u, registry.count(f));
    // Lost with the connection: what waited is never applied.
    const auto c = pending.Add(CCommit{CCommit::Kind::Set, f, CPlace{{1, 1}, 30, 0, 30}});
    pending.Clear();
    pending.Answered(c);
    EXPECT_EQ(0u, pending.ApplyTo(registry));
}

TEST(StateFile, WrittenAsTheLayoutSays)
{
    EXPECT_EQ(STATE_TEXT, FormatState(Sample()));
    CPlaceRegistry read;
    std::string why;
    ASSERT_TRUE(ParseState(STATE_TEXT, read, why)) << why;
    EXPECT_EQ(Sample(), read);
    EXPECT_EQ("VardelShipper places 1\nend\t0\t4e8ddd6e960212c7\n", FormatState(CPlaceRegistry()));
}

TEST(StateFile, ATornFileIsNeverTakenInPart)
{
    for (std::size_t length = 0; length < STATE_TEXT.size(); ++length) {
        CPlaceRegistry read;
        std::string why;
        EXPECT_FALSE(ParseState(STATE_TEXT.substr(0, length), read, why)) << "cut at " << length;
        EXPECT_TRUE(read.empty());
        EXPECT_FALSE(why.empty());
    }
}

TEST(StateFile, ForeignOrAlteredFilesAreRefusedWithAReason)
{
    std::string flipped = STATE_TEXT;
    flipped[60] ^= 1; // a digit of the first file's index
    const struct {
        std::string text;
        std::string why;
    } cases[] = {
        {"{\"Log_2026_12_09.log\": [0, 10]}\n", "does not start"},
        {flipped, "checksum"},
        {"VardelShipper places 1\nend\t0\t4e8ddd6e960212c7\nextra\n", "checksum"},
        // Well summed, but not ours: a bad name, a repeated file, a count that disagrees.
        {"VardelShipper places 1\nLog_x.log\t1\t1\t1\t0\t1\nend\t1\t", "line 2"},
        {"VardelShipper places 1\nLog_2026_12_09.log\t1\t1\t1\t0\t1\nLog_2026_12_09.log\t1\t1\t1\t0\t1\nend\t2\t", "line 3"},
        {"VardelShipper places 1\nLog_2026_12_09.log\t1\t1\t99999999999999999999\t0\t1\nend\t1\t", "line 2"},
        {"VardelShipper places 1\nLog_2026_12_09.log\t1\t1\t1\t0\t1\nend\t3\t", "count"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        if (text.compare(text.size() - 1, 1, "\t") == 0) {
            // Sum the lines as the layout says, so that only the named fault remains.
            const std::string body = text.substr(0, text.rfind("end\t"));
            std::uint64_t h = 0xcbf29ce484222325ull;
            for (unsigned char ch : body) {
                h ^= ch;
                h *= 0x100000001b3ull;
            }
            char hex[20];
            std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
            text += std::string(hex) + "\n";
        }
        CPlaceRegistry read;
        std::string why;
        EXPECT_FALSE(ParseState(text, read, why)) << text;
        EXPECT_NE(std::string::npos, why.find(c.why)) << text << " said: " << why;
        EXPECT_TRUE(read.empty());
    }
}

TEST(StateFile, SavedWholeAndLoadedBack)
{
    CTempFolder folder;
    const std::string path = folder / "VardelShipper.places";
    CPlaceRegistry read;
    std::string why;
    EXPECT_EQ(LoadResult::Missing, LoadState(path, read, why));
    ASSERT_TRUE(SaveState(path, Sample(), why)) << why;
    EXPECT_FALSE(Exists(path + ".new"));
    EXPECT_EQ(STATE_TEXT, ReadAll(path));
    // Saved again over the old one.
    CPlaceRegistry next = Sample();
    next["Log_2026_12_09.log"].place = 4096;
    ASSERT_TRUE(SaveState(path, next, why)) << why;
    ASSERT_EQ(LoadResult::Loaded, LoadState(path, read, why)) << why;
    EXPECT_EQ(next, read);
}

TEST(StateFile, AnUnreadableFileIsKeptAsideAndSaid)
{
    CTempFolder folder;
    const std::string path = folder / "VardelShipper.places";
    WriteAll(path, STATE_TEXT.substr(0, 50));
    CPlaceRegistry read = Sample();
    std::string why;
    EXPECT_EQ(LoadResult::Unreadable, LoadState(path, read, why));
    EXPECT_NE(std::string::npos, why.find("cut short")) << why;
    EXPECT_TRUE(read.empty());
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(STATE_TEXT.substr(0, 50), ReadAll(path + ".bad"));
}

TEST(ShipperStatus, WrittenAsTheLayoutSaysAndReadBack)
{
    CShipperStatus status;
    status.updated = "2026-12-09T11:50:00.000000Z";
    status.collector = "10.0.0.5:20514";
    status.connected = true;
    status.answered = "2026-12-09T11:49:59.500000Z";
    status.unsent = {{"Log_2026_12_08.log", 12}, {"Log_2026_12_09.log", 4096}};
    const std::string text = "VardelShipper status 1\n"
                             "updated\t2026-12-09T11:50:00.000000Z\n"
                             "collector\t10.0.0.5:20514\n"
                             "connected\t1\n"
                             "answered\t2026-12-09T11:49:59.500000Z\n"
                             "unsent\tLog_2026_12_08.log\t12\n"
                             "unsent\tLog_2026_12_09.log\t4096\n";
    EXPECT_EQ(text, FormatStatus(status));
    CShipperStatus read;
    ASSERT_TRUE(ParseStatus(text, read));
    EXPECT_EQ(FormatStatus(status), FormatStatus(read));
    EXPECT_FALSE(ParseStatus("VardelShipper places 1\n", read));
    EXPECT_FALSE(ParseStatus("VardelShipper status 1\nconnected\t1\n", read)) << "no time: not a status";
    EXPECT_EQ("C:\\Korvane\\VardelLogs\\VardelShipper.status",
              StatusPathFor("C:\\Korvane\\VardelLogs\\VardelShipper.places"));
    EXPECT_EQ("VardelShipper.status", StatusPathFor("places"));
}
