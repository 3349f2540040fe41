#include "QueuedTextBudget.h"

namespace VardelEventLogger {

CQueuedTextBudget::CQueuedTextBudget(std::size_t limit) : m_limit(limit) {}

void CQueuedTextBudget::Take(std::size_t bytes)
{
    AcquireSRWLockExclusive(&m_lock);
    // Producers go in the order they came, so that a large event is not
    // passed for ever by a stream of small ones.
    const unsigned long long ticket = m_nextTicket++;
    while (ticket != m_serving || !Fits(bytes)) {
        ++m_waiting;
        SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
        --m_waiting;
    }
    m_queued += bytes;
    ++m_serving;
    ReleaseSRWLockExclusive(&m_lock);
    WakeAllConditionVariable(&m_changed); // the next in line may fit too
}

bool CQueuedTextBudget::Fits(std::size_t bytes) const
{
    // Compared without adding the event, so that no size can overflow the
    // sum; each share alone stays near the limit.
    return m_queued == 0 || (bytes <= m_limit && m_queued + m_kept <= m_limit - bytes);
}

void CQueuedTextBudget::Give(std::size_t bytes)
{
    AcquireSRWLockExclusive(&m_lock);
    m_queued -= bytes;
    ReleaseSRWLockExclusive(&m_lock);
    // Every waiter looks again: one large give may let several small ones in.
    WakeAllConditionVariable(&m_changed);
}

void CQueuedTextBudget::Keep(std::size_t queuedBytes, std::size_t keptBytes)
{
    AcquireSRWLockExclusive(&m_lock);
    m_queued -= queuedBytes;
    m_kept += keptBytes;
    ReleaseSRWLockExclusive(&m_lock);
    // An emptied queue lets the next producer in.
    WakeAllConditionVariable(&m_changed);
}

void CQueuedTextBudget::GiveKept(std::size_t bytes)
{
    AcquireSRWLockExclusive(&m_lock);
    m_kept -= bytes;
    ReleaseSRWLockExclusive(&m_lock);
    WakeAllConditionVariable(&m_changed);
}

std::size_t CQueuedTextBudget::Kept() const
{
    AcquireSRWLockShared(&m_lock);
    std::size_t kept = m_kept;
    ReleaseSRWLockShared(&m_lock);
    return kept;
}

std::size_t CQueuedTextBudget::Queued() const
{
    AcquireSRWLockShared(&m_lock);
    std::size_t queued = m_queued;
    ReleaseSRWLockShared(&m_lock);
    return queued;
}

int CQueuedTextBudget::Waiting() const
{
    AcquireSRWLockShared(&m_lock);
    int waiting = m_waiting;
    ReleaseSRWLockShared(&m_lock);
    return waiting;
}

CQueuedText::CQueuedText(boost::shared_ptr<CQueuedTextBudget> budget, std::size_t bytes)
    : m_budget(std::move(budget)), m_bytes(bytes)
{
    m_budget->Take(m_bytes);
}

CQueuedText::~CQueuedText()
{
    if (m_kept)
        m_budget->GiveKept(m_bytes);
    else
        m_budget->Give(m_bytes);
}

void CQueuedText::Kept(std::size_t bytes)
{
    if (m_kept)
        return;
    m_budget->Keep(m_bytes, bytes);
    m_bytes = bytes;
    m_kept = true;
}

CPickedUpText::CPickedUpText(boost::shared_ptr<CQueuedTextBudget> budget) : m_budget(std::move(budget)) {}

CPickedUpText::~CPickedUpText()
{
    if (m_bytes != 0)
        m_budget->GiveKept(m_bytes);
}

void CPickedUpText::Kept(std::size_t bytes)
{
    if (m_bytes != 0)
        return;
    m_budget->Keep(0, bytes);
    m_bytes = bytes;
}

} // namespace VardelEventLogger
