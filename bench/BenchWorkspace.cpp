#include "BenchWorkspace.h"

#include "testsupport/TestEnvironment.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace VardelBench {

namespace {

// Where the real log folder waits while a benchmark runs.
const std::string SAVED_LOG_DIR = std::string(Vardel::LOG_FOLDER_PATH) + ".bench-saved";

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void CreateFolder(const std::string& path)
{
    VardelTest::MakeEmptyFolder(path);
    if (!Exists(path))
        FailWin32("cannot create " + path);
}

} // namespace

void FailWin32(const std::string& what)
{
    throw CBenchError(what + " (Windows error " + std::to_string(GetLastError()) + ")");
}

double NowUs()
{
    static const double ticksPerUs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerUs;
}

CLogFolderGuard::CLogFolderGuard()
{
    if (Exists(SAVED_LOG_DIR)) {
        // A run that died left the real folder aside: what is in its place
        // is that run's output.
        VardelTest::RemoveTree(Vardel::LOG_FOLDER_PATH);
        if (!MoveFileExA(SAVED_LOG_DIR.c_str(), Vardel::LOG_FOLDER_PATH, 0))
            FailWin32("cannot restore the log folder left aside by an earlier run");
    }
    if (Exists(Vardel::LOG_FOLDER_PATH)) {
        if (!MoveFileExA(Vardel::LOG_FOLDER_PATH, SAVED_LOG_DIR.c_str(), 0))
            FailWin32("cannot set the log folder aside");
        m_saved = true;
    }
    CreateFolder(Vardel::LOG_FOLDER_PATH);
}

CLogFolderGuard::~CLogFolderGuard()
{
    VardelTest::RemoveTree(Vardel::LOG_FOLDER_PATH);
    if (m_saved && !MoveFileExA(SAVED_LOG_DIR.c_str(), Vardel::LOG_FOLDER_PATH, 0))
        std::fprintf(stderr, "bench: could not move %s back to %s (error %lu)\n", SAVED_LOG_DIR.c_str(), Vardel::LOG_FOLDER_PATH,
                     GetLastError());
}

void CLogFolderGuard::Empty()
{
    for (const std::string& name : VardelTest::ListFolder(Vardel::LOG_FOLDER_PATH))
        VardelTest::RemoveTree(std::string(Vardel::LOG_FOLDER_PATH) + "\\" + name);
}

CIdleOwner::CIdleOwner() : m_idle(CreateEventA(nullptr, TRUE, TRUE, nullptr))
{
    if (!m_idle)
        FailWin32("CreateEventA");
}

HRESULT STDMETHODCALLTYPE CIdleOwner::QueryInterface(REFIID, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CIdleOwner::AddRef()
{
    const long refs = ++m_refs;
    if (refs == 1)
        ResetEvent(m_idle.get());
    return static_cast<ULONG>(refs);
}

ULONG STDMETHODCALLTYPE CIdleOwner::Release()
{
    const long refs = --m_refs;
    if (refs == 0)
        SetEvent(m_idle.get());
    return static_cast<ULONG>(refs);
}

void CIdleOwner::WaitIdle()
{
    if (WaitForSingleObject(m_idle.get(), WAIT_LIMIT_MS) != WAIT_OBJECT_0)
        throw CBenchError("the log worker did not drain its queue within " + std::to_string(WAIT_LIMIT_MS) + " ms");
}

bool CIdleOwner::IsIdle() const
{
    return WaitForSingleObject(m_idle.get(), 0) == WAIT_OBJECT_0;
}

std::uint64_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void WaitForFileSize(const std::string& path, std::uint64_t bytes, DWORD timeoutMs)
{
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    Vardel::CUniqueChangeNotification change(FindFirstChangeNotificationA(
        folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME));
    const double deadline = NowUs() + timeoutMs * 1000.0;
    while (FileSize(path) < bytes) {
        if (NowUs() > deadline)
            throw CBenchError(path + " did not reach " + std::to_string(bytes) + " bytes within " +
                              std::to_string(timeoutMs) + " ms");
        // The notification only shortens the wait; the size is what counts,
        // so a missed or unsupported notification costs at most 5 ms.
        if (!change)
            Sleep(5);
        else if (WaitForSingleObject(change.get(), 5) == WAIT_OBJECT_0)
            FindNextChangeNotification(change.get());
    }
}

std::string ReadFirstLine(const std::string& path, std::size_t limit)
{
    Vardel::CUniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw CBenchError("cannot read " + path);
    std::vector<char> buffer(limit);
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    const std::string text(buffer.data(), got);
    const std::size_t end = text.find("\r\n");
    if (end == std::string::npos)
        throw CBenchError("no whole line in the first " + std::to_string(limit) + " bytes of " + path);
    return text.substr(0, end);
}

std::uint64_t CountLines(const std::string& path)
{
    Vardel::CUniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return 0;
    std::uint64_t lines = 0;
    bool afterCr = false;
    std::vector<char> buffer(1 << 16);
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file.get())) != 0;) {
        for (std::size_t i = 0; i < got; ++i) {
            if (afterCr && buffer[i] == '\n')
                ++lines;
            afterCr = buffer[i] == '\r';
        }
    }
    return lines;
}

std::string Message(std::size_t size)
{
    static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789,.;:-+=()";
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = ALPHABET[(i * 7 + i / 97) % (sizeof ALPHABET - 1)];
    return text;
}

} // namespace VardelBench
