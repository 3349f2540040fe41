#include "ShipperService.h"

#include "FixedNames.h"
#include "Handles.h"
#include "RegistryText.h"

#include <windows.h>
#include <cstdio>

namespace Vardel::Shipper {

namespace {

constexpr DWORD STOP_WAIT_MS = 15000;      // removal waits this long for the service to stop
constexpr DWORD RESET_FAILURES_S = 86400;  // a day without failure starts the restart delays again

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
HANDLE g_stop = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR)
{
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ++g_status.dwCheckPoint;
    ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING);
        ::SetEvent(g_stop);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// The registry value as text: a REG_DWORD as its decimal number.
std::string ReadValue(const char* name)
{
    DWORD type = REG_NONE;
    const std::string text = ReadSettingText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, name, &type);
    if (type != REG_DWORD)
        return text;
    CUniqueHKey key;
    DWORD number = 0, size = sizeof number;
    const REGSAM view = ChooseRegistryView(HKEY_LOCAL_MACHINE, SETTINGS_KEY, name).view;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS ||
        ::RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size) !=
            ERROR_SUCCESS)
        return "";
    return std::to_string(number);
}

// Restarts after a failure: 5 s, 10 s, then every minute; also when it
// stops with an error, not only when it crashes. FALSE: GetLastError is set.
BOOL ConfigureRestarts(SC_HANDLE service)
{
    SC_ACTION restart[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA actions{RESET_FAILURES_S, nullptr, nullptr, 3, restart};
    SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
    if (!::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions))
        return FALSE;
    ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
    return TRUE;
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    g_statusHandle = ::RegisterServiceCtrlHandlerExA(SHIPPER_SERVICE_NAME, OnControl, nullptr);
    if (!g_statusHandle)
        return;
    Report(SERVICE_START_PENDING);

    CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_stop = stop.get();
    // The folder may not be there before the server's first line; the
    // places and what the service says live there.
    const std::string folder = LOG_FOLDER_PATH;
    ::CreateDirectoryA(folder.substr(0, folder.rfind('\\')).c_str(), nullptr);
    ::CreateDirectoryA(folder.c_str(), nullptr);
    // What the service says goes to a file of its own beside its places,
    // begun afresh at each start.
    const std::string logPath = std::string(LOG_FOLDER_PATH) + "\\" + SHIPPER_LOG_FILE;
    CUniqueFile log(std::fopen(logPath.c_str(), "w"));
    const auto say = [&log](const std::string& text) {
        if (!log)
            return;
        SYSTEMTIME t;
        ::GetLocalTime(&t);
        std::fprintf(log.get(), "%04u-%02u-%02u %02u:%02u:%02u %s\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                     t.wSecond, text.c_str());
        std::fflush(log.get());
    };
    CSettings settings;
    std::string why;
    if (!stop || !ServiceSettings(ReadValue, settings, why)) {
        say("cannot start: " + why);
        Report(SERVICE_STOPPED, ERROR_BAD_CONFIGURATION);
        return;
    }
    Report(SERVICE_RUNNING);
    {
        // The packages cannot set restarts (wixl has no failure actions):
        // the service sets its own at each start, once it runs (while it
        // starts, the service manager may be busy starting it and others).
        CUniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        CUniqueServiceHandle self(
            manager ? ::OpenServiceA(manager.get(), SHIPPER_SERVICE_NAME, SERVICE_CHANGE_CONFIG) : nullptr);
        if (self)
            ConfigureRestarts(self.get());
    }
    const int result = Run(settings, stop.get(), say);
    // A failed run ends with an error, which the failure actions answer.
    Report(SERVICE_STOPPED, result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

} // namespace

bool ServiceSettings(const std::function<std::string(const char* value)>& read, CSettings& settings,
                     std::string& why)
{
    settings.folder = LOG_FOLDER_PATH;
    settings.statePath = std::string(LOG_FOLDER_PATH) + "\\" + SHIPPER_STATE_FILE;
    const std::string collector = read(SHIPPER_COLLECTOR_VALUE);
    if (!SplitCollector(collector, settings.collectorHost, settings.collectorPort)) {
        why = std::string(SHIPPER_COLLECTOR_VALUE) + " is \"" + collector + "\", not HOST:PORT";
        return false;
    }
    settings.host = read(SHIPPER_HOST_VALUE);
    settings.plain = read(SHIPPER_PLAIN_VALUE) == "1";
    settings.caPath = read(SHIPPER_CA_VALUE);
    settings.certPath = read(SHIPPER_CERTIFICATE_VALUE);
    if (!settings.plain && (settings.caPath.empty() || settings.certPath.empty())) {
        why = std::string("RELP over TLS needs ") + SHIPPER_CA_VALUE + " (the site CA's PEM file) and " +
              SHIPPER_CERTIFICATE_VALUE + " (this PC's PKCS#12 file); or set " + SHIPPER_PLAIN_VALUE +
              " to 1 for plain RELP";
        return false;
    }
    return true;
}

bool RunAsService()
{
    char name[64];
    std::snprintf(name, sizeof name, "%s", SHIPPER_SERVICE_NAME);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherA(table) != FALSE;
}

bool InstallService(std::string& why)
{
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    CUniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (length == 0 || length == MAX_PATH || !manager) {
        why = "cannot open the service manager (Windows error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    const std::string command = "\"" + std::string(path, length) + "\"";
    CUniqueServiceHandle service(::CreateServiceA(manager.get(), SHIPPER_SERVICE_NAME, SHIPPER_DISPLAY_NAME,
                                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                                  nullptr, nullptr));
    if (!service) {
        why = "cannot create the service (Windows error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    std::string description = SHIPPER_DESCRIPTION;
    SERVICE_DESCRIPTIONA text{&description[0]};
    ::ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
    if (!ConfigureRestarts(service.get())) {
        why = "cannot set the service's restarts (Windows error " + std::to_string(::GetLastError()) + ")";
        ::DeleteService(service.get());
        return false;
    }
    return true;
}

bool UninstallService(std::string& why)
{
    CUniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    CUniqueServiceHandle service(
        manager ? ::OpenServiceA(manager.get(), SHIPPER_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                : nullptr);
    if (!service) {
        why = "cannot open the service (Windows error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    SERVICE_STATUS status{};
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        // The service manager gives no event for a state: asked, bounded.
        for (DWORD waited = 0; status.dwCurrentState != SERVICE_STOPPED && waited < STOP_WAIT_MS; waited += 100) {
            ::Sleep(100);
            if (!::QueryServiceStatus(service.get(), &status))
                break;
        }
    }
    if (!::DeleteService(service.get())) {
        why = "cannot delete the service (Windows error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    return true;
}

} // namespace Vardel::Shipper
