#pragma once
// The logging service's command thread. While any posted command has not
// yet run, it holds one reference on its owner (the component object, for
// which a reference is a server lock), so the server is not ended for
// idleness with events still to write. Commands that never run (queued
// behind a stop, or deleted at destruction) keep that reference in place.

#include <windows.h>

#include "CommandThread.h"
#include "LogCommand.h"

#include <string>

struct IUnknown;

class CLogCommandThread : public CommandThread::CCommandThread<CLogCommand> {
public:
    // owner is not referenced here; only its AddRef and Release are called
    // later, and it may be null (then only the count is kept).
    CLogCommandThread(IUnknown* owner, const std::string& name, int exitCode);
    ~CLogCommandThread() override;

protected:
    // Posting thread: takes the owner's reference on the rise from 0.
    void OnCommandQueued() override;
    // Worker thread: gives it back on the return to 0.
    void OnCommandDone() override;

private:
    class CLogCommandThreadData;
    CLogCommandThreadData* m_pData;
};
