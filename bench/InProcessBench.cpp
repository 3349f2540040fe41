#include "InProcessBench.h"

#include "BenchWorkspace.h"
#include "Date.h"
#include "LogCommand.h"
#include "LogFile.h"
#include "LogFileManager.h"
#include "MonitorList.h"
#include "Registry.h"
#include "TrevalonIAlarm.h"
#include "VardelEventLogImpl.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestEnvironment.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

using VardelEventLogger::CVardelEventLogImpl;

namespace VardelBench {

namespace {

constexpr std::int32_t TYPE_INFORMATION = 1;
constexpr std::int32_t LEVEL_RELEASE = 3;
constexpr std::uint32_t EVENT_TIME = 1700000000; // 14 Nov 2023, a fixed line length
const std::string SOURCE = "Bench Source";
const std::string PLAIN_LOOP_FILE = std::string(Vardel::LOG_FOLDER_PATH) + "\\plain_loop.log";

// A started service with its queue drained; shut down and destroyed with
// the object.
class CRunningService {
public:
    CRunningService() : m_service(&m_owner)
    {
        m_service.StartLog();
        m_owner.WaitIdle();
    }
    ~CRunningService()
    {
        try {
            m_service.ShutdownLog();
        } catch (...) {
            // Destroying the service still ends the worker.
        }
    }

    void LogEvent(const std::string& message)
    {
        m_service.LogEvent(TYPE_INFORMATION, LEVEL_RELEASE, SOURCE, EVENT_TIME, message);
    }
    void WaitIdle() { m_owner.WaitIdle(); }

private:
    CIdleOwner m_owner; // outlives the service, which calls it to the end
    CVardelEventLogImpl m_service;
};

// Microseconds from the first post until the last line is closed.
double WriteEvents(CRunningService& service, const std::string& message, int events)
{
    const double start = NowUs();
    for (int i = 0; i < events; ++i)
        service.LogEvent(message);
    service.WaitIdle();
    return NowUs() - start;
}

// The baseline of the writer: what one line costs without the product
// around it, done the way the product does it (append in text mode, write,
// flush, close, per line).
double PlainLoop(const std::string& line, int lines)
{
    const std::string text = line + "\n";
    const double start = NowUs();
    for (int i = 0; i < lines; ++i) {
        Vardel::CUniqueFile file(std::fopen(PLAIN_LOOP_FILE.c_str(), "at"));
        if (!file)
            throw CBenchError("cannot append to " + PLAIN_LOOP_FILE);
        std::fwrite(text.data(), 1, text.size(), file.get());
        std::fflush(file.get());
    }
    return NowUs() - start;
}

void ExpectLines(const std::string& path, std::uint64_t expected)
{
    const std::uint64_t lines = CountLines(path);
    if (lines != expected)
        throw CBenchError(path + " holds " + std::to_string(lines) + " lines, expected " +
                          std::to_string(expected));
}

// Rounds are repeated to get past a noisy stretch of the machine: each side
// keeps its best round.
double Highest(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end());
}

double Lowest(const std::vector<double>& values)
{
    return *std::min_element(values.begin(), values.end());
}

void Enqueue(const CBenchSizes& sizes, std::vector<CBenchResult>& rows)
{
    const std::string message = Message(100);
    CRunningService service;
    for (int i = 0; i < sizes.enqueueBurst; ++i) // warm-up: heap, file cache, first expiry pass
        service.LogEvent(message);
    service.WaitIdle();

    // The floor: one push and one pop through the same three semaphores, on
    // a list of its own.
    CMonitorList<CLogCommand*, CommandThread::COMMAND_LIST_CAPACITY, 1> list;
    std::vector<double> ours, floor;
    ours.reserve(sizes.enqueueCalls);
    floor.reserve(sizes.enqueueCalls / sizes.enqueueFloorShare + 1);
    // Bursts below the queue's capacity, so that no call waits for a free
    // place: back-pressure is not the enqueue cost. The worker writes all
    // through each burst, and the floor's block runs while it still drains
    // the burst, so that both see the same machine and the same busy Wine
    // server.
    for (int done = 0; done < sizes.enqueueCalls; done += sizes.enqueueBurst) {
        const int burst = std::min(sizes.enqueueBurst, sizes.enqueueCalls - done);
        for (int i = 0; i < burst; ++i) {
            const double start = NowUs();
            service.LogEvent(message);
            ours.push_back(NowUs() - start);
        }
        for (int i = 0; i < burst / sizes.enqueueFloorShare; ++i) {
            CLogCommand* out = nullptr;
            const double start = NowUs();
            list.Push(nullptr, INFINITE);
            list.Pop(out, INFINITE);
            floor.push_back(NowUs() - start);
        }
        service.WaitIdle();
    }
    rows.push_back(Row("enqueue: LogEvent median vs push+pop median (us)", Median(ours), Median(floor),
                       EGoal::AtMost, 1.5));
    rows.push_back(Row("enqueue: LogEvent p99 vs push+pop p99 (us)", Percentile(ours, 99), Percentile(floor, 99)));
}

void Writer(const CBenchSizes& sizes, CLogFolderGuard& folder, std::vector<CBenchResult>& rows)
{
    const std::string message = Message(100);
    std::vector<double> ours, plain;
    for (int round = 0; round < sizes.writerRounds; ++round) {
        folder.Empty();
        double us;
        {
            CRunningService service;
            us = WriteEvents(service, message, sizes.writerEvents);
        }
        ExpectLines(VardelTest::TodayLogPath(), sizes.writerEvents);
        ours.push_back(sizes.writerEvents / (us / 1e6));

        const std::string line = ReadFirstLine(VardelTest::TodayLogPath(), 4096);
        us = PlainLoop(line, sizes.writerEvents);
        ExpectLines(PLAIN_LOOP_FILE, sizes.writerEvents);
        plain.push_back(sizes.writerEvents / (us / 1e6));
    }
    folder.Empty();
    rows.push_back(Row("writer: lines/s on disk vs plain open-append-close loop", Highest(ours), Highest(plain),
                       EGoal::AtLeast, 0.8));
}

void MessageSizes(const CBenchSizes& sizes, CLogFolderGuard& folder, std::vector<CBenchResult>& rows)
{
    static const char* const NAMES[4] = {"16 B", "1 KiB", "64 KiB", "1 MiB"};
    double perByte[4];
    for (int s = 0; s < 4; ++s) {
        folder.Empty();
        const std::string message = Message(MESSAGE_SIZES[s]);
        const int events = sizes.sizeEvents[s];
        double us;
        {
            CRunningService service;
            us = WriteEvents(service, message, events);
        }
        ExpectLines(VardelTest::TodayLogPath(), events);
        const double ours = us / events;
        const std::string line = ReadFirstLine(VardelTest::TodayLogPath(), MESSAGE_SIZES[s] + 4096);
        const double plain = PlainLoop(line, events) / events;
        rows.push_back(Row(std::string("growth: writer us/event, ") + NAMES[s] + " message vs plain loop", ours, plain));
        perByte[s] = ours * 1000 / MESSAGE_SIZES[s];
    }
    folder.Empty();
    // Linear cost has a falling or flat cost per byte; a rise means the
    // cost grows faster than the message.
    rows.push_back(Row("growth: writer ns/byte, 64 KiB vs 1 KiB message", perByte[2], perByte[1], EGoal::AtMost, 1.25));
    rows.push_back(Row("growth: writer ns/byte, 1 MiB vs 64 KiB message", perByte[3], perByte[2], EGoal::AtMost, 1.25));
}

// Old log files the expiry pass keeps (ExpireLogsAfter is set far beyond
// them), so every pass would have to look at all of them.
void CreateOldLogFiles(int count)
{
    CDate day;
    for (int i = 0; i < count; ++i) {
        day.SubtractDays(1);
        const std::string path = day.Format(LOG_FILE_PATTERN);
        Vardel::CUniqueFile file(std::fopen(path.c_str(), "wb"));
        if (!file)
            throw CBenchError("cannot create " + path);
        std::fputs("old line\r\n", file.get());
    }
}

struct CFolderFigures {
    double firstEventMs; // the first event pays the day's expiry pass
    double perEventUs;
};

CFolderFigures FolderRound(const CBenchSizes& sizes)
{
    const std::string message = Message(100);
    CRunningService service;
    CFolderFigures figures;
    figures.firstEventMs = WriteEvents(service, message, 1) / 1000;
    figures.perEventUs = WriteEvents(service, message, sizes.folderEvents) / sizes.folderEvents;
    return figures;
}

void FolderSize(const CBenchSizes& sizes, CLogFolderGuard& folder, std::vector<CBenchResult>& rows)
{
    VardelTest::SetRegString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, EXPIRE_DAYS_VALUE, "6000");
    std::vector<double> emptyFirst, emptyEach, fullFirst, fullEach;
    for (int round = 0; round < sizes.folderRounds; ++round) {
        folder.Empty();
        CFolderFigures empty = FolderRound(sizes);
        emptyFirst.push_back(empty.firstEventMs);
        emptyEach.push_back(empty.perEventUs);

        folder.Empty();
        CreateOldLogFiles(sizes.oldLogFiles);
        CFolderFigures full = FolderRound(sizes);
        if (VardelTest::ListFolder(Vardel::LOG_FOLDER_PATH).size() != static_cast<std::size_t>(sizes.oldLogFiles) + 1)
            throw CBenchError("the expiry pass deleted old log files it should have kept");
        fullFirst.push_back(full.firstEventMs);
        fullEach.push_back(full.perEventUs);
    }
    folder.Empty();
    const std::string files = std::to_string(sizes.oldLogFiles);
    rows.push_back(Row("growth: writer us/event, " + files + " old log files vs empty folder", Lowest(fullEach),
                       Lowest(emptyEach), EGoal::AtMost, 1.2));
    rows.push_back(Row("growth: first event of the day (expiry pass) ms, " + files + " old files vs empty",
                       Lowest(fullFirst), Lowest(emptyFirst)));
}

double WorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        FailWin32("GetProcessMemoryInfo");
    return static_cast<double>(counters.WorkingSetSize);
}

// The queue full to its text budget: the worker is held at the alarm-file
// mutex by an alarm, and a producer logs large events until the budget
// makes it wait. What this process grew by, per queued event, against the
// event's own text.
void QueuedAtTheBound(const CBenchSizes& sizes, CLogFolderGuard& folder, std::vector<CBenchResult>& rows)
{
    folder.Empty();
    VardelTest::SetRegString(HKEY_LOCAL_MACHINE, ALARM_CONFIG_KEY, ALARM_FILE_VALUE,
                             std::string(Vardel::LOG_FOLDER_PATH) + "\\bench_alarms.txt");
    const std::size_t budget = sizes.boundBudget ? sizes.boundBudget : VardelEventLogger::QUEUED_TEXT_BUDGET;
    const std::string message = Message(sizes.boundMessage);
    const std::string hold = "hold";
    const std::size_t eventBytes = SOURCE.size() + message.size();
    const int fit = static_cast<int>((budget - SOURCE.size() - hold.size()) / eventBytes);

    CIdleOwner owner;
    CVardelEventLogImpl service(&owner, budget);
    service.StartLog();
    owner.WaitIdle();
    const double before = WorkingSet();
    double atBound = 0;
    std::atomic<int> accepted{0};
    {
        Vardel::CHeldMutex mutex(ALARM_MUTEX_NAME, WAIT_LIMIT_MS);
        if (!mutex.Held())
            FailWin32("cannot take the alarm-file mutex");
        service.LogEvent(3, LEVEL_RELEASE, SOURCE, EVENT_TIME, hold);
        std::thread producer([&] {
            for (int i = 0; i <= fit; ++i) {
                service.LogEvent(TYPE_INFORMATION, LEVEL_RELEASE, SOURCE, EVENT_TIME, message);
                ++accepted;
            }
        });
        for (const double start = NowUs(); accepted < fit && NowUs() - start < WAIT_LIMIT_MS * 1000.0;)
            Sleep(10); // polling the producer's count: the count itself is what is waited for
        atBound = WorkingSet();
        const int reached = accepted;
        mutex.Release();
        producer.join();
        if (reached != fit)
            throw CBenchError(std::to_string(reached) + " events queued at the bound, expected " +
                              std::to_string(fit));
    }
    owner.WaitIdle();
    service.ShutdownLog();
    ExpectLines(VardelTest::TodayLogPath(), static_cast<std::uint64_t>(fit) + 2);
    folder.Empty();
    VardelTest::DeleteRegTree(HKEY_LOCAL_MACHINE, ALARM_CONFIG_KEY);

    const std::string size = std::to_string(sizes.boundMessage / 1024) + " KiB";
    rows.push_back(Row("queue: bytes per queued event at the bound (" + size + " messages) vs its text",
                       (atBound - before) / fit, static_cast<double>(eventBytes)));
    rows.push_back(Row("queue: MiB grown at the bound vs the queued-text budget", (atBound - before) / (1 << 20),
                       static_cast<double>(budget) / (1 << 20), EGoal::AtMost, 1.25));
}

// Today's file held by another program past the writer's wait while events
// keep coming, twice as many as the queued-text budget holds: the lines are
// kept and the oldest dropped. What this process grew by against the budget,
// and how long the kept lines take to go out once the file is let go,
// against the plain loop writing as many lines.
void KeptAtTheBound(const CBenchSizes& sizes, CLogFolderGuard& folder, std::vector<CBenchResult>& rows)
{
    folder.Empty();
    const std::size_t budget = sizes.boundBudget ? sizes.boundBudget : VardelEventLogger::QUEUED_TEXT_BUDGET;
    const std::string message = Message(sizes.boundMessage);
    const int events = static_cast<int>(2 * budget / (SOURCE.size() + message.size()));
    const std::string path = VardelTest::TodayLogPath();

    CIdleOwner owner;
    CVardelEventLogImpl service(&owner, budget);
    service.StartLog();
    owner.WaitIdle();
    const double before = WorkingSet();
    double kept = 0;
    {
        // As a spreadsheet program holds it: sharing reading only.
        Vardel::CUniqueFileHandle held(
            CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!held)
            FailWin32("cannot hold today's log file");
        for (int i = 0; i < events; ++i)
            service.LogEvent(TYPE_INFORMATION, LEVEL_RELEASE, SOURCE, EVENT_TIME, message);
        owner.WaitIdle();
        kept = WorkingSet();
    }
    const double start = NowUs();
    service.LogEvent(TYPE_INFORMATION, LEVEL_RELEASE, SOURCE, EVENT_TIME, "after");
    owner.WaitIdle();
    const double flushUs = NowUs() - start;
    service.ShutdownLog();
    // The kept lines, the line for the dropped ones and the one after.
    const std::uint64_t lines = CountLines(path);
    if (lines < 3 || lines >= static_cast<std::uint64_t>(events))
        throw CBenchError(path + " holds " + std::to_string(lines) + " lines after " + std::to_string(events) +
                          " events over a held file");
    const int written = static_cast<int>(lines) - 1;
    folder.Empty();
    const double plainUs = PlainLoop(std::string(sizes.boundMessage, 'x'), written);
    folder.Empty();

    const std::string size = std::to_string(sizes.boundMessage / 1024) + " KiB";
    rows.push_back(Row("kept: MiB grown with lines kept at the bound (" + size + " messages) vs the budget",
                       (kept - before) / (1 << 20), static_cast<double>(budget) / (1 << 20), EGoal::AtMost, 1.25));
    rows.push_back(Row("kept: ms to write the " + std::to_string(written) + " kept lines once the file is let go vs plain loop",
                       flushUs / 1000, plainUs / 1000));
}

} // namespace

void RunInProcessBenches(const CBenchSizes& sizes, std::vector<CBenchResult>& rows)
{
    // Default settings: no ExpireLogsAfter, no alarm file.
    VardelTest::CBothViewsKeyGuard settings(SETTINGS_KEY);
    VardelTest::CBothViewsKeyGuard alarms(ALARM_CONFIG_KEY);
    CLogFolderGuard folder;

    Enqueue(sizes, rows);
    Writer(sizes, folder, rows);
    MessageSizes(sizes, folder, rows);
    FolderSize(sizes, folder, rows);
    QueuedAtTheBound(sizes, folder, rows);
    KeptAtTheBound(sizes, folder, rows);
}

} // namespace VardelBench
