#include "PlaceRegistry.h"

namespace Vardel::Shipper {

std::uint64_t CPendingCommits::Add(CCommit commit)
{
    const std::uint64_t tag = m_nextTag++;
    m_waiting.push_back(CEntry{tag, false, std::move(commit)});
    return tag;
}

void CPendingCommits::Answered(std::uint64_t tag)
{
    if (m_waiting.empty() || tag < m_waiting.front().tag)
        return;
    const std::uint64_t at = tag - m_waiting.front().tag;
    // Tags are consecutive from the front, so the tag says where it waits.
    if (at < m_waiting.size() && m_waiting[at].tag == tag)
        m_waiting[at].answered = true;
}

std::size_t CPendingCommits::ApplyTo(CPlaceRegistry& registry)
{
    std::size_t applied = 0;
    while (!m_waiting.empty() && m_waiting.front().answered) {
        const CCommit& commit = m_waiting.front().commit;
        if (commit.kind == CCommit::Kind::Set)
            registry[commit.file] = commit.place;
        else if (commit.kind == CCommit::Kind::Forget)
            registry.erase(commit.file);
        m_waiting.pop_front();
        ++applied;
    }
    return applied;
}

} // namespace Vardel::Shipper
