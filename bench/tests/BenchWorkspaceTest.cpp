// The helpers the benchmarks trust with the real log folder and with their
// end-of-run signals: the folder comes back as it was, lines are counted
// exactly, the idle signal follows the owner's references, waits end.
#include "BenchWorkspace.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace VardelBench;
using namespace VardelTest;

namespace {

const std::string LEFT_ASIDE = "C:\\Korvane\\VardelLogs.bench-saved";
const std::string KEPT_BY_TEST = "C:\\Korvane\\VardelLogs.test-kept";
const std::string SCRATCH = "C:\\Korvane\\VardelBenchTest";

// Keeps the prefix's own log folder out of the way of the guard under test.
class LogFolderGuard : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree(KEPT_BY_TEST);
        m_kept = FileExists(Expected::LOG_FOLDER) && MoveFileExA(Expected::LOG_FOLDER, KEPT_BY_TEST.c_str(), 0);
        RemoveTree(LEFT_ASIDE);
    }
    void TearDown() override
    {
        RemoveTree(Expected::LOG_FOLDER);
        RemoveTree(LEFT_ASIDE);
        if (m_kept)
            MoveFileExA(KEPT_BY_TEST.c_str(), Expected::LOG_FOLDER, 0);
    }

private:
    bool m_kept = false;
};

} // namespace

TEST_F(LogFolderGuard, SetsTheFolderAsideEmptyAndPutsItBackAsItWas)
{
    MakeEmptyFolder(Expected::LOG_FOLDER);
    WriteWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2001_01_01.log", "old\r\n");
    {
        CLogFolderGuard guard;
        EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
        WriteWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2030_01_01.log", "bench\r\n");
        MakeEmptyFolder(std::string(Expected::LOG_FOLDER) + "\\sub");
        guard.Empty();
        EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
        WriteWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2030_01_02.log", "bench\r\n");
    }
    EXPECT_EQ(std::vector<std::string>{"Log_2001_01_01.log"}, ListFolder(Expected::LOG_FOLDER));
    EXPECT_EQ("old\r\n", ReadWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2001_01_01.log"));
    EXPECT_FALSE(FileExists(LEFT_ASIDE));
}

TEST_F(LogFolderGuard, LeavesNoFolderWhereThereWasNone)
{
    {
        CLogFolderGuard guard;
        EXPECT_TRUE(FileExists(Expected::LOG_FOLDER));
        WriteWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2030_01_01.log", "bench\r\n");
    }
    EXPECT_FALSE(FileExists(Expected::LOG_FOLDER));
    EXPECT_FALSE(FileExists(LEFT_ASIDE));
}

TEST_F(LogFolderGuard, RestoresTheFolderThatADeadRunLeftAside)
{
    MakeEmptyFolder(LEFT_ASIDE);
    WriteWholeFile(LEFT_ASIDE + "\\Log_2001_01_01.log", "real\r\n");
    MakeEmptyFolder(Expected::LOG_FOLDER);
    WriteWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2030_01_01.log", "the dead run's output\r\n");
    {
        CLogFolderGuard guard;
        EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
    }
    EXPECT_EQ(std::vector<std::string>{"Log_2001_01_01.log"}, ListFolder(Expected::LOG_FOLDER));
    EXPECT_EQ("real\r\n", ReadWholeFile(std::string(Expected::LOG_FOLDER) + "\\Log_2001_01_01.log"));
    EXPECT_FALSE(FileExists(LEFT_ASIDE));
}

class WorkspaceFiles : public ::testing::Test {
protected:
    void SetUp() override { MakeEmptyFolder(SCRATCH); }
    void TearDown() override { RemoveTree(SCRATCH); }
    const std::string file = SCRATCH + "\\lines.log";
};

TEST_F(WorkspaceFiles, CountsCrLfPairsOnlyIncludingOneSplitAcrossReads)
{
    // 65536 is the read size: a CR as the last byte of the first read.
    std::string text(65535, 'x');
    text += "\r\n\n\r a\rb\r\n";
    WriteWholeFile(file, text);
    EXPECT_EQ(2u, CountLines(file));
    EXPECT_EQ(0u, CountLines(SCRATCH + "\\absent.log"));
}

TEST_F(WorkspaceFiles, FirstLineStopsAtCrLfAndNeedsOneWithinTheLimit)
{
    WriteWholeFile(file, "first line\nstill first\r\nsecond\r\n");
    EXPECT_EQ("first line\nstill first", ReadFirstLine(file, 4096));
    EXPECT_THROW(ReadFirstLine(file, 10), CBenchError);
    EXPECT_THROW(ReadFirstLine(SCRATCH + "\\absent.log", 4096), CBenchError);
    EXPECT_EQ(32u, FileSize(file));
    EXPECT_EQ(0u, FileSize(SCRATCH + "\\absent.log"));
}

TEST_F(WorkspaceFiles, WaitForSizeReturnsOnAnotherThreadsWriteAndThrowsAtItsLimit)
{
    WriteWholeFile(file, "12345");
    EXPECT_NO_THROW(WaitForFileSize(file, 5, 0));
    EXPECT_THROW(WaitForFileSize(file, 6, 50), CBenchError);

    Vardel::CUniqueHandle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&] {
        WaitForSingleObject(go.get(), 10000);
        WriteWholeFile(file, "1234567890");
    });
    SetEvent(go.get());
    EXPECT_NO_THROW(WaitForFileSize(file, 10, 10000));
    writer.join();
}

TEST(BenchMessage, HasTheSizeAndNothingTheLogLineWouldChange)
{
    for (std::size_t size : {0u, 16u, 100u, 70000u}) {
        const std::string text = Message(size);
        ASSERT_EQ(size, text.size());
        EXPECT_EQ(std::string::npos, text.find_first_of("\"\r\n")) << size;
    }
}

TEST(IdleOwner, IdleExactlyWhileNoReferenceIsHeld)
{
    CIdleOwner owner;
    EXPECT_TRUE(owner.IsIdle());
    EXPECT_EQ(1u, owner.AddRef());
    EXPECT_FALSE(owner.IsIdle());
    EXPECT_EQ(2u, owner.AddRef());
    EXPECT_EQ(1u, owner.Release());
    EXPECT_FALSE(owner.IsIdle());
    EXPECT_EQ(0u, owner.Release());
    EXPECT_TRUE(owner.IsIdle());
    EXPECT_NO_THROW(owner.WaitIdle());

    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_HR(E_NOINTERFACE, owner.QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
}
