#include "ServerProcess.h"

#include "ClassFactory.h"
#include "CommandLine.h"
#include "ComSupport.h"
#include "Monitor.h"
#include "Registration.h"

#include <objbase.h>

namespace VardelServer {

namespace {

constexpr DWORD END_PAUSE_MS = 1000; // lets other threads finish before COM goes

// Registers the class object; 0 when that failed, and the server then
// serves nobody until the monitor ends it.
DWORD RegisterClassObject()
{
    // Our reference goes at the end: the platform holds the factory now, or nobody does.
    Vardel::CComOwner<IClassFactory> factory;
    try {
        factory.reset(new CVardelEventLogFactory());
    } catch (...) {
        return 0;
    }
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(CLSID_VardelEventLog, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &cookie)))
        cookie = 0;
    return cookie;
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
}

int Serve()
{
    // The monitor may post its quit at once: the queue must exist before.
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    StartMonitorThread(GetCurrentThreadId()); // without it, the server runs until ended from outside

    const DWORD cookie = RegisterClassObject();
    RunMessageLoop();
    if (cookie)
        CoRevokeClassObject(cookie); // the last factory reference goes: clients cut off, service stopped
    Sleep(END_PAUSE_MS);
    return 0;
}

} // namespace

int RunServerProcess(HINSTANCE instance)
{
    const char* commandLine = GetCommandLineA();
    if (const HRESULT com = CoInitialize(nullptr); FAILED(com))
        return static_cast<int>(com); // nothing can be served or registered without COM

    int exitCode = 0;
    switch (ActionFromCommandLine(commandLine)) {
    case CServerAction::Register:
        exitCode = static_cast<int>(RegisterServer(instance));
        break;
    case CServerAction::Unregister:
        exitCode = static_cast<int>(UnregisterServer(instance));
        break;
    case CServerAction::Run:
        exitCode = Serve();
        break;
    }

    CoUninitialize();
    return exitCode;
}

} // namespace VardelServer
