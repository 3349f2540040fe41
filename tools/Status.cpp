#include "Status.h"

#include "BuildSettings.h"
#include "FixedNames.h"
#include "Handles.h"
#include "HostEvent.h"
#include "LogFolderScan.h"
#include "Reachability.h"
#include "Registry.h"
#include "RegistryText.h"
#include "Tail.h"
#include "TrevalonIAlarm.h"
#include "Win32Error.h"

#include <tlhelp32.h>
#include <cctype>
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

void CheckRegistration(CReport& report)
{
    struct {
        REGSAM view;
        const char* clients;
    } const views[] = {{KEY_WOW64_64KEY, "64-bit"}, {KEY_WOW64_32KEY, "32-bit"}};
    bool anyUsable = false;
    std::vector<std::pair<std::string, CRegistrationView>> found;
    for (const auto& v : views) {
        found.emplace_back(v.clients, ReadRegistration(v.view));
        anyUsable = anyUsable || found.back().second.Usable();
    }
    for (const auto& f : found) {
        const CRegistrationView& r = f.second;
        const std::string what = "registration for " + f.first + " clients: ";
        if (r.Usable())
            report.Line(EOutcome::OK, what + Vardel::PROGID + " " + Vardel::GuidText(CLSID_VardelEventLog) +
                                          ", LocalServer32 " + r.serverFile + " exists, type library " +
                                          r.typeLibFile + " and interface registered");
        else
            report.Line(anyUsable ? EOutcome::WARN : EOutcome::FAIL,
                        what + r.Missing() +
                            (anyUsable ? std::string("; these clients cannot create the object")
                                       : std::string("; every client is refused: run VardelEventLogger.exe /RegServer")));
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
    const std::string registered = ReadRegistration(KEY_WOW64_64KEY).serverFile;
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
    const std::string shown = DisplayPath(path);
    std::string bytes;
    std::uint64_t size = 0;
    DWORD error = 0;
    if (!ReadFrom(path, 0, bytes, &size, &error)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            report.Line(EOutcome::OK, "today's log file " + shown + " does not exist yet; the day's first event creates it");
        else
            report.Line(EOutcome::WARN, "today's log file " + shown + " cannot be read (Windows error " +
                                            std::to_string(error) + ")");
        return;
    }
    std::string last = bytes.substr(static_cast<std::size_t>(StartOfLastLines(path, size, 1)));
    const std::size_t comma = last.find(',');
    const std::string time = comma == std::string::npos ? std::string() : last.substr(0, comma);
    report.Line(EOutcome::OK, "today's log file " + shown + ": " + std::to_string(size) + " bytes" +
                                  (time.empty() ? std::string(", no complete line") : ", last line at " + time));
}

// Whether atol would find digits: blanks, an optional sign, then a digit.
bool LooksNumeric(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t\r\n\v\f");
    if (i != std::string::npos && (text[i] == '+' || text[i] == '-'))
        ++i;
    return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
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
    if (s.present && s.type != REG_DWORD && !LooksNumeric(s.text))
        report.Line(EOutcome::WARN, what + "; the text is not a number, so it counts as 0 days");
    else if (days < 0)
        report.Line(EOutcome::WARN, what + "; a negative count deletes today's file too, at every pass");
    else
        report.Line(EOutcome::OK, what);
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
    std::string ignored;
    ReadFrom(path, 0, ignored, &before, nullptr);
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
        std::string appended;
        std::string file = DayLogPath(CDate());
        if (ReadFrom(file, file == path ? before : 0, appended, nullptr, nullptr) &&
            appended.find("\"" + message + "\"") != std::string::npos) {
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
    if (options.probe)
        Probe(report);
    return report.Failed() ? 1 : 0;
}

} // namespace VardelTools
