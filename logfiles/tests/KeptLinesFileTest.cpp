// Kept lines that outlive the service: set down at its end while their day
// file still refuses them, picked up and written by the next start.
#include "KeptLines.h"
#include "KeptLinesFile.h"
#include "LogFile.h"

#include "Handles.h"
#include <cstdio>
#include "LogFolderFixture.h"

using namespace VardelTest;

namespace {

const std::uint32_t kTime = 1073311435; // Mon 5 Jan 2004 14:03:55 UTC
const std::string kDay5 = "Log_2004_01_05.log";
const std::string kDay6 = "Log_2004_01_06.log";

std::string SetDownFile()
{
    return LogPath(Expected::KEPT_LINES_FILE);
}

std::string DayPath(const CDate& day)
{
    return CLogFile(day).FileName();
}

// The time text of kTime + i as the server writes it, by hand: these
// cases run in a zone at UTC+0 (logfiles.utc), on the afternoon of 5 Jan.
std::string TimeText(std::uint32_t time)
{
    const std::uint32_t seconds = time - 1073260800; // since 5 Jan 2004 00:00
    const std::uint32_t h = seconds / 3600 % 24, m = seconds / 60 % 60, sec = seconds % 60;
    char text[32];
    std::snprintf(text, sizeof text, "Mon Jan 05 %02u:%02u:%02u %s ", h % 12 == 0 ? 12 : h % 12, m, sec,
                  h < 12 ? "AM" : "PM");
    return text + CurrentZoneName().substr(0, 19);
}

// A line whose source spans two lines, so that CR LF sits inside it.
std::string Line(int i)
{
    return TimeText(kTime + i) + ",INFORMATION,TRACE,S\r\nsecond,\"m" + std::to_string(i) + "\"\r\n";
}

std::string LostLine(std::size_t count, std::uint32_t first, std::uint32_t last)
{
    return TimeText(first) + ",WARNING,RELEASE," + Expected::SERVER_SOURCE + ",\"" + std::to_string(count) +
           (count == 1 ? " line" : " lines") + " lost while the log file refused writes, from " + TimeText(first) +
           " to " + TimeText(last) + "\"\r\n";
}

// Held as a spreadsheet program holds it: sharing reading only.
Vardel::CUniqueFileHandle Hold(const std::string& name)
{
    return Vardel::CUniqueFileHandle(CreateFileA(LogPath(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Counts the charges made for picked-up lines and those given back.
struct CCharges {
    int made = 0, kept = 0, released = 0;
    CKeptLines::ChargeMaker Maker()
    {
        return [this] { return std::unique_ptr<CLineCharge>(new CCharge(*this)); };
    }
    struct CCharge : CLineCharge {
        explicit CCharge(CCharges& c) : counts(c) { ++counts.made; }
        ~CCharge() override { ++counts.released; }
        void Kept(std::size_t) override { ++counts.kept; }
        CCharges& counts;
    };
};

// A set-down file made of these records, after the magic.
void WriteSetDown(const std::string& records)
{
    WriteWholeFile(SetDownFile(), std::string("VDLKEPT1") + records);
}

// CRC-32 (IEEE, reflected), bit by bit: the model the file's checksums
// are checked against.
std::uint32_t ModelCrc(const std::string& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string U32(std::uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// One record laid out by hand: kind, time, last time, count (u64), path and
// data lengths, path, data, CRC-32 of all before it; little-endian.
std::string Record(CKeptRecord::Kind kind, std::uint32_t time, std::uint32_t last, std::uint64_t count,
                   const std::string& path, const std::string& bytes)
{
    std::string out = U32(kind) + U32(time) + U32(last) + U32(static_cast<std::uint32_t>(count)) +
                      U32(static_cast<std::uint32_t>(count >> 32)) + U32(static_cast<std::uint32_t>(path.size())) +
                      U32(static_cast<std::uint32_t>(bytes.size())) + path + bytes;
    return out + U32(ModelCrc(out));
}

// Fails every write of more than kSmallWrite bytes as a disk with only a
// little room left does.
constexpr DWORD kSmallWrite = 100;
BOOL AlmostFullDisk(HANDLE file, const void* bytes, DWORD size, DWORD* written)
{
    *written = 0;
    if (size > kSmallWrite) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return WriteFile(file, bytes, size, written, nullptr);
}

BOOL FullDisk(HANDLE, const void*, DWORD, DWORD* written)
{
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

class CWriterSwap {
public:
    explicit CWriterSwap(LineWriteFunction write) : m_previous(SetLineWriteFunction(write)) {}
    ~CWriterSwap() { SetLineWriteFunction(m_previous); }

private:
    LineWriteFunction m_previous;
};

class KeptLinesFileTest : public LogFolderTest {};

} // namespace

// The writer's bytes are the layout above, and the model's CRC is CRC-32's.
TEST(KeptRecordLayout, EncoderWritesTheDocumentedBytes)
{
    EXPECT_EQ(0xCBF43926u, ModelCrc("123456789"));
    std::string encoded;
    EncodeKeptRecord(encoded, CKeptRecord::Lost, kTime, kTime + 9, 0x100000002ull, "C:\\p.log", "a\r\nb");
    EXPECT_EQ(Record(CKeptRecord::Lost, kTime, kTime + 9, 0x100000002ull, "C:\\p.log", "a\r\nb"), encoded);
}

// Lines still refused at the end (two days' files, across midnight, and a
// lost-lines count) come back at the next start into their own files, in
// order, the count first; then the file goes and each line is charged while
// kept.
TEST_F(KeptLinesFileTest, RoundTripIntoEachDaysFileInOrder)
{
    const std::string day5 = DayPath(CDate(5, 1, 2004)), day6 = DayPath(CDate(6, 1, 2004));
    {
        CKeptLines probe(SIZE_MAX);
        probe.Keep(day5, Line(0), kTime, nullptr);
        CKeptLines kept(5 * probe.Bytes()); // room for five: the first goes
        auto held5 = Hold(kDay5), held6 = Hold(kDay6);
        ASSERT_TRUE(held5 && held6);
        kept.Keep(day5, Line(0), kTime + 0, nullptr);
        kept.Keep(day5, Line(1), kTime + 1, nullptr);
        kept.Keep(day6, Line(2), kTime + 2, nullptr);
        kept.Keep(day5, Line(3), kTime + 3, nullptr);
        kept.Keep(day6, Line(4), kTime + 4, nullptr);
        kept.Keep(day6, Line(5), kTime + 5, nullptr);
        EXPECT_EQ(0u, kept.Drain()) << "set down, not lost";
        EXPECT_TRUE(kept.Empty());
    }
    EXPECT_EQ("", ReadWholeFile(LogPath(kDay5)));
    ASSERT_TRUE(FileExists(SetDownFile()));

    CCharges charges;
    {
        CKeptLines next(1024 * 1024);
        next.PickUp(charges.Maker());
        EXPECT_TRUE(next.Empty());
    }
    EXPECT_EQ(LostLine(1, kTime, kTime) + Line(1) + Line(3), ReadWholeFile(LogPath(kDay5)));
    EXPECT_EQ(Line(2) + Line(4) + Line(5), ReadWholeFile(LogPath(kDay6)));
    EXPECT_FALSE(FileExists(SetDownFile()));
    EXPECT_EQ(5, charges.made);
    EXPECT_EQ(5, charges.kept);
    EXPECT_EQ(5, charges.released);
}

// A file still held at the start keeps the picked-up lines; new ones go
// behind them; the set-down file stays until the last of them is written.
TEST_F(KeptLinesFileTest, StillHeldAtTheStartNewLinesGoBehind)
{
    const std::string day5 = DayPath(CDate(5, 1, 2004));
    WriteSetDown(Record(CKeptRecord::Header, kTime, kTime + 1, 2, day5, "") +
                 Record(CKeptRecord::Line, kTime, 0, 0, day5, Line(0)) +
                 Record(CKeptRecord::Line, kTime + 1, 0, 0, day5, Line(1)));
    CKeptLines kept(1024 * 1024);
    auto held = Hold(kDay5);
    ASSERT_TRUE(held);
    kept.PickUp(nullptr);
    EXPECT_EQ(2u, kept.Lines());
    EXPECT_TRUE(kept.Holds(day5));
    CLogFile(CDate(5, 1, 2004), &kept).Write(MakeEvent(1, 1, "S\nsecond", "m2", kTime + 2));
    EXPECT_EQ(3u, kept.Lines()) << "a new line passed the picked-up ones";
    EXPECT_TRUE(FileExists(SetDownFile()));
    held.reset();
    CLogFile(CDate(5, 1, 2004), &kept).Write(MakeEvent(1, 1, "S\nsecond", "m3", kTime + 3));
    EXPECT_EQ(Line(0) + Line(1) + Line(2) + Line(3), ReadWholeFile(LogPath(kDay5)));
    EXPECT_FALSE(FileExists(SetDownFile()));
}

// A torn or damaged set-down file gives what it holds before the damage,
// writes nothing from after it, says (ahead of them) how many lines the
// header promised that are gone, and goes.
TEST_F(KeptLinesFileTest, TornOrDamagedFileGivesWhatItCanAndSaysWhatIsGone)
{
    const std::string day5 = DayPath(CDate(5, 1, 2004));
    const std::string header = Record(CKeptRecord::Header, kTime, kTime + 2, 3, day5, "");
    const std::string r0 = Record(CKeptRecord::Line, kTime, 0, 0, day5, Line(0));
    const std::string r1 = Record(CKeptRecord::Line, kTime + 1, 0, 0, day5, Line(1));
    const std::string r2 = Record(CKeptRecord::Line, kTime + 2, 0, 0, day5, Line(2));
    std::string flipped = r1;
    flipped[flipped.size() / 2] ^= 0x20;
    std::string huge = r1;
    huge[24] = '\xFF'; // the data length: past the file's end
    huge[27] = '\x7F';
    // At the file's end: a path longer than what is left, and a data length
    // that would pass any check made after subtracting it.
    std::string tail = r1.substr(0, 20);
    tail += std::string("\xE8\x03\x00\x00", 4) + std::string("\xF0\xFF\xFF\xFF", 4) + "abcd";
    const struct {
        const char* what;
        std::string records;
        std::string expected;
    } cases[] = {
        {"whole", header + r0 + r1 + r2, Line(0) + Line(1) + Line(2)},
        {"cut inside the last record", header + r0 + r1 + r2.substr(0, r2.size() - 5),
         LostLine(1, kTime + 1, kTime + 2) + Line(0) + Line(1)},
        {"cut inside a record's head", header + r0 + r1.substr(0, 10), LostLine(2, kTime, kTime + 2) + Line(0)},
        {"a byte changed", header + r0 + flipped + r2, LostLine(2, kTime, kTime + 2) + Line(0)},
        {"a length past the end", header + r0 + huge + r2, LostLine(2, kTime, kTime + 2) + Line(0)},
        {"a path length past the end", header + r0 + tail, LostLine(2, kTime, kTime + 2) + Line(0)},
        {"a path outside the log folder",
         header + r0 + Record(CKeptRecord::Line, kTime + 1, 0, 0, "C:\\Korvane\\evil.log", Line(1)) + r2,
         LostLine(2, kTime, kTime + 2) + Line(0)},
        {"a day file spelt otherwise",
         header + r0 + Record(CKeptRecord::Line, kTime + 1, 0, 0, LogPath("Log_2004_1_5.log"), Line(1)),
         LostLine(2, kTime, kTime + 2) + Line(0)},
        {"header only, lines gone", header, LostLine(3, kTime, kTime + 2)},
        {"no header", r0 + r1, Line(0) + Line(1)},
    };
    for (const auto& c : cases) {
        WriteWholeFile(LogPath(kDay5), "");
        WriteSetDown(c.records);
        CKeptLines kept(1024 * 1024);
        kept.PickUp(nullptr);
        EXPECT_TRUE(kept.Empty()) << c.what;
        EXPECT_EQ(c.expected, ReadWholeFile(LogPath(kDay5))) << c.what;
        EXPECT_FALSE(FileExists(SetDownFile())) << c.what;
        EXPECT_EQ((std::vector<std::string>{kDay5}), ListFolder(Expected::LOG_FOLDER)) << c.what;
    }
    // Nothing to count by: such a file is read as nothing and removed.
    for (const std::string& junk : {std::string(), std::string("VDLK"), std::string(5000, '\xFF'),
                                    std::string("XXXXXXXX") + header + r0}) {
        WriteWholeFile(LogPath(kDay5), "");
        WriteWholeFile(SetDownFile(), junk);
        CKeptLines kept(1024 * 1024);
        kept.PickUp(nullptr);
        EXPECT_EQ("", ReadWholeFile(LogPath(kDay5))) << junk.size();
        EXPECT_FALSE(FileExists(SetDownFile())) << junk.size();
    }
}

// With nothing set down the start touches nothing, and an end with nothing
// kept sets nothing down.
TEST_F(KeptLinesFileTest, NothingKeptLeavesTheFolderAlone)
{
    WriteWholeFile(LogPath(kDay5), "earlier\r\n");
    CKeptLines kept(1024 * 1024);
    CCharges charges;
    kept.PickUp(charges.Maker());
    EXPECT_TRUE(kept.Empty());
    EXPECT_EQ(0u, kept.Drain());
    EXPECT_EQ(0, charges.made);
    EXPECT_EQ((std::vector<std::string>{kDay5}), ListFolder(Expected::LOG_FOLDER));
    EXPECT_EQ("earlier\r\n", ReadWholeFile(LogPath(kDay5)));
}

// A set-down that cannot be written loses the lines; where a small record
// still fits, the next start says how many; where nothing fits, nothing is
// left behind (not even an empty file). A file picked up earlier keeps its
// lines through a failed set-down.
TEST_F(KeptLinesFileTest, SetDownThatFailsLeavesTheCountWhereItCan)
{
    const std::string day5 = DayPath(CDate(5, 1, 2004));
    for (const bool room : {true, false}) {
        {
            CKeptLines kept(1024 * 1024);
            auto held = Hold(kDay5);
            kept.Keep(day5, Line(0), kTime, nullptr);
            kept.Keep(day5, Line(1), kTime + 1, nullptr);
            CWriterSwap swap(room ? &AlmostFullDisk : &FullDisk);
            EXPECT_EQ(2u, kept.Drain()) << room;
        }
        EXPECT_EQ(room, FileExists(SetDownFile())) << room;
        EXPECT_FALSE(FileExists(LogPath(Expected::KEPT_LINES_NEW_FILE))) << room;
        CKeptLines next(1024 * 1024);
        next.PickUp(nullptr);
        EXPECT_EQ(room ? LostLine(2, kTime, kTime + 1) : "", ReadWholeFile(LogPath(kDay5))) << room;
        DeleteFileA(LogPath(kDay5).c_str());
    }

    // Picked up, still held at the end, and the disk full: the set-down
    // file as it was still holds them.
    WriteSetDown(Record(CKeptRecord::Header, kTime, kTime, 1, day5, "") +
                 Record(CKeptRecord::Line, kTime, 0, 0, day5, Line(0)));
    {
        CKeptLines kept(1024 * 1024);
        auto held = Hold(kDay5);
        kept.PickUp(nullptr);
        kept.Keep(day5, Line(1), kTime + 1, nullptr);
        CWriterSwap swap(&AlmostFullDisk);
        EXPECT_EQ(1u, kept.Drain());
    }
    CKeptLines next(1024 * 1024);
    next.PickUp(nullptr);
    EXPECT_EQ(LostLine(1, kTime + 1, kTime + 1) + Line(0), ReadWholeFile(LogPath(kDay5)));
    EXPECT_FALSE(FileExists(SetDownFile()));
}
