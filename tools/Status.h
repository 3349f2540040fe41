#pragma once
// vardel-log --status: one line per check of what the server needs, each
// beginning with OK, WARN or FAIL, then what was checked and what was found.
// Reads what the server reads, the way it reads it; changes nothing but a
// probe file created and deleted in the log folder (and, with --probe, one
// logged event). While the host runs, it asks COM for the object, which may
// start a server that ends again when idle.

namespace VardelTools {

struct CStatusOptions {
    // Also log one INFORMATION event and wait (bounded) for its line.
    bool probe = false;
};

// Prints the checks to standard output; exit code 0 when none FAILs, else 1.
int RunStatus(const CStatusOptions& options);

} // namespace VardelTools
