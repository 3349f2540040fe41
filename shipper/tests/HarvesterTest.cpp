// The harvester over real files in a folder of its own: what it sends and
// what each answer commits, when a day ends, and when a file is replaced,
// cut shorter or deleted. Places move only through the commits, applied
// here as the collector's answers would apply them.

#include "Harvester.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <fstream>
#include <string>
#include <vector>

using namespace Vardel::Shipper;

namespace {

const std::string DAY = "Log_2026_12_09.log", NEXT_DAY = "Log_2026_12_10.log";
const std::string R1 = "Wed Dec 09 10:00:00 AM GMT Standard Time,INFORMATION,RELEASE,a,\"one\"\r\n";
const std::string R2 = "Wed Dec 09 10:00:01 AM GMT Standard Time,ERROR,DEBUG,b\r\nc,\"two\"\r\n";
const std::string TAIL = "Wed Dec 09 10:00:02 AM GMT Standard Time,ERROR,DEBUG,d,\"thr";

void Write(const std::string& path, const std::string& bytes, bool append = false)
{
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

class CHarvest : public ::testing::Test {
protected:
    CHarvest() : harvester(folder.Path(), "PC-7", 3600 * 1000, [this](const std::string& t) { said.push_back(t); },
                           [this] { return today; })
    {
    }

    // Everything ready now: each message's body after its header, or its
    // notice text, with the commits applied as answered.
    std::vector<std::string> Take()
    {
        ULONGLONG now = ::GetTickCount64();
        std::vector<CCommit> seen;
        harvester.Scan(registry, now, seen);
        for (auto& c : seen)
            pending.Answered(pending.Add(c));
        std::vector<std::string> bodies;
        COutgoing out;
        while (harvester.Next(registry, now, out)) {
            if (!out.message.empty())
                bodies.push_back(out.message.substr(out.message.find(" [vardel@32473 ") + 1));
            pending.Answered(pending.Add(out.commit));
        }
        pending.ApplyTo(registry);
        return bodies;
    }

    CTempFolder folder;
    std::string today = DAY;
    std::vector<std::string> said;
    CPlaceRegistry registry;
    CPendingCommits pending;
    CHarvester harvester;
};

} // namespace

TEST_F(CHarvest, AtMidnightTheLastRecordWithoutItsEndGoes)
{
    Write(folder / DAY, R1 + R2 + TAIL);
    const std::vector<std::string> expected = {
        "[vardel@32473 offset=\"0\"] " + R1.substr(0, R1.size() - 1),
        "[vardel@32473 offset=\"" + std::to_string(R1.size()) + "\"] " + R2.substr(0, R2.size() - 1)};
    EXPECT_EQ(expected, Take());
    // Today's, and not still for an hour: held.
    EXPECT_EQ(std::vector<std::string>{}, Take());
    EXPECT_EQ(R1.size() + R2.size(), registry[DAY].place);
    EXPECT_EQ(0u, registry[DAY].tail);
    today = NEXT_DAY;
    const std::string at = std::to_string(R1.size() + R2.size());
    EXPECT_EQ(std::vector<std::string>{"[vardel@32473 offset=\"" + at + "\"] " + TAIL}, Take());
    EXPECT_EQ(R1.size() + R2.size(), registry[DAY].place) << "the place stays at the unfinished record";
    EXPECT_EQ(TAIL.size(), registry[DAY].tail);
    EXPECT_EQ(std::vector<std::string>{}, Take()) << "sent once";
    // Finished later: the whole record at the same offset.
    Write(folder / DAY, "ee\"\r\n", true);
    EXPECT_EQ(std::vector<std::string>{"[vardel@32473 offset=\"" + at + "\"] " + TAIL + "ee\"\r"}, Take());
    EXPECT_EQ(0u, registry[DAY].tail);
}

TEST_F(CHarvest, AFileReplacedOrCutShorterIsSaidAndReadFromTheStart)
{
    Write(folder / DAY, R1 + R2);
    EXPECT_EQ(2u, Take().size());
    const CFileIdentity first = registry[DAY].identity;
    // Cut shorter under the same identity.
    Write(folder / DAY, R2);
    harvester.Restart(); // as after a new session: checked from the registry
    std::vector<std::string> got = Take();
    ASSERT_EQ(2u, got.size()) << (got.empty() ? std::string("none") : got[0]);
    EXPECT_NE(std::string::npos, got[0].find("notice=\"reread\"")) << got[0];
    EXPECT_NE(std::string::npos, got[0].find(" is now " + std::to_string(R2.size()) + " bytes")) << got[0];
    EXPECT_EQ("[vardel@32473 offset=\"0\"] " + R2.substr(0, R2.size() - 1), got[1]);
    EXPECT_EQ(first, registry[DAY].identity);
    // Replaced: another file under the name, while the shipper has let go
    // of it (under Wine a deleted file that the shipper holds keeps its
    // name until it lets go). The new file is made before the old one goes:
    // under Wine the file index is the inode number, which Linux gives to
    // the next file once freed (NTFS's index carries a sequence number).
    harvester.Restart();
    Write(folder / "other", R1);
    ASSERT_TRUE(::DeleteFileA((folder / DAY).c_str()));
    ASSERT_TRUE(::MoveFileA((folder / "other").c_str(), (folder / DAY).c_str())) << ::GetLastError();
    harvester.Restart();
    got = Take();
    ASSERT_EQ(2u, got.size()) << (got.empty() ? std::string("none") : got[0]);
    EXPECT_NE(std::string::npos, got[0].find("was replaced by another file of that name")) << got[0];
    EXPECT_EQ("[vardel@32473 offset=\"0\"] " + R1.substr(0, R1.size() - 1), got[1]);
    EXPECT_NE(first, registry[DAY].identity);
    EXPECT_EQ(R1.size(), registry[DAY].place);
}

TEST_F(CHarvest, AFileDeletedBeforeItWasSentIsSaidWithItsBytes)
{
    const struct {
        std::uint64_t place, tail, seen;
        std::string notice; // empty: forgotten without a word
    } cases[] = {
        {100, 0, 300, "was deleted with 200 bytes not sent (from offset 100 to 300): they never left the PC"},
        {100, 50, 300, "was deleted with 150 bytes not sent (from offset 150 to 300)"},
        {300, 0, 300, ""},
        {0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        registry.clear();
        said.clear();
        registry[DAY] = CPlace{{7, 9}, c.place, c.tail, c.seen};
        const std::vector<std::string> got = Take();
        EXPECT_EQ(0u, registry.count(DAY)) << c.notice;
        EXPECT_EQ(std::vector<std::string>{}, Take()) << "said once: " << c.notice;
        if (c.notice.empty()) {
            EXPECT_EQ(std::vector<std::string>{}, got);
            EXPECT_EQ(std::vector<std::string>{}, said);
            continue;
        }
        ASSERT_EQ(1u, got.size());
        EXPECT_NE(std::string::npos, got[0].find("notice=\"expired\"] " + DAY + " " + c.notice)) << got[0];
        EXPECT_EQ(1u, said.size());
    }
}
