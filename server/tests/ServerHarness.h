#pragma once
// What the process tests share: the server executable and its GUIDs, the
// registry keys that registration touches, the host event, server
// processes with bounded ends, and the log and alarm files read back.

#include "ClientSupport.h"
#include "Handles.h"
#include "HostEvent.h"
#include "VardelEventLogger.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace VardelTest {

using Vardel::GuidText;
using Vardel::HostEventExists;

// Every key that registration writes (AppID, ProgIDs, class, type library,
// interfaces), saved and cleared for the test and restored after it.
class CRegistrationGuard {
public:
    CRegistrationGuard();

private:
    std::vector<std::unique_ptr<CRegistryKeyGuard>> m_guards;
};

// Holds the host product's event while it exists.
class CHostEvent {
public:
    CHostEvent();
    void Close() { m_event.reset(); }

private:
    Vardel::CUniqueHandle m_event;
};

// A server process started by the test; one still running at the end is
// killed, which fails the test.
class CServerProcess {
public:
    explicit CServerProcess(const std::string& arguments = "-Embedding");
    // The one server process that COM has started (a client must have
    // connected already: one started by hand is not yet reachable when a
    // client asks at once, and COM would start a second).
    struct CStartedByCom {};
    explicit CServerProcess(CStartedByCom);
    ~CServerProcess();
    HANDLE Handle() const { return m_process.get(); }
    // True once it has ended within timeoutMs; its exit code in code.
    bool WaitForExit(DWORD timeoutMs, DWORD* code = nullptr);

private:
    Vardel::CUniqueHandle m_process;
};

// A stretch of work with the server: the host event exists from the
// start; End() closes it and waits (bounded) for the server to finish,
// after which everything it accepted has been written.
class CServerSession {
public:
    CServerSession();
    ~CServerSession();
    // The default covers one monitor period, a short drain and the pause.
    void End(DWORD timeoutMs = 30000);

private:
    CHostEvent m_host;
    bool m_ended = false;
};

// The day's log file: its content is remembered at the start and put back
// at the end; Appended() is what was written to it in between.
class CLogCapture {
public:
    CLogCapture();
    ~CLogCapture();
    std::string Appended() const;
    std::string FileName() const { return m_file; }

private:
    std::string m_file;
    bool m_existed = false;
    bool m_createdFolder = false;
    std::string m_before;
};

// The alarm file configured for the test in a folder of its own.
class CAlarmCapture {
public:
    CAlarmCapture();
    ~CAlarmCapture();
    std::string Text() const { return ReadWholeFile(m_file); }
    std::string File() const { return m_file; }
    static std::string Folder();

private:
    CBothViewsKeyGuard m_config;
    std::string m_file;
};

// Lines split at CR LF; false from Complete() if the text does not end in one.
std::vector<std::string> CrLfLines(const std::string& text);
bool EndsWithCrLf(const std::string& text);
// The lines that end with tail.
std::vector<std::string> LinesEndingWith(const std::vector<std::string>& lines, const std::string& tail);

// The command line of a tool beside the server (vardel-log.exe, korvane-host.exe).
std::string VardelLogCommand(const std::string& arguments);
std::string KorvaneHostCommand(const std::string& arguments);

// A unique marker for this run's messages.
std::string Marker(const char* what);

// Creates the shared object by ProgID in the local server.
HRESULT CreateByProgId(IVardelEventLog** log);

// A fixture for tests that start and end real servers: a host left running
// in the prefix would keep them alive, so such tests skip; the registration
// and the day's log file are put back afterwards.
template <class Base = ::testing::Test>
class CServerTest : public Base {
protected:
    void SetUp() override
    {
        if (Vardel::HostEventExists())
            GTEST_SKIP() << "a host is running in this prefix: these tests end the server themselves";
    }
    CRegistrationGuard m_registration;
    CLogCapture m_log;
};

} // namespace VardelTest
