#include "Diagnostics.h"

#include "Status.h"
#include "Tail.h"

#include <windows.h>
#include <cerrno>
#include <cstdio>
#include <cwchar>

namespace VardelTools {

const char* const DIAGNOSTICS_USAGE =
    "operator commands:\n"
    "  vardel-log --status [--probe]\n"
    "      one line per check of what the server needs (registration, host product, log folder,\n"
    "      today's log file, ExpireLogsAfter, alarm file, alarm-file mutex), OK, WARN or FAIL\n"
    "      first; exit code 1 when any FAILs. --probe also logs one event and waits for its line.\n"
    "  vardel-log --tail [N] [--follow]\n"
    "      the last N lines of today's log file (default 10) as they are on disk; --follow goes\n"
    "      on printing appended lines, into the next day's file after midnight, until interrupted.\n";

namespace {

int Usage(const char* problem)
{
    std::fprintf(stderr, "vardel-log: %s\n%s", problem, DIAGNOSTICS_USAGE);
    return 2;
}

std::string Narrow(const wchar_t* text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], n, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

bool ParseCount(const wchar_t* text, unsigned long& count)
{
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = std::wcstoull(text, &end, 10);
    if (!*text || *end || errno == ERANGE || text[0] == L'-' || value > 1000000000ULL)
        return false;
    count = static_cast<unsigned long>(value);
    return true;
}

} // namespace

bool IsDiagnosticsCommand(int argc, wchar_t** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--")
            return false;
        if (arg == L"--status" || arg == L"--tail" || arg == L"--follow")
            return true;
    }
    return false;
}

int RunDiagnostics(int argc, wchar_t** argv)
{
    bool status = false, tail = false;
    CStatusOptions statusOptions;
    CTailOptions tailOptions;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--status") {
            status = true;
        } else if (arg == L"--probe") {
            statusOptions.probe = true;
        } else if (arg == L"--tail") {
            tail = true;
            if (i + 1 < argc && argv[i + 1][0] != L'-' && !ParseCount(argv[++i], tailOptions.lines))
                return Usage("--tail takes a number of lines from 0 to 1000000000");
        } else if (arg == L"--follow") {
            tail = true;
            tailOptions.follow = true;
        } else if (arg == L"--day-file" && i + 1 < argc) {
            // Not in the help: the day comes from a file instead of the clock.
            tailOptions.dayFile = Narrow(argv[++i]);
        } else {
            return Usage(("unknown or misplaced argument " + Narrow(argv[i])).c_str());
        }
    }
    if (status == tail)
        return Usage("give either --status or --tail");
    if (statusOptions.probe && !status)
        return Usage("--probe goes with --status");
    if (!tailOptions.dayFile.empty() && !tail)
        return Usage("--day-file goes with --tail");
    return status ? RunStatus(statusOptions) : RunTail(tailOptions);
}

} // namespace VardelTools
