#include "Status.h"

#include "BuildSettings.h"
#include "FixedNames.h"
#include "Handles.h"
#include "HostEvent.h"
#include "LogFolderScan.h"
#include "Reachability.h"
#include "ShipperStatus.h"
#include "Registry.h"
#include "RegistryText.h"
#include "Tail.h"
#include "TrevalonIAlarm.h"
#include "Win32Error.h"

#include <tlhelp32.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace VardelTools {

namespace {

constexpr DWORD MUTEX_CHECK_MS = 1000;
constexpr DWORD PROBE_LIMIT_MS = 30000;
constexpr DWORD PROBE_POLL_MS = 250;

enum class EOutcome { OK, WARN, FAIL };

class CReport {
public:
    void Line(EOutcome outcome, const std::string& text)
    {
        static const char* const words[] = {"OK  ", "WARN", "FAIL"};
        std::printf("%s %s\n", words[static_cast<int>(outcome)], text.c_str());
        std::fflush(stdout);
        m_failed = m_failed || outcome == EOutcome::FAIL;
    }
    bool Failed() const { return m_failed; }

private:
    bool m_failed = false;
};

// A machine setting as the server finds it.
struct CSetting {
    bool present = false;
    std::string text;
    DWORD type = REG_NONE;
    std::string where; // "HKLM\<key> (64-bit view)"
};

// Through the server's own view rule: the view it reads is the one shown.
CSetting ReadSetting(const char* key, const char* value)
{
    CSetting s;
    const Vardel::CRegistryViewChoice choice = Vardel::ChooseRegistryView(HKEY_LOCAL_MACHINE, key, value);
    s.text = Vardel::ReadRegistryText(HKEY_LOCAL_MACHINE, key, value, &s.type, choice.view);
    s.present = choice.valueFound;
    s.where = std::string("HKLM\\") + key + " (" + Vardel::RegistryViewName(choice.view) + " view)";
    return s;
}

std::string TypeName(DWORD type)
{
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_DWORD: return "REG_DWORD";
    case REG_BINARY: return "REG_BINARY";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "type " + std::to_string(type);
    }
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool FolderExists(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 2 && path[1] == ':' ? 3 : slash);
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// COM's own answer for this process's clients, when the host runs (without
// it a started server ends at once). May start a server, which ends again
// when idle.
HRESULT CreateAndRelease()
{
    Vardel::CComOwner<IVardelEventLog> log;
    return CreateLogObject(log);
}

void CheckRegistration(CReport& report)
{
    struct {
        REGSAM view;
        const char* clients;
    } const views[] = {{KEY_WOW64_64KEY, "64-bit"}, {KEY_WOW64_32KEY, "32-bit"}};
    const Vardel::CComApartment apartment(COINIT_MULTITHREADED);
    for (const auto& v : views) {
        const std::string what = std::string("registration for ") + v.clients + " clients: ";
        const CRegistrationView keys = ReadRegistration(v.view);
        const CComLookup com = LookUpLikeCom(v.view);
        const HRESULT created =
            v.view == OwnRegistryView() && com.Found() && Vardel::HostEventExists() ? CreateAndRelease() : S_OK;
        if (!com.Found())
            report.Line(EOutcome::FAIL, what + "COM cannot find the class for these clients: " + com.Why(keys) +
                                            (com.serverFile.empty() ? "; they are refused"
                                                                    : "; clients that create it by its ProgID, as "
                                                                      "scripts do, are refused") +
                                            ": run VardelEventLogger.exe /RegServer");
        else if (FAILED(created))
            report.Line(EOutcome::FAIL, what + "COM cannot create the object for these clients: " +
                                            Vardel::HResultCode(created) +
                                            (keys.Usable() ? std::string() : " (" + keys.Missing() + ")") +
                                            "; run VardelEventLogger.exe /RegServer from where it is installed");
        else if (!keys.Usable())
            report.Line(EOutcome::WARN, what + keys.Missing() + ", but COM still finds the class for these clients" +
                                            (com.otherView ? " (through the other view's LocalServer32, " +
                                                                 com.serverFile + ")"
                                                           : std::string()) +
                                            "; run VardelEventLogger.exe /RegServer to complete it");
        else
            report.Line(EOutcome::OK, what + Vardel::PROGID + " " + Vardel::GuidText(CLSID_VardelEventLog) +
                                          ", LocalServer32 " + keys.serverFile + " exists, type library " +
                                          keys.typeLibFile + " and interface registered");
    }
}

void CheckHost(CReport& report)
{
    if (Vardel::HostEventExists())
        report.Line(EOutcome::OK, std::string("host product: its event ") + Quoted(Vardel::HOST_EVENT_NAME) + " exists");
    else
        report.Line(EOutcome::FAIL, std::string("host product: its event ") + Quoted(Vardel::HOST_EVENT_NAME) +
                                        " does not exist; a server ends at once and no event is logged");

    // The registered executable, by its short name (as COM starts it) or its long one.
    const std::string registered = LookUpLikeCom(OwnRegistryView()).serverFile;
    const std::string image = BaseName(registered);
    char longPath[MAX_PATH] = {};
    const std::string longImage =
        !registered.empty() && ::GetLongPathNameA(registered.c_str(), longPath, MAX_PATH) ? BaseName(longPath) : image;
    std::vector<DWORD> running;
    const Vardel::CUniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    if (snapshot && !image.empty() && ::Process32First(snapshot.get(), &entry)) {
        do {
            const char* name = entry.szExeFile;
            if (const char* slash = std::strrchr(name, '\\'))
                name = slash + 1;
            if (_stricmp(name, image.c_str()) == 0 || _stricmp(name, longImage.c_str()) == 0)
                running.push_back(entry.th32ProcessID);
        } while (::Process32Next(snapshot.get(), &entry));
    }
    if (image.empty())
        report.Line(EOutcome::OK, "server process: none known (not registered)");
    else if (running.empty())
        report.Line(EOutcome::OK, "server process: " + longImage + " is not running; COM starts it for the first client");
    else {
        std::string ids;
        for (DWORD id : running)
            ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        report.Line(EOutcome::OK, "server process: " + longImage + " is running (process " + ids + ")");
    }
}

void CheckLogFolder(CReport& report)
{
    const std::string folder = Vardel::LOG_FOLDER_PATH;
    if (!FolderExists(folder)) {
        report.Line(EOutcome::FAIL, "log folder " + folder +
                                        " does not exist; the server does not create it, so every line is lost");
        return;
    }
    // A name outside the log file mask, gone again when closed.
    const std::string probe = folder + "\\vardel-status-" + std::to_string(::GetCurrentProcessId()) + ".tmp";
    Vardel::CUniqueFileHandle file(::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) {
        report.Line(EOutcome::FAIL, "log folder " + folder + " exists, but a file cannot be created in it (Windows error " +
                                        std::to_string(::GetLastError()) + "); lines are lost");
        return;
    }
    file.reset();
    report.Line(EOutcome::OK, "log folder " + folder + " exists and a file can be created in it");
}

void CheckTodaysFile(CReport& report)
{
    const std::string path = DayLogPath(CDate());
    const std::string what = "today's log file " + DisplayPath(path);
    CSharedReader file(path);
    std::uint64_t size = 0;
    if (!file.Size(size)) {
        const DWORD error = file.Error();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            // The log folder's own line has said when the folder is missing.
            if (FolderExists(Vardel::LOG_FOLDER_PATH))
                report.Line(EOutcome::OK, what + " does not exist yet; the day's first event creates it");
            return;
        }
    }
    std::string found;
    if (file.IsOpen()) {
        const std::uint64_t start = file.StartOfLastLines(size, 1);
        // The time stamp, up to the line's first comma, is in its first bytes.
        const std::string last = file.Read(start, static_cast<std::size_t>(std::min<std::uint64_t>(size - start, 128)));
        const std::size_t comma = last.find(',');
        found = ": " + std::to_string(size) + " bytes" +
                (comma == std::string::npos ? std::string(", no complete line") : ", last line at " + last.substr(0, comma));
    }
    DWORD refused = WriteOpenError(path);
    if (refused == ERROR_FILE_NOT_FOUND) // gone since it was read
        refused = 0;
    if (refused)
        report.Line(EOutcome::FAIL, what + found + "; the server cannot open it for writing: " + WriteRefusal(refused));
    else if (!file.IsOpen())
        report.Line(EOutcome::WARN, what + " cannot be read (Windows error " + std::to_string(file.Error()) + ")");
    else
        report.Line(EOutcome::OK, what + found + "; the server can open it for writing");
}

// Plain decimal digits, with an optional '-' first: the only text the
// server reads as the number it shows.
bool IsPlainNumber(const std::string& text)
{
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > digits && text.find_first_not_of("0123456789", digits) == std::string::npos;
}

bool FitsInt32(const std::string& text)
{
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return errno != ERANGE && value >= INT32_MIN && value <= INT32_MAX;
}

void CheckExpiry(CReport& report)
{
    const CSetting s = ReadSetting(Vardel::SETTINGS_KEY, Vardel::EXPIRE_DAYS_VALUE);
    // The server's own reading; only called when the value is there, since
    // it creates the key when absent.
    const std::int32_t days = s.present ? LoadExpireDays() : DEFAULT_EXPIRE_DAYS;
    std::string what = std::string(Vardel::EXPIRE_DAYS_VALUE) + " ";
    if (s.present) {
        const std::string shown = s.type == REG_DWORD ? std::to_string(days) : Quoted(s.text);
        what += "= " + shown + " (" + TypeName(s.type) + ") in " + s.where;
    } else {
        what += "is not set in " + s.where + "; the default applies";
    }
    what += ": keeps " + std::to_string(days) + " day" + (days == 1 ? "" : "s") + " before today";

    std::vector<std::string> expired;
    try {
        CDate cutoff;
        cutoff.SubtractDays(days);
        expired = ExpiredLogFiles(cutoff);
    } catch (const std::exception&) {
    }
    if (expired.empty()) {
        what += "; the next expiry pass would delete nothing";
    } else {
        what += "; the next expiry pass would delete " + std::to_string(expired.size()) + " file" +
                (expired.size() == 1 ? "" : "s") + ":";
        for (std::size_t i = 0; i < expired.size() && i < 3; ++i)
            what += " " + BaseName(expired[i]);
        if (expired.size() > 3)
            what += " and " + std::to_string(expired.size() - 3) + " more";
    }
    if (s.present && s.type != REG_DWORD && !IsPlainNumber(s.text))
        report.Line(EOutcome::WARN, what + "; the text is not plain decimal digits, and the server reads it as " +
                                        std::to_string(days) + " day" + (days == 1 ? "" : "s"));
    else if (s.present && s.type != REG_DWORD && !FitsInt32(s.text))
        report.Line(EOutcome::WARN, what + "; the number is out of range, and the server reads it as " +
                                        std::to_string(days) + " days");
    else if (days < 0)
        report.Line(EOutcome::WARN, what + "; a negative count deletes today's file too, at every pass");
    else
        report.Line(EOutcome::OK, what);
}

// A drive with its root, or a UNC (or \\?\) path: anything else depends
// on the current drive or folder of the process that opens it.
bool IsFullPath(const std::string& path)
{
    const auto separator = [&](std::size_t i) { return i < path.size() && (path[i] == '\\' || path[i] == '/'); };
    return (path.size() > 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && separator(2)) ||
           (separator(0) && separator(1));
}

void CheckAlarmConfiguration(CReport& report)
{
    const CSetting file = ReadSetting(Vardel::ALARM_CONFIG_KEY, Vardel::ALARM_FILE_VALUE);
    const std::string what = std::string("alarm file: ") + Vardel::ALARM_FILE_VALUE + " ";
    const std::string path = AlarmFilePath(file.text, file.type);
    if (!file.present)
        report.Line(EOutcome::OK, what + "is not set in " + file.where + "; alarms are not forwarded");
    else if (path.empty())
        report.Line(EOutcome::FAIL, what + "in " + file.where + " is " + TypeName(file.type) +
                                        (file.type == REG_SZ || file.type == REG_EXPAND_SZ ? " but empty" : ", not text") +
                                        "; every alarm is dropped");
    else if (!IsFullPath(path))
        report.Line(EOutcome::FAIL, what + "= " + Quoted(path) + " in " + file.where +
                                        " is not a full path (a drive and folder, or \\\\server\\share): the server "
                                        "would open it in whatever folder COM starts it in, where the monitoring product "
                                        "does not look; no alarm record reaches it");
    else if (FolderExists(path) || path.back() == '\\' || path.back() == '/')
        report.Line(EOutcome::FAIL, what + "= " + Quoted(path) + " in " + file.where +
                                        " names a folder, not a file: no alarm record can be written there");
    else if (!FolderExists(FolderOf(path)))
        report.Line(EOutcome::FAIL, what + "= " + Quoted(path) + " in " + file.where + ", but its folder " +
                                        FolderOf(path) + " does not exist; every alarm is dropped");
    else
        report.Line(EOutcome::OK, what + "= " + Quoted(path) + " in " + file.where + "; its folder exists");

    const CSetting instrument = ReadSetting(Vardel::INSTRUMENT_KEY, Vardel::INSTRUMENT_VALUE);
    if (instrument.present)
        report.Line(EOutcome::OK, std::string("instrument name: ") + Vardel::INSTRUMENT_VALUE + " = " +
                                      Quoted(instrument.text) + " in " + instrument.where);
    else
        report.Line(EOutcome::OK, std::string("instrument name: ") + Vardel::INSTRUMENT_VALUE + " is not set in " +
                                      instrument.where + "; alarm records carry (#)");
}

void CheckAlarmMutex(CReport& report)
{
    const std::string what = std::string("alarm-file mutex ") + Quoted(Vardel::ALARM_MUTEX_NAME) + ": ";
    Vardel::CUniqueHandle mutex(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, Vardel::ALARM_MUTEX_NAME));
    if (!mutex) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            report.Line(EOutcome::OK, what + "does not exist now, so nobody holds it");
        else
            report.Line(EOutcome::WARN, what + "cannot be opened (Windows error " + std::to_string(error) + ")");
        return;
    }
    // Taken for an instant at most: a writer in the middle of one record
    // lets go well within the bound.
    const Vardel::CHeldMutex held(std::move(mutex), MUTEX_CHECK_MS);
    switch (held.WaitResult()) {
    case WAIT_OBJECT_0:
        report.Line(EOutcome::OK, what + "free");
        break;
    case WAIT_ABANDONED:
        report.Line(EOutcome::WARN, what + "was abandoned by a process that ended while holding it (cleared now)");
        break;
    case WAIT_TIMEOUT:
        report.Line(EOutcome::WARN, what + "held by another process for over " + std::to_string(MUTEX_CHECK_MS) +
                                        " ms; all logging waits while it is held");
        break;
    default:
        report.Line(EOutcome::WARN, what + "cannot be waited for (Windows error " + std::to_string(::GetLastError()) + ")");
    }
}

void Probe(CReport& report)
{
    if (report.Failed()) {
        report.Line(EOutcome::FAIL, "probe: not tried, a check above failed");
        return;
    }
    const Vardel::CComApartment apartment(COINIT_MULTITHREADED);
    Vardel::CComOwner<IVardelEventLog> log;
    HRESULT hr = FAILED(apartment.Result()) ? apartment.Result() : CreateLogObject(log);
    const std::string message = "vardel-log status probe " + std::to_string(::GetCurrentProcessId()) + "." +
                                std::to_string(::GetTickCount());
    const std::string path = DayLogPath(CDate());
    std::uint64_t before = 0;
    CSharedReader(path).Size(before);
    const ULONGLONG start = ::GetTickCount64();
    if (SUCCEEDED(hr)) {
        const Vardel::CBstrOwner source = Vardel::BstrFromText("vardel-log");
        const Vardel::CBstrOwner text = Vardel::BstrFromText(message);
        hr = log.get()->LogEvent(static_cast<eTType>(1), 3, source.get(), static_cast<unsigned long>(std::time(nullptr)),
                                 text.get());
    }
    if (FAILED(hr)) {
        report.Line(EOutcome::FAIL, "probe: the event could not be logged: " + Vardel::HResultCode(hr));
        return;
    }
    // The line lands in the file of the day it is written, past what was there.
    for (;;) {
        const std::string file = DayLogPath(CDate());
        if (FileContains(file, file == path ? before : 0, "\"" + message + "\"")) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.2f", (::GetTickCount64() - start) / 1000.0);
            report.Line(EOutcome::OK, "probe: " + Quoted(message) + " reached " + DisplayPath(file) + " after " +
                                          seconds + " s");
            return;
        }
        if (::GetTickCount64() - start > PROBE_LIMIT_MS) {
            report.Line(EOutcome::FAIL, "probe: " + Quoted(message) + " was accepted but did not reach " +
                                            DisplayPath(file) + " within " + std::to_string(PROBE_LIMIT_MS / 1000) + " s");
            return;
        }
        ::Sleep(PROBE_POLL_MS);
    }
}

} // namespace

int RunStatus(const CStatusOptions& options)
{
    CReport report;
    CheckRegistration(report);
    CheckHost(report);
    CheckLogFolder(report);
    CheckTodaysFile(report);
    CheckExpiry(report);
    CheckAlarmConfiguration(report);
    CheckAlarmMutex(report);
    for (const auto& [level, text] : Vardel::Shipper::DescribeShipper())
        report.Line(static_cast<EOutcome>(level), text);
    if (options.probe)
        Probe(report);
    return report.Failed() ? 1 : 0;
}

} // namespace VardelTools
