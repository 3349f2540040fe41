#pragma once
// The server's command-line switches. A switch counts only as the last
// thing on the line: "-" or "/" followed by exactly "RegServer" or
// "UnregServer" to the end, in any case.

namespace VardelServer {

enum class CServerAction { Run, Register, Unregister };

// The position just after the first character of text that is one of
// separators, stepping over double-byte characters whole; null if none.
const char* FindOneOf(const char* text, const char* separators);

// commandLine is the whole line, the program's own path included.
CServerAction ActionFromCommandLine(const char* commandLine);

} // namespace VardelServer
