#pragma once
// Bounds the text that queued events hold, as the command list bounds their
// number. Producers take an event's bytes before queuing it and wait while
// the queue already holds text and this event would take it past the limit;
// an event larger than the whole limit waits for an empty queue and then
// goes in alone. Nothing is refused. The bytes are given back when the
// command that carries them is deleted, on the worker thread, or, when its
// line is kept because the log file refuses writes, when that line is
// written or dropped; a kept line counts what it takes in memory, its line
// and bookkeeping. Kept bytes count against the limit too, but never
// hold back a producer while the queue is empty: the worker, which alone
// can let kept lines go, has then nothing to run. Any thread may take and
// give; the budget has its own lock, held only briefly and never while
// another lock is taken.

#include <windows.h>

#include "LogEvent.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>

namespace VardelEventLogger {

// The source and message bytes that queued events may hold at once. The
// same on every platform: on x86 it leaves most of the address space free.
constexpr std::size_t QUEUED_TEXT_BUDGET = 256u * 1024 * 1024;

class CQueuedTextBudget : private boost::noncopyable {
public:
    explicit CQueuedTextBudget(std::size_t limit);

    // Waits, without limit, until every earlier producer is in and bytes
    // fit (see above), then counts them.
    void Take(std::size_t bytes);
    void Give(std::size_t bytes);
    // An event's taken bytes leave the queue's share; its kept line's join
    // the kept lines' share.
    void Keep(std::size_t queuedBytes, std::size_t keptBytes);
    void GiveKept(std::size_t bytes);

    std::size_t Queued() const;
    std::size_t Kept() const;
    // Producers now waiting in Take.
    int Waiting() const;
    std::size_t Limit() const { return m_limit; }

private:
    bool Fits(std::size_t bytes) const; // m_lock held

    const std::size_t m_limit;
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
    std::size_t m_queued = 0;
    std::size_t m_kept = 0;
    int m_waiting = 0;
    unsigned long long m_nextTicket = 0; // handed to each producer as it comes
    unsigned long long m_serving = 0;    // the ticket whose turn it is
};

// The bytes one queued event holds, given back when the holder goes; kept
// with the event's line while the log file refuses it.
class CQueuedText : public CLineCharge, private boost::noncopyable {
public:
    CQueuedText(boost::shared_ptr<CQueuedTextBudget> budget, std::size_t bytes);
    ~CQueuedText() override;

    void Kept(std::size_t bytes) override;

private:
    boost::shared_ptr<CQueuedTextBudget> m_budget;
    std::size_t m_bytes;
    bool m_kept = false;
};

// The share of a line picked up at the start from the lines the last server
// set down: it was never queued, so it joins the kept lines' share at once
// and never waits for room (the worker, which alone lets kept lines go,
// takes it).
class CPickedUpText : public CLineCharge, private boost::noncopyable {
public:
    explicit CPickedUpText(boost::shared_ptr<CQueuedTextBudget> budget);
    ~CPickedUpText() override;

    void Kept(std::size_t bytes) override;

private:
    boost::shared_ptr<CQueuedTextBudget> m_budget;
    std::size_t m_bytes = 0;
};

} // namespace VardelEventLogger
