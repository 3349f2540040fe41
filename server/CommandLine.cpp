#include "CommandLine.h"

#include <windows.h>

namespace VardelServer {

const char* FindOneOf(const char* text, const char* separators)
{
    for (const char* p = text; p && *p; p = CharNextA(p))
        for (const char* s = separators; *s; ++s)
            if (*p == *s)
                return CharNextA(p);
    return nullptr;
}

CServerAction ActionFromCommandLine(const char* commandLine)
{
    for (const char* rest = FindOneOf(commandLine, "-/"); rest; rest = FindOneOf(rest, "-/")) {
        if (lstrcmpiA(rest, "UnregServer") == 0)
            return CServerAction::Unregister;
        if (lstrcmpiA(rest, "RegServer") == 0)
            return CServerAction::Register;
    }
    return CServerAction::Run;
}

} // namespace VardelServer
