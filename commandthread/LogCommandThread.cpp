#include "LogCommandThread.h"

#include "Multithreaded.h"

#include <unknwn.h>

// Whenever lock is free: the owner holds exactly one reference from this
// object while pending is above 0, and none while it is 0.
class CLogCommandThread::CLogCommandThreadData : private boost::noncopyable {
public:
    explicit CLogCommandThreadData(IUnknown* owner) : owner(owner) {}
    virtual ~CLogCommandThreadData() = default;

    IUnknown* owner;
    int pending = 0;
    CCriticalSectionWrapper lock;
};

CLogCommandThread::CLogCommandThread(IUnknown* owner, const std::string& name, int exitCode)
    : CCommandThread(name, exitCode), m_pData(new CLogCommandThreadData(owner))
{
}

CLogCommandThread::~CLogCommandThread()
{
    // A worker that still runs would call OnCommandDone on the data deleted
    // below. No Release is made for commands that never ran.
    EndWorker();
    delete m_pData;
}

void CLogCommandThread::OnCommandQueued()
{
    CScopedLock guard(m_pData->lock);
    // Counted only once the reference is taken: an AddRef that throws
    // leaves both unchanged.
    if (m_pData->pending == 0 && m_pData->owner)
        m_pData->owner->AddRef();
    ++m_pData->pending;
}

void CLogCommandThread::OnCommandDone()
{
    CScopedLock guard(m_pData->lock);
    if (--m_pData->pending == 0 && m_pData->owner)
        m_pData->owner->Release();
}
