#include "ReliabilitySupport.h"

using namespace VardelTest;

namespace VardelReliability {

bool ParseLogLine(const std::string& line, CLogLine& parsed)
{
    std::string* fields[] = {&parsed.time, &parsed.type, &parsed.level, &parsed.source};
    size_t start = 0;
    for (std::string* field : fields) {
        const size_t comma = line.find(',', start);
        if (comma == std::string::npos)
            return false;
        *field = line.substr(start, comma - start);
        start = comma + 1;
    }
    const std::string rest = line.substr(start);
    if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"')
        return false;
    parsed.message = rest.substr(1, rest.size() - 2);
    return parsed.message.find('"') == std::string::npos && !parsed.time.empty();
}

namespace {

template <class Read>
bool WaitForText(Read read, const std::string& text, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (read().find(text) != std::string::npos)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20); // polling a file: the condition itself is what is waited for
    }
}

} // namespace

bool WaitForAlarmText(const CAlarmCapture& alarm, const std::string& text, DWORD timeoutMs)
{
    return WaitForText([&alarm] { return alarm.Text(); }, text, timeoutMs);
}

bool WaitForLogText(const CLogCapture& log, const std::string& text, DWORD timeoutMs)
{
    return WaitForText([&log] { return ReadWholeFile(log.FileName()); }, text, timeoutMs);
}

void Barrier(IVardelEventLog* log, const CAlarmCapture& alarm)
{
    const std::string marker = Marker("barrier");
    ASSERT_HR(S_OK, Log(log, 4, 4, "Barrier", 0, marker));
    ASSERT_TRUE(WaitForAlarmText(alarm, marker, 120000)) << "the worker did not reach " << marker;
}

void CReliabilityTest::SetUp()
{
    if (HostEventExists())
        GTEST_SKIP() << "a host is running in this prefix: these tests need to end the server themselves";
    ASSERT_EQ(0u, RunServer("/RegServer"));
}

void CReliabilityTest::TearDown()
{
    EXPECT_TRUE(WaitForServersToEnd(30000)) << "a server was left running";
}

HRESULT Log(IVardelEventLog* log, int type, int level, const std::string& source, ULONG time,
            const std::string& message)
{
    CBstr s(source), m(message);
    return log->LogEvent(static_cast<eTType>(type), level, s.get(), time, m.get());
}

} // namespace VardelReliability
