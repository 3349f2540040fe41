// VardelShipper.exe: sends the log folder's day files to the collector.
//   VardelShipper.exe                 runs as the service (started by the service manager)
//   VardelShipper.exe --install       installs the service; --uninstall stops and removes it
//   VardelShipper.exe --console --collector HOST:PORT [--folder PATH] [--state PATH] [--host NAME]
//                     (--ca CA.pem --cert PC.pfx | --plain)
//                                     prints what it does and runs until Ctrl+C or Ctrl+Break

#include "FixedNames.h"
#include "Handles.h"
#include "Shipper.h"
#include "ShipperService.h"

#include <windows.h>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace Vardel::Shipper;

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(g_stop);
    return TRUE;
}

void SayOnConsole(const std::string& text)
{
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    std::printf("%02u:%02u:%02u shipper: %s\n", t.wHour, t.wMinute, t.wSecond, text.c_str());
    std::fflush(stdout);
}

int Usage(const char* why)
{
    std::fprintf(stderr,
                 "VardelShipper: %s\n"
                 "usage: VardelShipper.exe --console --collector HOST:PORT [--folder PATH] [--state PATH]\n"
                 "                         [--host NAME] (--ca CA.pem --cert PC.pfx | --plain)\n"
                 "       VardelShipper.exe --install | --uninstall\n"
                 "       VardelShipper.exe (as the service VardelShipper)\n",
                 why);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        if (RunAsService())
            return 0;
        return Usage("not started by the service manager");
    }
    if (argc == 2 && (std::strcmp(argv[1], "--install") == 0 || std::strcmp(argv[1], "--uninstall") == 0)) {
        std::string why;
        const bool install = std::strcmp(argv[1], "--install") == 0;
        if (install ? InstallService(why) : UninstallService(why)) {
            std::printf("VardelShipper: service %s\n", install ? "installed" : "removed");
            return 0;
        }
        std::fprintf(stderr, "VardelShipper: %s\n", why.c_str());
        return 1;
    }
    CSettings settings;
    settings.folder = Vardel::LOG_FOLDER_PATH;
    settings.statePath = std::string(Vardel::LOG_FOLDER_PATH) + "\\" + Vardel::SHIPPER_STATE_FILE;
    bool console = false;
    std::string collector;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--console")
            console = true;
        else if (arg == "--plain")
            settings.plain = true;
        else if (arg == "--collector" && hasValue)
            collector = argv[++i];
        else if (arg == "--folder" && hasValue)
            settings.folder = argv[++i];
        else if (arg == "--state" && hasValue)
            settings.statePath = argv[++i];
        else if (arg == "--host" && hasValue)
            settings.host = argv[++i];
        else if (arg == "--ca" && hasValue)
            settings.caPath = argv[++i];
        else if (arg == "--cert" && hasValue)
            settings.certPath = argv[++i];
        else
            return Usage(("unknown or incomplete option " + arg).c_str());
    }
    if (!console)
        return Usage("options are for --console");
    if (!SplitCollector(collector, settings.collectorHost, settings.collectorPort))
        return Usage("--collector wants HOST:PORT");
    if (!settings.plain && (settings.caPath.empty() || settings.certPath.empty()))
        return Usage("RELP over TLS needs --ca and --cert (or --plain for a trial)");
    Vardel::CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    g_stop = stop.get();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return Run(settings, stop.get(), SayOnConsole);
}
