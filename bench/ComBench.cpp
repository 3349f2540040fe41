#include "ComBench.h"

#include "BenchWorkspace.h"
#include "ComSupport.h"
#include "FixedNames.h"
#include "Registrar.h"
#include "Registration.h"
#include "VardelEventLogger.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestEnvironment.h"

#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace VardelBench {

namespace {

const char* const ALARM_DIR = "C:\\Korvane\\VardelBenchAlarms";

constexpr int TYPE_INFORMATION = 1;
constexpr int TYPE_ERROR = 3; // an alarm: goes through the alarm-file mutex
constexpr int LEVEL_RELEASE = 3;
constexpr unsigned long EVENT_TIME = 1700000000;
constexpr std::size_t QUEUED_MESSAGE_SIZE = 1024;
// The server's monitor looks for the host event every 10 s; its end then
// drains the log and pauses 1 s.
constexpr DWORD SERVER_END_LIMIT_MS = 60000;

void CheckHr(HRESULT hr, const char* what)
{
    if (FAILED(hr))
        throw CBenchError(std::string(what) + " failed: " + Vardel::HResultCode(hr));
}

using VardelTest::RunServer;
using VardelTest::ServerProcessIds;

// Every key registration writes, cleared for the run and restored after.
class CRegistrationGuard {
public:
    CRegistrationGuard()
    {
        for (const auto& key : VardelServer::RegistrationScriptKeys(VardelTest::ServerPath()))
            Guard(VardelServer::RootKeyFromName(key.root), key.path);
        // The type library's registration writes these.
        Guard(HKEY_CLASSES_ROOT, "TypeLib\\" + Vardel::GuidText(LIBID_VARDELEVENTLOGGERLib));
        Guard(HKEY_CLASSES_ROOT, "Interface\\" + Vardel::GuidText(IID_IVardelEventLog));
        Guard(HKEY_CLASSES_ROOT, "Interface\\" + Vardel::GuidText(DIID__IVardelEventLogEvents));
    }

private:
    void Guard(HKEY root, const std::string& path)
    {
        m_guards.push_back(std::make_unique<VardelTest::CRegistryKeyGuard>(root, path));
    }

    std::vector<std::unique_ptr<VardelTest::CRegistryKeyGuard>> m_guards;
};

// A BSTR for the calls; running out of memory ends the benchmark.
Vardel::CBstrOwner Bstr(const std::string& text)
{
    Vardel::CBstrOwner bstr = Vardel::BstrFromText(text);
    if (!bstr)
        throw CBenchError("SysAllocStringLen");
    return bstr;
}

struct CMemory {
    double workingSet;
    double peakWorkingSet;
};

CMemory ReadMemory(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters))
        FailWin32("GetProcessMemoryInfo on the server");
    return {static_cast<double>(counters.WorkingSetSize), static_cast<double>(counters.PeakWorkingSetSize)};
}

// One client of the server started by COM, and the server process itself.
class CServerClient {
public:
    CServerClient()
    {
        CLSID clsid = {};
        CheckHr(Vardel::ClsidFromProgId(Vardel::PROGID, &clsid), "CLSIDFromProgID");
        CheckHr(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IVardelEventLog,
                                 reinterpret_cast<void**>(m_log.put())),
                "CoCreateInstance");
        const auto ids = ServerProcessIds();
        if (ids.size() != 1)
            throw CBenchError(std::to_string(ids.size()) + " server processes instead of one");
        m_process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                    FALSE, ids[0]));
        if (!m_process)
            FailWin32("cannot open the server process");
    }

    IVardelEventLog* operator->() const { return m_log.get(); }
    HANDLE Process() const { return m_process.get(); }

    // Lets go of the object and waits, once the host event has gone, for the
    // server to end; one that does not is killed and reported.
    void WaitForEnd()
    {
        m_log.reset();
        if (WaitForSingleObject(m_process.get(), SERVER_END_LIMIT_MS) != WAIT_OBJECT_0) {
            TerminateProcess(m_process.get(), 1);
            throw CBenchError("the server did not end after the host event went");
        }
    }

    ~CServerClient()
    {
        m_log.reset();
        if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.get(), 1);
            WaitForSingleObject(m_process.get(), 10000);
        }
    }

private:
    Vardel::CComOwner<IVardelEventLog> m_log;
    Vardel::CUniqueHandle m_process;
};

void LogOne(CServerClient& client, int type, const Vardel::CBstrOwner& source, const Vardel::CBstrOwner& message)
{
    CheckHr(client->LogEvent(static_cast<eTType>(type), LEVEL_RELEASE, source.get(), EVENT_TIME, message.get()),
            "IVardelEventLog::LogEvent");
}

bool EndsWithCrLf(const std::string& path, std::uint64_t size)
{
    Vardel::CUniqueFile file(std::fopen(path.c_str(), "rb"));
    char tail[2] = {};
    return file && size >= 2 && _fseeki64(file.get(), static_cast<__int64>(size) - 2, SEEK_SET) == 0 &&
           std::fread(tail, 1, 2, file.get()) == 2 && tail[0] == '\r' && tail[1] == '\n';
}

// The length on disk of the line one event of this kind makes: every such
// line is the same, so the log's size tells how many have been written.
std::uint64_t LineBytes(CServerClient& client, int type, const Vardel::CBstrOwner& source, const Vardel::CBstrOwner& message)
{
    const std::string log = VardelTest::TodayLogPath();
    const std::uint64_t before = FileSize(log);
    LogOne(client, type, source, message);
    // Only the line's own CR LF ends it (the message holds no line break).
    std::uint64_t size = before;
    do {
        WaitForFileSize(log, size + 1);
        size = FileSize(log);
    } while (!EndsWithCrLf(log, size));
    const std::uint64_t length = size - before;
    if (length < 2)
        throw CBenchError("no line from the server in " + log);
    return length;
}

void QueuedMemory(const CBenchSizes& sizes, CServerClient& client, const Vardel::CBstrOwner& source,
                  std::vector<CBenchResult>& rows)
{
    const std::string message = Message(QUEUED_MESSAGE_SIZE);
    const Vardel::CBstrOwner text = Bstr(message);
    const std::string log = VardelTest::TodayLogPath();
    // Both kinds of line once, alarms still off: warms the server's heap
    // and gives the length of an alarm event's log line.
    LineBytes(client, TYPE_INFORMATION, source, text);
    const std::uint64_t alarmLine = LineBytes(client, TYPE_ERROR, source, text);

    VardelTest::MakeEmptyFolder(ALARM_DIR);
    const std::string alarmFile = std::string(ALARM_DIR) + "\\alarms.txt";
    VardelTest::SetRegString(HKEY_LOCAL_MACHINE, Vardel::ALARM_CONFIG_KEY, Vardel::ALARM_FILE_VALUE, alarmFile);

    const std::uint64_t logBefore = FileSize(log);
    const CMemory before = ReadMemory(client.Process());
    CMemory held;
    {
        // The alarm-file mutex, held here: a type-3 event stops the worker at its alarm step.
        Vardel::CHeldMutex mutex(Vardel::ALARM_MUTEX_NAME, WAIT_LIMIT_MS);
        if (!mutex.Held())
            FailWin32("cannot take the alarm-file mutex");
        // The first event stops the worker at the mutex; every later one
        // stays queued. No more than the queue holds, so no call waits.
        for (int i = 0; i < sizes.queuedEvents; ++i)
            LogOne(client, TYPE_ERROR, source, text);
        held = ReadMemory(client.Process());
        if (FileSize(log) != logBefore)
            throw CBenchError("the worker wrote while the alarm-file mutex was held");
    }
    WaitForFileSize(log, logBefore + alarmLine * sizes.queuedEvents);
    const std::uint64_t alarms = CountLines(alarmFile);
    VardelTest::DeleteRegTree(HKEY_LOCAL_MACHINE, Vardel::ALARM_CONFIG_KEY);
    VardelTest::RemoveTree(ALARM_DIR);
    if (alarms != static_cast<std::uint64_t>(sizes.queuedEvents))
        throw CBenchError("the alarm file holds " + std::to_string(alarms) + " records, expected " +
                          std::to_string(sizes.queuedEvents));

    const double perEvent = (held.workingSet - before.workingSet) / sizes.queuedEvents;
    // What one event carries: its message and source as narrow text.
    const double payload = static_cast<double>(QUEUED_MESSAGE_SIZE + std::string("Bench Source").size());
    rows.push_back(Row("growth: server working set bytes per queued 1 KiB event vs its payload", perEvent, payload,
                       EGoal::AtMost, 2.0));
    rows.push_back(Row("growth: server peak working set MiB, " + std::to_string(sizes.queuedEvents) +
                           " queued vs before",
                       held.peakWorkingSet / (1 << 20), before.peakWorkingSet / (1 << 20)));
}

void CallRate(const CBenchSizes& sizes, CServerClient& client, const Vardel::CBstrOwner& source, std::vector<CBenchResult>& rows)
{
    const Vardel::CBstrOwner message = Bstr(Message(100));
    const std::string log = VardelTest::TodayLogPath();
    const std::uint64_t line = LineBytes(client, TYPE_INFORMATION, source, message);
    const std::uint64_t logBefore = FileSize(log);

    // Blocks of each kind alternate, so that a slow stretch of the machine
    // falls on both.
    double logUs = 0, emptyUs = 0, firstCall = 0, lastReturn = 0;
    for (int done = 0; done < sizes.comCalls; done += sizes.comBlock) {
        const int block = std::min(sizes.comBlock, sizes.comCalls - done);
        double start = NowUs();
        for (int i = 0; i < block; ++i) {
            UINT count = 0;
            CheckHr(client->GetTypeInfoCount(&count), "IDispatch::GetTypeInfoCount");
        }
        emptyUs += NowUs() - start;

        start = NowUs();
        if (done == 0)
            firstCall = start;
        for (int i = 0; i < block; ++i)
            LogOne(client, TYPE_INFORMATION, source, message);
        lastReturn = NowUs();
        logUs += lastReturn - start;
    }
    WaitForFileSize(log, logBefore + line * sizes.comCalls);
    const double onDisk = NowUs();

    rows.push_back(Row("COM: LogEvent us/call vs empty round trip (GetTypeInfoCount)", logUs / sizes.comCalls,
                       emptyUs / sizes.comCalls, EGoal::AtMost, 1.2));
    rows.push_back(Row("COM: LogEvent calls/s vs empty round trips/s", sizes.comCalls / (logUs / 1e6),
                       sizes.comCalls / (emptyUs / 1e6)));
    rows.push_back(Row("COM: ms from first LogEvent to its last line on disk vs to its last return", (onDisk - firstCall) / 1000,
                       (lastReturn - firstCall) / 1000));
}

} // namespace

void RunComBenches(const CBenchSizes& sizes, std::vector<CBenchResult>& rows)
{
    if (!ServerProcessIds().empty())
        throw CBenchError("a VardelEventLogger server is already running in this prefix");
    // The server ends only once this event is gone: one that some running
    // host also holds would keep it alive past the run.
    Vardel::CUniqueHandle host(CreateEventA(nullptr, TRUE, FALSE, Vardel::HOST_EVENT_NAME));
    if (!host)
        FailWin32("cannot create the host event");
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        throw CBenchError("a host product is running in this prefix; stop it first");
    CRegistrationGuard registration;
    VardelTest::CBothViewsKeyGuard settings(Vardel::SETTINGS_KEY);
    VardelTest::CBothViewsKeyGuard alarms(Vardel::ALARM_CONFIG_KEY);
    CLogFolderGuard folder;
    if (RunServer("/RegServer") != 0)
        throw CBenchError("VardelEventLogger.exe /RegServer failed");
    const auto unregister = Vardel::ScopeExit([]() noexcept {
        try {
            RunServer("/UnregServer");
        } catch (...) {
        }
    });

    const VardelTest::CComInit apartment(COINIT_APARTMENTTHREADED);
    CServerClient client;
    const Vardel::CBstrOwner source = Bstr("Bench Source");
    // Memory first, on a server whose queue has never been long.
    QueuedMemory(sizes, client, source, rows);
    CallRate(sizes, client, source, rows);
    host.reset();
    client.WaitForEnd();
}

} // namespace VardelBench
