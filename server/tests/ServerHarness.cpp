#include "ServerHarness.h"

#include "Registrar.h"
#include "Registration.h"
#include "testsupport/RegistryViews.h"

#include <oleauto.h>

#include <cstdio>

namespace VardelTest {

namespace {
const char* const ALARM_FOLDER = "C:\\Korvane\\VardelServerTestAlarms";
} // namespace

CRegistrationGuard::CRegistrationGuard()
{
    for (const auto& key : VardelServer::RegistrationScriptKeys(ServerPath()))
        m_guards.push_back(
            std::make_unique<CRegistryKeyGuard>(VardelServer::RootKeyFromName(key.root), key.path));
    // The type library's registration writes these.
    for (const auto& path : {"TypeLib\\" + GuidText(LIBID_VARDELEVENTLOGGERLib),
                             "Interface\\" + GuidText(IID_IVardelEventLog),
                             "Interface\\" + GuidText(DIID__IVardelEventLogEvents)})
        m_guards.push_back(std::make_unique<CRegistryKeyGuard>(HKEY_CLASSES_ROOT, path));
    // Registration copies the class, its ProgIDs and the interfaces into the
    // other registry view; AppID and TypeLib are shared.
    if (!HasTwoRegistryViews())
        return;
    static const CSoftwareView classes32(KEY_WOW64_32KEY, "SOFTWARE\\Classes");
    for (const auto& key : VardelServer::RegistrationScriptKeys(ServerPath()))
        m_guards.push_back(std::make_unique<CRegistryKeyGuard>(classes32.get(), key.path));
    for (const auto& path : {"Interface\\" + GuidText(IID_IVardelEventLog),
                             "Interface\\" + GuidText(DIID__IVardelEventLogEvents)})
        m_guards.push_back(std::make_unique<CRegistryKeyGuard>(classes32.get(), path));
}

CHostEvent::CHostEvent() : m_event(CreateEventA(nullptr, TRUE, FALSE, Expected::HOST_EVENT))
{
    EXPECT_TRUE(m_event) << "cannot create the host event: " << GetLastError();
}

CServerProcess::CServerProcess(const std::string& arguments)
{
    m_process = StartProcess("\"" + ServerPath() + "\" " + arguments);
}

CServerProcess::CServerProcess(CStartedByCom)
{
    const auto ids = ServerProcessIds();
    if (ids.size() != 1) {
        ADD_FAILURE() << ids.size() << " server processes instead of one";
        return;
    }
    m_process.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, ids[0]));
    EXPECT_TRUE(m_process) << "cannot open the server process: " << GetLastError();
}

CServerProcess::~CServerProcess()
{
    if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        ADD_FAILURE() << "the server was still running at the end of the test; killed";
        TerminateProcess(m_process.get(), 1);
        WaitForSingleObject(m_process.get(), 10000);
    }
}

bool CServerProcess::WaitForExit(DWORD timeoutMs, DWORD* code)
{
    if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (code)
        GetExitCodeProcess(m_process.get(), code);
    return true;
}

CServerSession::CServerSession()
{
    EXPECT_TRUE(ServerProcessIds().empty()) << "a server from elsewhere is running";
}

CServerSession::~CServerSession()
{
    End();
}

void CServerSession::End(DWORD timeoutMs)
{
    if (m_ended)
        return;
    m_ended = true;
    m_host.Close();
    // The monitor notices within one 10 s check; the end adds the log's drain and a 1 s pause.
    EXPECT_TRUE(WaitForServersToEnd(timeoutMs)) << "the server did not end after the host event went";
}

CLogCapture::CLogCapture()
{
    m_file = TodayLogPath();
    if (!FileExists(Expected::LOG_FOLDER)) {
        CreateDirectoryA("C:\\Korvane", nullptr);
        m_createdFolder = CreateDirectoryA(Expected::LOG_FOLDER, nullptr) != FALSE;
    }
    m_existed = FileExists(m_file);
    m_before = ReadWholeFile(m_file);
}

CLogCapture::~CLogCapture()
{
    if (m_existed)
        WriteWholeFile(m_file, m_before);
    else
        DeleteFileA(m_file.c_str());
    if (m_createdFolder)
        RemoveDirectoryA(Expected::LOG_FOLDER); // only if nothing else is in it
}

std::string CLogCapture::Appended() const
{
    std::string now = ReadWholeFile(m_file);
    EXPECT_EQ(m_before, now.substr(0, m_before.size())) << "the earlier content of " << m_file << " changed";
    return now.size() >= m_before.size() ? now.substr(m_before.size()) : std::string();
}

CAlarmCapture::CAlarmCapture()
    : m_config(Expected::ALARM_KEY), m_file(std::string(ALARM_FOLDER) + "\\alarms.txt")
{
    MakeEmptyFolder(ALARM_FOLDER);
    SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, m_file);
}

std::string CAlarmCapture::Folder()
{
    return ALARM_FOLDER;
}

CAlarmCapture::~CAlarmCapture()
{
    RemoveTree(ALARM_FOLDER);
}

std::string VardelLogCommand(const std::string& arguments)
{
    return "\"" + BinFolder() + "\\vardel-log.exe\" " + arguments;
}

std::string KorvaneHostCommand(const std::string& arguments)
{
    return "\"" + BinFolder() + "\\korvane-host.exe\" " + arguments;
}

std::vector<std::string> CrLfLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

bool EndsWithCrLf(const std::string& text)
{
    return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

std::vector<std::string> LinesEndingWith(const std::vector<std::string>& lines, const std::string& tail)
{
    std::vector<std::string> found;
    for (const auto& line : lines)
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            found.push_back(line);
    return found;
}

std::string Marker(const char* what)
{
    static unsigned counter = 0;
    char text[96];
    std::snprintf(text, sizeof text, "%s-%lu-%lu-%u", what, static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(GetTickCount()), ++counter);
    return text;
}

HRESULT CreateByProgId(IVardelEventLog** log)
{
    *log = nullptr;
    CLSID clsid = {};
    HRESULT hr = Vardel::ClsidFromProgId(Expected::PROGID, &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IVardelEventLog, reinterpret_cast<void**>(log));
}

} // namespace VardelTest
