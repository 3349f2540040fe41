#pragma once
// What the benchmarks share: a clock, the real log folder set aside for the
// run, an owner that tells when the logging service's queue has drained,
// and small file helpers. Failures throw CBenchError; a benchmark that
// throws reports no figures.

#include <windows.h>
#include <unknwn.h>

#include "FixedNames.h"
#include "Handles.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace VardelBench {

class CBenchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws CBenchError naming what failed and the last Windows error.
[[noreturn]] void FailWin32(const std::string& what);

// Microseconds on the performance counter.
double NowUs();

// A bound for every wait on the product: generous, since a slow machine
// must not turn into a failure, but finite, so a hang does.
constexpr DWORD WAIT_LIMIT_MS = 300000;

// Moves the real log folder aside and leaves an empty one in its place;
// the destructor removes what the benchmarks wrote and moves the saved
// folder back. A folder left aside by a run that died is restored first.
class CLogFolderGuard {
public:
    CLogFolderGuard();
    ~CLogFolderGuard();
    CLogFolderGuard(const CLogFolderGuard&) = delete;
    CLogFolderGuard& operator=(const CLogFolderGuard&) = delete;

    // Deletes everything the benchmarks put in the folder so far.
    void Empty();

private:
    bool m_saved = false;
};

// The owner handed to the logging service. Its command thread takes one
// reference while any command is pending and gives it back when the last
// has run, both under the thread's own lock, so "no reference" after a
// post means every command posted so far has run.
class CIdleOwner : public IUnknown {
public:
    CIdleOwner();
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Throws when the queue has not drained within WAIT_LIMIT_MS.
    void WaitIdle();
    bool IsIdle() const;

private:
    std::atomic<long> m_refs{0};
    Vardel::CUniqueHandle m_idle; // manual reset; set while m_refs is 0
};

// Bytes in the file; 0 when it does not exist.
std::uint64_t FileSize(const std::string& path);

// Waits, woken by changes in the file's folder, until the file holds at
// least `bytes`; throws after timeoutMs.
void WaitForFileSize(const std::string& path, std::uint64_t bytes, DWORD timeoutMs = WAIT_LIMIT_MS);

// The file's first line without its CR LF, reading at most limit bytes.
std::string ReadFirstLine(const std::string& path, std::size_t limit);

// Number of CR LF pairs in the file.
std::uint64_t CountLines(const std::string& path);

// `size` printable bytes with no quote or line break, so that the log line
// carries the message unchanged.
std::string Message(std::size_t size);

} // namespace VardelBench
