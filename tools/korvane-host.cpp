// korvane-host: a stand-in for the Korvane host product. While it runs it
// keeps the host event (Vardel::HOST_EVENT_NAME), whose
// existence is what keeps a VardelEventLogger server alive.
//
//   korvane-host [--hold] [--seconds N]  hold the event until stopped (or N seconds pass)
//   korvane-host --start [--seconds N]   start a holder in the background; returns once the event exists
//   korvane-host --stop                  stop the holder; returns once it has let go of the event
//   korvane-host --status                exit code 0 if the event exists, else 1
//
// Exit codes: 0 done, 1 failed (message on stderr), 2 bad arguments.
#include <windows.h>

#include "HostEvent.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Vardel::HOST_EVENT_NAME;
using Vardel::HostEventExists;
const char* const STOP_EVENT = "VardelKorvaneHost.Stop";
const char* const HOLDER_MUTEX = "VardelKorvaneHost.Holder"; // owned by the holder while it runs
constexpr DWORD START_STOP_LIMIT_MS = 30000;

using CHandle = Vardel::CUniqueHandle;

int Fail(const std::string& what, DWORD error)
{
    std::fprintf(stderr, "korvane-host: %s (Windows error %lu)\n", what.c_str(), static_cast<unsigned long>(error));
    return 1;
}

int Usage(const char* problem)
{
    std::fprintf(stderr,
                 "korvane-host: %s\n"
                 "usage: korvane-host [--hold] [--seconds N]   hold the host event until stopped\n"
                 "       korvane-host --start [--seconds N]    hold it in the background\n"
                 "       korvane-host --stop                   stop the holder\n"
                 "       korvane-host --status                 0 if the host event exists\n",
                 problem);
    return 2;
}

// readyEvent: set once the host event exists, for --start to return.
int Hold(DWORD seconds, const char* readyEvent)
{
    CHandle holder(CreateMutexA(nullptr, TRUE, HOLDER_MUTEX));
    if (!holder)
        return Fail("cannot create the holder mutex", GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return Fail("a host stand-in is already running", ERROR_ALREADY_EXISTS);
    // Given up last, after the host event is closed: --stop waits for this.
    const Vardel::CMutexOwnership holding(holder.get());
    CHandle stop(CreateEventA(nullptr, TRUE, FALSE, STOP_EVENT));
    if (!stop)
        return Fail("cannot create the stop event", GetLastError());
    ResetEvent(stop.get());
    {
        CHandle host(CreateEventA(nullptr, TRUE, FALSE, HOST_EVENT_NAME));
        if (!host)
            return Fail("cannot create the host event", GetLastError());
        if (readyEvent) {
            CHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent));
            if (ready)
                SetEvent(ready.get());
        }
        WaitForSingleObject(stop.get(), seconds ? seconds * 1000 : INFINITE);
    }
    return 0;
}

int Start(DWORD seconds)
{
    {
        CHandle running(OpenMutexA(SYNCHRONIZE, FALSE, HOLDER_MUTEX));
        if (running)
            return Fail("a host stand-in is already running", ERROR_ALREADY_EXISTS);
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string ready = "VardelKorvaneHost.Ready." + std::to_string(GetCurrentProcessId());
    CHandle readyEvent(CreateEventA(nullptr, TRUE, FALSE, ready.c_str()));
    if (!readyEvent)
        return Fail("cannot create the ready event", GetLastError());

    std::string command = "\"" + std::string(self) + "\" --hold --ready " + ready;
    if (seconds)
        command += " --seconds " + std::to_string(seconds);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
        return Fail("cannot start the holder", GetLastError());
    CHandle process(pi.hProcess), thread(pi.hThread);
    HANDLE waits[] = {readyEvent.get(), process.get()};
    switch (WaitForMultipleObjects(2, waits, FALSE, START_STOP_LIMIT_MS)) {
    case WAIT_OBJECT_0:
        std::printf("korvane-host: holding \"%s\" (process %lu)\n", HOST_EVENT_NAME, static_cast<unsigned long>(pi.dwProcessId));
        return 0;
    case WAIT_OBJECT_0 + 1:
        return Fail("the holder ended before it held the event", ERROR_PROCESS_ABORTED);
    default:
        TerminateProcess(process.get(), 1);
        return Fail("the holder did not get ready in time", ERROR_TIMEOUT);
    }
}

int Stop()
{
    CHandle stop(OpenEventA(EVENT_MODIFY_STATE, FALSE, STOP_EVENT));
    CHandle holder(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, HOLDER_MUTEX));
    if (!stop || !holder)
        return Fail("no host stand-in is running", ERROR_FILE_NOT_FOUND);
    SetEvent(stop.get());
    // The holder gives the mutex up once it has closed the host event.
    DWORD wait = WaitForSingleObject(holder.get(), START_STOP_LIMIT_MS);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return Fail("the holder did not stop in time", ERROR_TIMEOUT);
    const Vardel::CMutexOwnership taken(holder.get());
    return 0;
}

bool ParseSeconds(const char* text, DWORD& seconds)
{
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *end || value > 4000000)
        return false;
    seconds = static_cast<DWORD>(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    enum { HOLD, START, STOP, STATUS } mode = HOLD;
    DWORD seconds = 0;
    const char* ready = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--hold")
            mode = HOLD;
        else if (arg == "--start")
            mode = START;
        else if (arg == "--stop")
            mode = STOP;
        else if (arg == "--status")
            mode = STATUS;
        else if (arg == "--seconds" && i + 1 < argc) {
            if (!ParseSeconds(argv[++i], seconds))
                return Usage("--seconds needs a whole number of seconds");
        } else if (arg == "--ready" && i + 1 < argc)
            ready = argv[++i];
        else if (arg == "-h" || arg == "--help")
            return Usage("a stand-in for the Korvane host product");
        else
            return Usage(("unknown argument " + arg).c_str());
    }
    switch (mode) {
    case START:
        return Start(seconds);
    case STOP:
        return Stop();
    case STATUS:
        return HostEventExists() ? 0 : 1;
    case HOLD:
        break;
    }
    return Hold(seconds, ready);
}
