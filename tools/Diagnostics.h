#pragma once
// The operator commands of vardel-log: --status [--probe] and
// --tail [N] [--follow].

#include <string>

namespace VardelTools {

extern const char* const DIAGNOSTICS_USAGE;

// True when the arguments ask for --status, --tail or --follow.
bool IsDiagnosticsCommand(int argc, wchar_t** argv);

// Parses and runs the command; returns the process exit code (2 for bad arguments).
int RunDiagnostics(int argc, wchar_t** argv);

} // namespace VardelTools
