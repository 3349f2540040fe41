#include "Burst.h"

#include <cstdio>
#include <cstdlib>
#include <process.h>

using namespace VardelTest;

namespace VardelReliability {

namespace {

// Bounds a thread whose calls never fail; no test sends this many.
const int MAX_CALLS = 1000000;

unsigned __stdcall BurstThread(void* argument)
{
    auto* self = static_cast<CBurst::CThread*>(argument);
    CComInit com;
    IVardelEventLog* log = nullptr;
    self->failure = CoGetInterfaceAndReleaseStream(self->marshalled, IID_IVardelEventLog,
                                                   reinterpret_cast<void**>(&log));
    if (FAILED(self->failure))
        return 1;
    for (int i = 0; i < self->calls; ++i) {
        const HRESULT hr = Log(log, self->type, 3, self->source, 1073741824u,
                               self->marker + " " + std::to_string(i) + " " + self->padding);
        if (hr != S_OK) {
            self->failure = hr;
            break;
        }
        InterlockedIncrement(&self->accepted);
    }
    log->Release();
    return 0;
}

} // namespace

CBurst::CBurst(IVardelEventLog* log, const std::string& marker, const std::vector<size_t>& paddings, int type,
               int calls)
{
    for (size_t k = 0; k < paddings.size(); ++k) {
        std::unique_ptr<CThread> thread(new CThread);
        thread->marker = marker;
        thread->source = "Burst" + std::to_string(k);
        thread->type = type;
        thread->calls = calls > 0 ? calls : MAX_CALLS;
        thread->padding.assign(paddings[k], 'p');
        EXPECT_HR(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IVardelEventLog, log, &thread->marshalled));
        thread->handle.reset(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, BurstThread, thread.get(), 0, nullptr)));
        EXPECT_TRUE(thread->handle);
        m_threads.push_back(std::move(thread));
    }
}

CBurst::~CBurst()
{
    // A thread still calling would outlive what it points to.
    if (!WaitForEnd(120000))
        ADD_FAILURE() << "burst threads still ran";
}

LONG CBurst::Accepted() const
{
    LONG total = 0;
    for (const auto& t : m_threads)
        total += t->accepted;
    return total;
}

bool CBurst::WaitForAccepted(LONG count, DWORD timeoutMs) const
{
    const DWORD start = GetTickCount();
    while (Accepted() < count) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20); // polling a counter: the count itself is what is waited for
    }
    return true;
}

bool CBurst::WaitForEnd(DWORD timeoutMs)
{
    std::vector<HANDLE> handles;
    for (const auto& t : m_threads)
        if (t->handle)
            handles.push_back(t->handle.get());
    if (handles.empty())
        return true;
    return WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, timeoutMs) <
           WAIT_OBJECT_0 + handles.size();
}

std::map<std::string, std::vector<int>> NumbersBySource(const std::vector<std::string>& lines,
                                                        const std::string& marker, int& foreign)
{
    std::map<std::string, std::vector<int>> found;
    foreign = 0;
    for (const auto& line : lines) {
        CLogLine parsed;
        if (!ParseLogLine(line, parsed) || parsed.message.compare(0, marker.size() + 1, marker + " ") != 0) {
            ++foreign;
            continue;
        }
        found[parsed.source].push_back(std::atoi(parsed.message.c_str() + marker.size() + 1));
    }
    return found;
}

bool InSequence(const std::vector<int>& numbers, size_t count)
{
    if (numbers.size() != count)
        return false;
    for (size_t i = 0; i < count; ++i)
        if (numbers[i] != static_cast<int>(i))
            return false;
    return true;
}

void ReportRow(const char* what, long sent, long found, const char* outcome)
{
    std::printf("[ table    ] %s | %ld | %ld | %s\n", what, sent, found, outcome);
}

} // namespace VardelReliability
