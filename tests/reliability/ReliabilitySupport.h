#pragma once
// Shared by the reliability tests: a fixture that registers the server and
// captures the day's log and the alarm file, a parser for log lines, and a
// barrier event that proves the worker has finished everything before it.

#include "ServerHarness.h"

#include <string>
#include <vector>

namespace VardelReliability {

// The six fields of one log line; the message without its quotes.
struct CLogLine {
    std::string time, type, level, source, message;
};
// False when the line does not split into time, type, level, source and a
// quoted message (a source with commas cannot be parsed this way).
bool ParseLogLine(const std::string& line, CLogLine& parsed);

// Logs a type 4, level 4 event (alarm only, never a log line) and waits,
// bounded, until its alarm record is on disk: every event logged before it
// has then been written, kept (its file refusing writes) or dropped.
void Barrier(IVardelEventLog* log, const VardelTest::CAlarmCapture& alarm);

// Waits, bounded, until the day's log has text appended.
bool WaitForLogText(const VardelTest::CLogCapture& log, const std::string& text, DWORD timeoutMs);

// Waits, bounded, until the alarm file holds text.
bool WaitForAlarmText(const VardelTest::CAlarmCapture& alarm, const std::string& text, DWORD timeoutMs);

class CReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    VardelTest::CRegistrationGuard m_registration;
    VardelTest::CLogCapture m_log;
    VardelTest::CAlarmCapture m_alarm;
    VardelTest::CComInit m_com;
};

HRESULT Log(IVardelEventLog* log, int type, int level, const std::string& source, ULONG time,
            const std::string& message);

} // namespace VardelReliability
