#include "ServerHarness.h"

#include "testsupport/RegistryViews.h"

#include <oleauto.h>
#include <tlhelp32.h>

#include <cstdio>

namespace VardelTest {

const char* const APPID_TEXT = "{DFC77DFF-0CE4-456B-B8F7-CC9DD5D78C32}";
const char* const PROGID = "VardelEventLogger.VardelEventLog";
const char* const VERSIONED_PROGID = "VardelEventLogger.VardelEventLog.1";
const char* const HOST_EVENT = "Global\\I AM NOT A KORVANE COM SERVER";
const char* const ALARM_MUTEX = "DUNMERETREVALONALARMLOG";

namespace {
const char* const LOG_FOLDER = "C:\\Korvane\\VardelLogs";
const char* const ALARM_FOLDER = "C:\\Korvane\\VardelServerTestAlarms";
const char* const ALARM_KEY = "SOFTWARE\\Dunmere\\Trevalon\\Configuration";

std::string Lower(std::string text)
{
    CharLowerA(&text[0]);
    return text;
}

std::string FileNamePart(const std::string& path)
{
    return path.substr(path.find_last_of('\\') + 1);
}
} // namespace

std::string BinFolder()
{
    std::string self = SelfPath();
    return self.substr(0, self.find_last_of('\\'));
}

std::string ServerPath()
{
    return BinFolder() + "\\VardelEventLogger.exe";
}

std::string ShortPathOrLong(const std::string& path)
{
    char shortPath[MAX_PATH * 2];
    DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return n && n < sizeof shortPath ? std::string(shortPath, n) : path;
}

CRegistrationGuard::CRegistrationGuard()
{
    const std::string clsid = GuidText(CLSID_VardelEventLog);
    const std::string paths[] = {
        std::string("AppID\\") + APPID_TEXT,
        "AppID\\VardelEventLogger.EXE",
        PROGID,
        VERSIONED_PROGID,
        "CLSID\\" + clsid,
        "TypeLib\\" + GuidText(LIBID_VARDELEVENTLOGGERLib),
        "Interface\\" + GuidText(IID_IVardelEventLog),
        "Interface\\" + GuidText(DIID__IVardelEventLogEvents),
    };
    for (const auto& path : paths)
        m_guards.push_back(std::make_unique<CRegistryKeyGuard>(HKEY_CLASSES_ROOT, path));
    // Registration copies the class, its ProgIDs and the interfaces into the
    // other registry view; AppID and TypeLib are shared.
    if (!HasTwoRegistryViews())
        return;
    static const CSoftwareView classes32(KEY_WOW64_32KEY, "SOFTWARE\\Classes");
    for (const auto& path : {paths[2], paths[3], paths[4], paths[6], paths[7]})
        m_guards.push_back(std::make_unique<CRegistryKeyGuard>(classes32.get(), path));
}

DWORD RunServer(const std::string& arguments, const std::string& server)
{
    return RunProcess("\"" + server + "\" " + arguments, 60000);
}

CHostEvent::CHostEvent() : m_event(CreateEventA(nullptr, TRUE, FALSE, HOST_EVENT))
{
    EXPECT_TRUE(m_event) << "cannot create the host event: " << GetLastError();
}

bool HostEventExists()
{
    Vardel::CUniqueHandle event(OpenEventA(SYNCHRONIZE, FALSE, HOST_EVENT));
    return static_cast<bool>(event);
}

CServerProcess::CServerProcess(const std::string& arguments)
{
    std::string command = "\"" + ServerPath() + "\" " + arguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << command << ": " << GetLastError();
        return;
    }
    CloseHandle(pi.hThread);
    m_process.reset(pi.hProcess);
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

std::vector<DWORD> ServerProcessIds()
{
    // COM starts the server by its short path, and the process may carry either name.
    const std::string longName = Lower(FileNamePart(ServerPath()));
    const std::string shortName = Lower(FileNamePart(ShortPathOrLong(ServerPath())));
    std::vector<DWORD> ids;
    Vardel::CUniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return ids;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        const std::string name = Lower(FileNamePart(entry.szExeFile));
        if (name == longName || name == shortName)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool WaitForServersToEnd(DWORD timeoutMs)
{
    std::vector<Vardel::CUniqueHandle> processes;
    std::vector<HANDLE> handles;
    for (DWORD id : ServerProcessIds()) {
        HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
        if (h) {
            processes.emplace_back(h);
            handles.push_back(h);
        }
    }
    if (handles.empty())
        return true;
    if (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, timeoutMs) < WAIT_OBJECT_0 +
                                                                                                         handles.size())
        return true;
    for (HANDLE h : handles)
        TerminateProcess(h, 1);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 10000);
    return false;
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
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    std::snprintf(name, sizeof name, "\\Log_%04u_%02u_%02u.log", now.wYear, now.wMonth, now.wDay);
    m_file = std::string(LOG_FOLDER) + name;
    if (GetFileAttributesA(LOG_FOLDER) == INVALID_FILE_ATTRIBUTES) {
        CreateDirectoryA("C:\\Korvane", nullptr);
        m_createdFolder = CreateDirectoryA(LOG_FOLDER, nullptr) != FALSE;
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
        RemoveDirectoryA(LOG_FOLDER); // only if nothing else is in it
}

std::string CLogCapture::Appended() const
{
    std::string now = ReadWholeFile(m_file);
    EXPECT_EQ(m_before, now.substr(0, m_before.size())) << "the earlier content of " << m_file << " changed";
    return now.size() >= m_before.size() ? now.substr(m_before.size()) : std::string();
}

CAlarmCapture::CAlarmCapture()
    : m_config(HKEY_LOCAL_MACHINE, ALARM_KEY), m_file(std::string(ALARM_FOLDER) + "\\alarms.txt")
{
    MakeEmptyFolder(ALARM_FOLDER);
    SetRegString(HKEY_LOCAL_MACHINE, ALARM_KEY, "AlarmTxtFile", m_file);
}

std::string CAlarmCapture::Folder()
{
    return ALARM_FOLDER;
}

CAlarmCapture::~CAlarmCapture()
{
    RemoveTree(ALARM_FOLDER);
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

namespace {

Vardel::CUniqueHandle TempFile(std::string& path)
{
    char folder[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "vsl", 0, name);
    path = name;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return Vardel::CUniqueHandle(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
}

} // namespace

CRunResult RunCaptured(const std::string& commandLine, const std::string& input, DWORD timeoutMs)
{
    CRunResult result;
    std::string inPath, outPath, errPath;
    Vardel::CUniqueHandle in = TempFile(inPath), out = TempFile(outPath), err = TempFile(errPath);
    DWORD written = 0;
    WriteFile(in.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    SetFilePointer(in.get(), 0, nullptr, FILE_BEGIN);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi = {};
    std::string command = commandLine;
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
    } else {
        Vardel::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
        if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            ADD_FAILURE() << commandLine << " still ran after " << timeoutMs << " ms";
        } else {
            GetExitCodeProcess(process.get(), &result.exitCode);
        }
    }
    in.reset();
    out.reset();
    err.reset();
    result.out = ReadWholeFile(outPath);
    result.err = ReadWholeFile(errPath);
    DeleteFileA(inPath.c_str());
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    return result;
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
    HRESULT hr = CLSIDFromProgID(L"VardelEventLogger.VardelEventLog", &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IVardelEventLog, reinterpret_cast<void**>(log));
}

} // namespace VardelTest
