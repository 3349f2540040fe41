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
// serves nobody until the monitor ends it. factory keeps the server's own
// reference, so that the factory's end (which waits for the log to drain)
// comes after the revocation, outside the platform's class-table lock.
DWORD RegisterClassObject(Vardel::CComOwner<IClassFactory>& factory)
{
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

// Pauses, answering COM calls (a late client's release) meanwhile.
void ServeCallsFor(DWORD milliseconds)
{
    Vardel::CUniqueHandle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD index = 0;
    HANDLE handle = never.get();
    if (!never || CoWaitForMultipleHandles(COWAIT_DISPATCH_CALLS, milliseconds, 1, &handle, &index) !=
                      RPC_S_CALLPENDING)
        Sleep(milliseconds);
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

    Vardel::CComOwner<IClassFactory> factory;
    const DWORD cookie = RegisterClassObject(factory);
    RunMessageLoop();
    if (cookie)
        CoRevokeClassObject(cookie);
    // Unless a client still holds the factory, this is its last reference:
    // clients are cut off and the service drains, answering calls meanwhile.
    factory.reset();
    ServeCallsFor(END_PAUSE_MS);
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
