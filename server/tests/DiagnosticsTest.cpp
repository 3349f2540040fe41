// vardel-log's operator commands, --status and --tail, against the real
// server, registration and prefix.

#include "ServerHarness.h"
#include "testsupport/RegistryViews.h"

#include <psapi.h>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

using namespace VardelTest;

namespace {

constexpr DWORD OUTPUT_LIMIT_MS = 30000;

// The one status line that names `what`; empty when none or several do.
std::string StatusLine(const std::string& out, const std::string& what)
{
    std::string found;
    for (const std::string& line : CrLfLines(out))
        if (line.find(what) != std::string::npos) {
            if (!found.empty())
                return std::string();
            found = line;
        }
    return found;
}

// Appends as a writer does: a rewrite would look to a follower like a file replaced.
void Append(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

std::string InLogFolder(const std::string& name) { return std::string(Expected::LOG_FOLDER) + "\\" + name; }

// Deletes HKEY_CLASSES_ROOT\path\sub and all it holds in one registry view.
void DeleteClassesKey(REGSAM view, const std::string& path, const char* sub)
{
    Vardel::CUniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put())) << path;
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeA(key.get(), sub)) << path << "\\" << sub;
}

const std::string CLASS_KEY = "CLSID\\" + GuidText(CLSID_VardelEventLog);

// Holds a file open as another program would, created when absent (and then
// deleted again when let go).
std::shared_ptr<void> HoldFile(const std::string& path, DWORD share)
{
    const bool existed = FileExists(path);
    auto held = std::make_shared<Vardel::CUniqueFileHandle>(
        CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(*held) << path << ": " << GetLastError();
    return std::shared_ptr<void>(nullptr, [held, existed, path](void*) {
        held->reset();
        if (!existed)
            DeleteFileA(path.c_str());
    });
}

// vardel-log running on, its standard output collected by a reader thread.
class CFollower {
public:
    explicit CFollower(const std::string& arguments)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        EXPECT_TRUE(CreatePipe(&read, &write, &inherit, 0));
        m_read.reset(read);
        const Vardel::CUniqueHandle writeEnd(write);
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write;
        si.hStdError = write;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::string command = VardelLogCommand(arguments);
        PROCESS_INFORMATION pi = {};
        EXPECT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            << GetLastError();
        m_process.reset(pi.hProcess);
        const Vardel::CUniqueHandle thread(pi.hThread);
        m_reader = std::thread([this] {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(m_read.get(), buffer, sizeof buffer, &got, nullptr) && got) {
                std::lock_guard<std::mutex> lock(m_lock);
                m_out.append(buffer, got);
                m_changed.notify_all();
            }
        });
    }
    ~CFollower()
    {
        // Interrupted, as an operator ends it; the pipe then closes.
        TerminateProcess(m_process.get(), 0);
        WaitForSingleObject(m_process.get(), OUTPUT_LIMIT_MS);
        if (m_reader.joinable())
            m_reader.join();
    }
    // True once the output is exactly `expected`, within the bound.
    bool WaitForOutput(const std::string& expected)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(OUTPUT_LIMIT_MS),
                                  [&] { return m_out.size() >= expected.size(); }) &&
               m_out == expected;
    }
    // Waits (bounded) for the program to end; its exit code, memory counters and run time.
    DWORD Finish(PROCESS_MEMORY_COUNTERS& memory, ULONGLONG& ms)
    {
        // Sampled while it runs: Wine may not keep the counters of a process that has ended.
        const ULONGLONG start = GetTickCount64();
        DWORD waited = WAIT_TIMEOUT;
        for (PROCESS_MEMORY_COUNTERS now = {}; waited == WAIT_TIMEOUT && GetTickCount64() - start < OUTPUT_LIMIT_MS;) {
            if (K32GetProcessMemoryInfo(m_process.get(), &now, sizeof now)) {
                memory.PeakWorkingSetSize = std::max(memory.PeakWorkingSetSize, now.PeakWorkingSetSize);
                memory.PeakPagefileUsage = std::max(memory.PeakPagefileUsage, now.PeakPagefileUsage);
            }
            waited = WaitForSingleObject(m_process.get(), 1);
        }
        EXPECT_EQ(WAIT_OBJECT_0, waited);
        FILETIME created, ended, kernel, user;
        const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        if (GetProcessTimes(m_process.get(), &created, &ended, &kernel, &user))
            ms = (ticks(ended) - ticks(created)) / 10000;
        DWORD code = static_cast<DWORD>(-1);
        GetExitCodeProcess(m_process.get(), &code);
        m_reader.join();
        return code;
    }
    std::string Output()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_out;
    }

private:
    Vardel::CUniqueHandle m_read, m_process;
    std::thread m_reader;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::string m_out;
};

class Diagnostics : public CServerTest<> {
protected:
    void SetUp() override
    {
        CServerTest::SetUp();
        if (!IsSkipped())
            ASSERT_EQ(0u, RunServer("/RegServer"));
    }
    CBothViewsKeyGuard m_settings{Expected::SETTINGS_KEY};
    CLogCapture m_log;
    CAlarmCapture m_alarm;
};

TEST_F(Diagnostics, StatusReportsEachCheckAndFailsWhereEventsWouldBeLost)
{
    const std::string old = InLogFolder("Log_2001_01_01.log");
    WriteWholeFile(old, "");
    const auto removeOld = Vardel::ScopeExit([&] { DeleteFileA(old.c_str()); });
    SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, "3");
    const std::string away = std::string(Expected::LOG_FOLDER) + ".away";

    using CUndo = std::shared_ptr<void>;
    const auto alarmFile = [&](const std::string& path) {
        return [&, path] {
            SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, path);
            return CUndo(nullptr, [&](void*) {
                SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, m_alarm.File());
            });
        };
    };
    const auto expiry = [](const std::string& text) {
        return [text] {
            SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, text);
            return CUndo(nullptr, [](void*) {
                SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, "3");
            });
        };
    };
    const bool hadTodaysFile = FileExists(m_log.FileName());
    using CLines = std::vector<std::pair<const char*, const char*>>; // what a line names, how it begins
    struct Case {
        const char* name;
        std::function<CUndo()> arrange;
        CLines lines;
        DWORD exitCode;
    } const cases[] = {
        {"all well", [] { return CUndo(); },
         {{"registration for 64-bit clients", "OK"}, {"host product", "OK"}, {"log folder", "OK"},
          {"ExpireLogsAfter = \"3\" (REG_SZ)", "OK"}, {"would delete 1 file: Log_2001_01_01.log", "OK"},
          {"alarm file", "OK"}, {"alarm-file mutex", "OK"}},
         0},
        {"no host event", nullptr, {{"host product", "FAIL"}}, 1},
        {"log folder missing",
         [&] {
             RemoveTree(away);
             EXPECT_TRUE(MoveFileA(Expected::LOG_FOLDER, away.c_str())) << GetLastError();
             return CUndo(nullptr, [&](void*) { MoveFileA(away.c_str(), Expected::LOG_FOLDER); });
         },
         {{"log folder", "FAIL"}, {"the day's first event creates it", ""}}, 1},
        {"today's file held without write sharing", [&] { return HoldFile(m_log.FileName(), FILE_SHARE_READ); },
         {{"today's log file", "FAIL"}, {"another program holds it", "FAIL"}, {"keeps new lines in memory", "FAIL"}}, 1},
        {"64-bit view without LocalServer32",
         [] {
             DeleteClassesKey(KEY_WOW64_64KEY, CLASS_KEY, "LocalServer32");
             return CUndo(nullptr, [](void*) { RunServer("/RegServer"); });
         },
         {{"registration for 64-bit clients", "WARN"}, {"COM still finds the class", "WARN"},
          {"registration for 32-bit clients", "OK"}},
         0},
        {"32-bit view without ProgID",
         [] {
             DeleteClassesKey(KEY_WOW64_32KEY, Expected::PROGID, nullptr);
             return CUndo(nullptr, [](void*) { RunServer("/RegServer"); });
         },
         {{"registration for 32-bit clients", "FAIL"}, {"registration for 64-bit clients", "OK"}}, 1},
        {"alarm folder missing", alarmFile(CAlarmCapture::Folder() + "\\missing\\alarms.txt"), {{"alarm file", "FAIL"}}, 1},
        {"alarm file names a folder", alarmFile("C:\\Korvane"), {{"names a folder", "FAIL"}}, 1},
        {"alarm file relative", alarmFile("alarms.txt"), {{"is not a full path", "FAIL"}}, 1},
        {"negative expiry", expiry("-1"), {{"ExpireLogsAfter", "WARN"}}, 0},
        {"hexadecimal expiry", expiry("0x10"), {{"reads it as 0 days", "WARN"}}, 0},
        {"expiry with a unit", expiry("3days"), {{"reads it as 3 days", "WARN"}}, 0},
        {"expiry in words", expiry(" 7 days"), {{"reads it as 7 days", "WARN"}}, 0},
        {"expiry with leading zeros", expiry("010"), {{"ExpireLogsAfter = \"010\"", "OK"}}, 0},
        {"mutex held", [] { return std::make_shared<Vardel::CHeldMutex>(Expected::ALARM_MUTEX, 0); },
         {{"alarm-file mutex", "WARN"}}, 0},
        {"not registered",
         [] {
             EXPECT_EQ(0u, RunServer("/UnregServer"));
             return CUndo(nullptr, [](void*) { RunServer("/RegServer"); });
         },
         {{"registration for 64-bit clients", "FAIL"}}, 1},
    };
    for (const Case& c : cases) {
        std::unique_ptr<CHostEvent> host(c.arrange ? new CHostEvent : nullptr);
        const CUndo undo = c.arrange ? c.arrange() : CUndo();
        const CRunResult r = RunCaptured(VardelLogCommand("--status"));
        EXPECT_EQ(c.exitCode, r.exitCode) << c.name << "\n" << r.out << r.err;
        for (const auto& expected : c.lines) {
            const std::string line = StatusLine(r.out, expected.first);
            EXPECT_EQ(expected.second, line.substr(0, line.find(' '))) << c.name << ": " << expected.first << "\n" << r.out;
        }
    }
    // Status asks COM where the host runs; the servers it started end without it.
    EXPECT_TRUE(WaitForServersToEnd(30000));
    EXPECT_EQ(hadTodaysFile, FileExists(m_log.FileName())) << "status created or removed today's file";
    EXPECT_EQ(2u, RunCaptured(VardelLogCommand("--status --tail")).exitCode);
    EXPECT_EQ(2u, RunCaptured(VardelLogCommand("--probe")).exitCode);
    EXPECT_EQ(2u, RunCaptured(VardelLogCommand("--tail -5")).exitCode);
    EXPECT_EQ("", m_log.Appended());
}

TEST_F(Diagnostics, ProbeLogsAnEventAndFindsItsLine)
{
    CServerSession session;
    const CRunResult r = RunCaptured(VardelLogCommand("--status --probe"));
    EXPECT_EQ(0u, r.exitCode) << r.out << r.err;
    const std::string line = StatusLine(r.out, "probe:");
    EXPECT_EQ("OK", line.substr(0, line.find(' '))) << r.out;
    session.End();
    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(1u, lines.size()) << m_log.Appended();
    EXPECT_NE(std::string::npos, lines[0].find(",INFORMATION,RELEASE,vardel-log,\"vardel-log status probe ")) << lines[0];
}

TEST_F(Diagnostics, TailPrintsTheLastLinesExactlyAsOnDisk)
{
    const std::string dayFile = CAlarmCapture::Folder() + "\\day.txt";
    WriteWholeFile(dayFile, "2031-05-06");
    const std::string log = InLogFolder("Log_2031_05_06.log");
    const auto remove = Vardel::ScopeExit([&] { DeleteFileA(log.c_str()); });
    std::string twelve;
    for (int i = 1; i <= 12; ++i)
        twelve += "line " + std::to_string(i) + "\r\n";
    const struct {
        std::string content, arguments, expected;
    } cases[] = {
        {"a\r\nb\r\nc\r\n", "--tail 2", "b\r\nc\r\n"},
        {twelve, "--tail", twelve.substr(twelve.find("line 3\r\n"))},
        {"a\r\nb", "--tail 1", "b"},
        {"a\r\nsource\nsplit,\"m\"\r\n", "--tail 1", "split,\"m\"\r\n"},
        {"a\r\n", "--tail 0", ""},
        {"a\r\nb\r\n", "--tail 5", "a\r\nb\r\n"},
        {"", "--tail", ""},
    };
    for (const auto& c : cases) {
        WriteWholeFile(log, c.content);
        const CRunResult r = RunCaptured(VardelLogCommand(c.arguments + " --day-file \"" + dayFile + "\""));
        EXPECT_EQ(0u, r.exitCode) << c.arguments << ": " << r.err;
        EXPECT_EQ(c.expected, r.out) << c.arguments;
    }
    // Held by another program: what can be read is shown, and why the server cannot write.
    WriteWholeFile(log, "a\r\nb\r\n");
    const struct {
        DWORD share;
        std::string out;
        DWORD exitCode;
    } held[] = {{FILE_SHARE_READ, "b\r\n", 0}, {0, "", 1}};
    for (const auto& c : held) {
        const auto holder = HoldFile(log, c.share);
        const CRunResult r = RunCaptured(VardelLogCommand("--tail 1 --day-file \"" + dayFile + "\""));
        EXPECT_EQ(c.exitCode, r.exitCode) << c.share << ": " << r.err;
        EXPECT_EQ(c.out, r.out) << c.share;
        EXPECT_NE(std::string::npos, r.err.find("another program holds it")) << c.share << ": " << r.err;
    }
    DeleteFileA(log.c_str());
    const CRunResult r = RunCaptured(VardelLogCommand("--tail --day-file \"" + dayFile + "\""));
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("no log file for today yet")) << r.err;
}

TEST_F(Diagnostics, TailOfADayFileOverAGigabyteReadsOnlyItsEnd)
{
    const std::string dayFile = CAlarmCapture::Folder() + "\\day.txt";
    WriteWholeFile(dayFile, "2031-05-06");
    const std::string log = InLogFolder("Log_2031_05_06.log");
    const auto remove = Vardel::ScopeExit([&] { DeleteFileA(log.c_str()); });
    // The same last lines after a gap of nothing and of 1.2 GB (sparse where
    // the file system allows), for figures side by side.
    for (const LONGLONG gap : {0LL, 1200LL << 20}) {
        {
            Vardel::CUniqueFileHandle file(
                CreateFileA(log.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(file) << GetLastError();
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file.get(), "first\r\n", 7, &written, nullptr));
            LARGE_INTEGER last;
            last.QuadPart = 7 + gap;
            ASSERT_TRUE(SetFilePointerEx(file.get(), last, nullptr, FILE_BEGIN));
            const std::string end = "x\r\nsource\nsplit,\"y\"\r\nz\r\n";
            ASSERT_TRUE(WriteFile(file.get(), end.data(), static_cast<DWORD>(end.size()), &written, nullptr));
        }
        CFollower tail("--tail 2 --day-file \"" + dayFile + "\"");
        PROCESS_MEMORY_COUNTERS memory = {};
        ULONGLONG ms = 0;
        EXPECT_EQ(0u, tail.Finish(memory, ms));
        EXPECT_EQ("split,\"y\"\r\nz\r\n", tail.Output()) << gap;
        std::printf("[  FIGURE  ] --tail 2 after a gap of %lld MiB: %llu ms, peak working set %llu KiB, peak private %llu KiB\n",
                    gap >> 20, ms, static_cast<unsigned long long>(memory.PeakWorkingSetSize >> 10),
                    static_cast<unsigned long long>(memory.PeakPagefileUsage >> 10));
    }
}

TEST_F(Diagnostics, FollowMovesIntoTheNextDaysFile)
{
    const std::string dayFile = CAlarmCapture::Folder() + "\\day.txt";
    WriteWholeFile(dayFile, "2031-05-06");
    const std::string first = InLogFolder("Log_2031_05_06.log"), second = InLogFolder("Log_2031_05_07.log");
    const auto remove = Vardel::ScopeExit([&] {
        DeleteFileA(first.c_str());
        DeleteFileA(second.c_str());
    });
    WriteWholeFile(first, "old\r\nx\r\n");
    CFollower follower("--tail 1 --follow --day-file \"" + dayFile + "\"");
    ASSERT_TRUE(follower.WaitForOutput("x\r\n")) << follower.Output();
    Append(first, "y\r\n");
    ASSERT_TRUE(follower.WaitForOutput("x\r\ny\r\n")) << follower.Output();
    WriteWholeFile(dayFile, "2031-05-07");
    WriteWholeFile(second, "z\r\n");
    EXPECT_TRUE(follower.WaitForOutput("x\r\ny\r\nz\r\n")) << follower.Output();
}

TEST_F(Diagnostics, FollowPrintsTheLinesTheServerWrites)
{
    CServerSession session;
    // A line of our own first: once it is printed, the follower is reading.
    const std::string ready = Marker("ready") + "\r\n";
    Append(m_log.FileName(), ready);
    CFollower follower("--tail 1 --follow");
    ASSERT_TRUE(follower.WaitForOutput(ready)) << follower.Output();
    const std::string marker = Marker("follow");
    ASSERT_EQ(0u, RunCaptured(VardelLogCommand("--stdin -s Follow"), marker + "-1\n" + marker + "-2\n").exitCode);
    session.End();
    const std::string written = m_log.Appended();
    EXPECT_EQ(3u, CrLfLines(written).size()) << written;
    EXPECT_TRUE(follower.WaitForOutput(written)) << follower.Output();
}

TEST_F(Diagnostics, LoggingFailsAtOnceNamingWhatIsMissing)
{
    const struct {
        const char* name;
        bool registered;
        std::string expected;
    } cases[] = {
        {"no host event", true, std::string("\"") + Expected::HOST_EVENT + "\" does not exist"},
        {"not registered", false, "not registered"},
    };
    for (const auto& c : cases) {
        if (!c.registered) {
            ASSERT_EQ(0u, RunServer("/UnregServer"));
        }
        const CRunResult r = RunCaptured(VardelLogCommand("hello"));
        EXPECT_EQ(1u, r.exitCode) << c.name;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << c.name << ": " << r.err;
        // It gave up before asking COM, so no server was started for it.
        EXPECT_TRUE(ServerProcessIds().empty()) << c.name;
    }
    EXPECT_EQ("", m_log.Appended());
}

TEST_F(Diagnostics, LoggingGoesThroughComWhenOnlySomeKeysAreMissing)
{
    const struct {
        const char* name;
        REGSAM view;
        std::string path;
        const char* sub;
    } cases[] = {
        {"64-bit view without LocalServer32", KEY_WOW64_64KEY, CLASS_KEY, "LocalServer32"},
        {"32-bit view without ProgID", KEY_WOW64_32KEY, Expected::PROGID, nullptr},
        {"64-bit view without ProgID", KEY_WOW64_64KEY, Expected::PROGID, nullptr},
    };
    const std::string marker = Marker("partial");
    for (const auto& c : cases) {
        ASSERT_EQ(0u, RunServer("/RegServer"));
        DeleteClassesKey(c.view, c.path, c.sub);
        CServerSession session;
        const CRunResult r = RunCaptured(VardelLogCommand(std::string("-m \"") + marker + " " + c.name + "\""));
        EXPECT_EQ(0u, r.exitCode) << c.name << ": " << r.err;
        session.End();
        EXPECT_NE(std::string::npos, m_log.Appended().find(marker + " " + c.name)) << c.name;
    }
}

} // namespace
