// vardel-log: reports events to the VardelEventLogger server from the
// command line or from a script.
//
// Exit codes: 0 every event accepted, 1 the server or a call failed,
// 2 bad arguments. Every failure is explained on stderr.
#include "BuildSettings.h"
#include "ComSupport.h"
#include "Diagnostics.h"
#include "FixedNames.h"
#include "HostEvent.h"
#include "Reachability.h"
#include "Win32Error.h"
#include "VardelEventLogger.h"

#include <windows.h>
#include <shellapi.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char* const USAGE =
    "usage: vardel-log [options] [--] [message words...]\n"
    "       vardel-log [options] --stdin      one event per line of standard input\n"
    "options:\n"
    "  -t, --type T      INFORMATION, WARNING, ERROR, FATAL_ERROR or a number (default INFORMATION)\n"
    "  -l, --level L     TRACE, DEBUG, RELEASE or a number (default RELEASE)\n"
    "  -s, --source S    the event's source (default vardel-log)\n"
    "      --time SECS   seconds since 1970-01-01 00:00:00 UTC (default: now)\n"
    "  -m, --message M   the message (else the remaining words, joined by blanks)\n"
    "  -i, --stdin       read the messages from standard input, in the ANSI code page\n"
    "The names stand for the codes the log file shows: types 1 to 4, levels 1 to 3.\n"
    "Types ERROR and FATAL_ERROR also reach the alarm file; level 4 stays out of the log.\n";

struct COptions {
    long type = 1;
    long level = 3;
    std::wstring source = L"vardel-log";
    bool haveTime = false;
    unsigned long time = 0;
    bool haveMessage = false;
    std::wstring message;
    bool fromStdin = false;
};

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "vardel-log: %s\n%s%s", problem.c_str(), USAGE, VardelTools::DIAGNOSTICS_USAGE);
    return 2;
}

std::string Narrow(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

std::string HResultText(HRESULT hr)
{
    std::string text = Vardel::HResultCode(hr);
    Vardel::CLocalOwner<char> message;
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(message.put()), 0, nullptr) &&
        message) {
        std::string m = message.get();
        while (!m.empty() && (m.back() == '\n' || m.back() == '\r' || m.back() == ' ' || m.back() == '.'))
            m.pop_back();
        if (!m.empty())
            text += " (" + m + ")";
    }
    if (hr == REGDB_E_CLASSNOTREG)
        text += ": the server is not registered (run VardelEventLogger.exe /RegServer)";
    return text;
}

bool ParseNumber(const std::wstring& text, long long low, long long high, long long& value)
{
    if (text.empty())
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    long long v = std::wcstoll(text.c_str(), &end, 0);
    if (*end || errno == ERANGE || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool ParseCode(const std::wstring& text, const wchar_t* const names[], size_t count, long& code)
{
    for (size_t i = 0; i < count; ++i)
        if (_wcsicmp(text.c_str(), names[i]) == 0) {
            code = static_cast<long>(i + 1);
            return true;
        }
    long long v = 0;
    if (!ParseNumber(text, INT32_MIN, INT32_MAX, v))
        return false;
    code = static_cast<long>(v);
    return true;
}

// Returns 0 or the exit code of a usage error.
int ParseArguments(int argc, wchar_t** argv, COptions& options)
{
    static const wchar_t* const TYPES[] = {L"INFORMATION", L"WARNING", L"ERROR", L"FATAL_ERROR"};
    static const wchar_t* const LEVELS[] = {L"TRACE", L"DEBUG", L"RELEASE"};
    std::vector<std::wstring> words;
    bool onlyWords = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::wstring v;
        if (onlyWords || arg.empty() || arg[0] != L'-' || arg == L"-") {
            words.push_back(arg);
        } else if (arg == L"--") {
            onlyWords = true;
        } else if (arg == L"-t" || arg == L"--type") {
            if (!value(v) || !ParseCode(v, TYPES, 4, options.type))
                return Usage("--type needs INFORMATION, WARNING, ERROR, FATAL_ERROR or a 32-bit number");
        } else if (arg == L"-l" || arg == L"--level") {
            if (!value(v) || !ParseCode(v, LEVELS, 3, options.level))
                return Usage("--level needs TRACE, DEBUG, RELEASE or a 32-bit number");
        } else if (arg == L"-s" || arg == L"--source") {
            if (!value(options.source))
                return Usage("--source needs a value");
        } else if (arg == L"--time") {
            long long t = 0;
            if (!value(v) || !ParseNumber(v, 0, 0xFFFFFFFFLL, t))
                return Usage("--time needs seconds since 1970 from 0 to 4294967295");
            options.time = static_cast<unsigned long>(t);
            options.haveTime = true;
        } else if (arg == L"-m" || arg == L"--message") {
            if (!value(options.message))
                return Usage("--message needs a value");
            options.haveMessage = true;
        } else if (arg == L"-i" || arg == L"--stdin") {
            options.fromStdin = true;
        } else if (arg == L"-h" || arg == L"--help") {
            std::fputs(USAGE, stdout);
            std::fputs(VardelTools::DIAGNOSTICS_USAGE, stdout);
            return -1;
        } else {
            return Usage("unknown option " + Narrow(arg));
        }
    }
    if (!words.empty()) {
        if (options.haveMessage)
            return Usage("give the message either with --message or as words, not both");
        for (size_t i = 0; i < words.size(); ++i)
            options.message += (i ? L" " : L"") + words[i];
        options.haveMessage = true;
    }
    if (options.fromStdin && options.haveMessage)
        return Usage("--stdin reads the messages; give none on the command line");
    if (!options.fromStdin && !options.haveMessage)
        return Usage("no message given");
    return 0;
}

// Every line of standard input, without its line end.
bool ReadStdinLines(std::vector<std::wstring>& lines)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    // End of input: a read of nothing, or a pipe whose writer has gone.
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        std::string line = bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        int n = MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
        std::wstring wide(n > 0 ? n : 0, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), &wide[0], n);
        lines.push_back(wide);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

int Run(const COptions& options)
{
    std::vector<std::wstring> messages;
    if (options.fromStdin) {
        if (!ReadStdinLines(messages)) {
            std::fprintf(stderr, "vardel-log: cannot read standard input\n");
            return 1;
        }
    } else {
        messages.push_back(options.message);
    }

    const Vardel::CComApartment apartment(COINIT_MULTITHREADED);
    if (FAILED(apartment.Result())) {
        std::fprintf(stderr, "vardel-log: cannot initialise COM: %s\n", HResultText(apartment.Result()).c_str());
        return 1;
    }
    // Tried first: COM may find the class where a check of the keys would
    // not. Without the host's event, though, a server ends as soon as it
    // starts and COM would wait about 30 s before failing, so it is not asked.
    const bool hostRunning = Vardel::HostEventExists();
    Vardel::CComOwner<IVardelEventLog> log;
    HRESULT hr = hostRunning ? VardelTools::CreateLogObject(log) : E_ABORT;
    if (FAILED(hr)) {
        const std::string why = VardelTools::WhyTheServerCannotBeReached();
        if (hostRunning)
            std::fprintf(stderr, "vardel-log: cannot reach %s: %s%s\n", Vardel::PROGID, HResultText(hr).c_str(),
                         why.empty() ? "" : ("; " + why).c_str());
        else
            std::fprintf(stderr, "vardel-log: cannot reach %s: %s\n", Vardel::PROGID, why.c_str());
        return 1;
    }

    const Vardel::CBstrOwner source(SysAllocStringLen(options.source.data(), static_cast<UINT>(options.source.size())));
    for (size_t i = 0; i < messages.size(); ++i) {
        const Vardel::CBstrOwner message(SysAllocStringLen(messages[i].data(), static_cast<UINT>(messages[i].size())));
        const unsigned long time = options.haveTime ? options.time : static_cast<unsigned long>(std::time(nullptr));
        hr = log.get()->LogEvent(static_cast<eTType>(options.type), static_cast<int>(options.level), source.get(),
                                 time, message.get());
        if (FAILED(hr)) {
            std::fprintf(stderr, "vardel-log: LogEvent failed for event %zu of %zu: %s\n", i + 1, messages.size(),
                         HResultText(hr).c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    const Vardel::CLocalOwner<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) {
        std::fprintf(stderr, "vardel-log: cannot read the command line\n");
        return 1;
    }
    if (VardelTools::IsDiagnosticsCommand(argc, argv.get()))
        return VardelTools::RunDiagnostics(argc, argv.get());
    COptions options;
    const int parsed = ParseArguments(argc, argv.get(), options);
    if (parsed)
        return parsed < 0 ? 0 : parsed;
    return Run(options);
}
