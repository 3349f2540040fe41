// notz: runs the rest of its command line with TZ removed from the Windows
// environment. Wine takes its zone from the Unix TZ, but msvcrt would parse a
// TZ it sees itself with US daylight-saving rules; without it msvcrt asks
// the system, which is what a real Windows process does.
#include "Handles.h"

int main()
{
    SetEnvironmentVariableW(L"TZ", nullptr);

    // Skip our own program name as the Windows command-line rules quote it.
    LPWSTR rest = GetCommandLineW();
    bool quoted = false;
    while (*rest && (quoted || (*rest != L' ' && *rest != L'\t'))) {
        if (*rest == L'"')
            quoted = !quoted;
        ++rest;
    }
    while (*rest == L' ' || *rest == L'\t')
        ++rest;
    if (!*rest)
        return 127;

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, rest, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 127;
    Vardel::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}
