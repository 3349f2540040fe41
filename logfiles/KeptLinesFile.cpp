#include "KeptLinesFile.h"

#include "FixedNames.h"
#include "LogFile.h"
#include "LogFolderScan.h"

#include <boost/crc.hpp>
#include <cstring>

namespace {

constexpr char MAGIC[8] = {'V', 'D', 'L', 'K', 'E', 'P', 'T', '1'};
constexpr std::size_t RECORD_HEAD = 4 * 3 + 8 + 4 * 2;
constexpr std::size_t WRITE_BYTES = 1024 * 1024;
// A day file's full path is far shorter; anything longer is damage.
constexpr std::uint32_t MAX_PATH_BYTES = 1024;

void PutU32(std::string& out, std::uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        out += static_cast<char>((value >> (8 * k)) & 0xFF);
}

void PutU64(std::string& out, std::uint64_t value)
{
    PutU32(out, static_cast<std::uint32_t>(value));
    PutU32(out, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t GetU32(const char* in)
{
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k)
        value = (value << 8) | static_cast<unsigned char>(in[k]);
    return value;
}

std::uint32_t Crc(const char* bytes, std::size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(bytes, size);
    return crc.checksum();
}

// Reads exactly size bytes; false at the end of the file or on an error.
bool ReadExactly(HANDLE file, char* into, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = size > WRITE_BYTES ? static_cast<DWORD>(WRITE_BYTES) : static_cast<DWORD>(size);
        DWORD read = 0;
        if (!::ReadFile(file, into, chunk, &read, nullptr) || read == 0)
            return false;
        into += read;
        size -= read;
    }
    return true;
}

// One record from the file's position: false when it is torn or damaged.
bool ReadRecord(HANDLE file, std::uint64_t left, CKeptRecord& record)
{
    char head[RECORD_HEAD];
    if (left < RECORD_HEAD + 4 || !ReadExactly(file, head, sizeof head))
        return false;
    const std::uint32_t kind = GetU32(head);
    const std::uint32_t pathSize = GetU32(head + 20);
    const std::uint32_t dataSize = GetU32(head + 24);
    // Lengths are checked against what the file still holds before any
    // memory is taken for them.
    const std::uint64_t room = left - RECORD_HEAD - 4;
    if (kind < CKeptRecord::Header || kind > CKeptRecord::Lost || pathSize > MAX_PATH_BYTES || pathSize > room ||
        dataSize > room - pathSize)
        return false;
    record.kind = static_cast<CKeptRecord::Kind>(kind);
    record.time = GetU32(head + 4);
    record.lastTime = GetU32(head + 8);
    record.count = GetU32(head + 12) | (static_cast<std::uint64_t>(GetU32(head + 16)) << 32);
    record.path.assign(pathSize, '\0');
    record.bytes.assign(dataSize, '\0');
    char crc[4];
    if (!ReadExactly(file, &record.path[0], pathSize) || !ReadExactly(file, &record.bytes[0], dataSize) ||
        !ReadExactly(file, crc, sizeof crc))
        return false;
    boost::crc_32_type whole;
    whole.process_bytes(head, sizeof head);
    whole.process_bytes(record.path.data(), record.path.size());
    whole.process_bytes(record.bytes.data(), record.bytes.size());
    return whole.checksum() == GetU32(crc);
}

std::uint64_t FileSize(HANDLE file)
{
    LARGE_INTEGER size = {};
    return ::GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

} // namespace

void EncodeKeptRecord(std::string& out, CKeptRecord::Kind kind, std::uint32_t time, std::uint32_t lastTime,
                      std::uint64_t count, const std::string& path, const std::string& bytes)
{
    const std::size_t start = out.size();
    PutU32(out, kind);
    PutU32(out, time);
    PutU32(out, lastTime);
    PutU64(out, count);
    PutU32(out, static_cast<std::uint32_t>(path.size()));
    PutU32(out, static_cast<std::uint32_t>(bytes.size()));
    out += path;
    out += bytes;
    PutU32(out, Crc(out.data() + start, out.size() - start));
}

CKeptFileWriter::CKeptFileWriter(std::string path, std::string newPath)
    : m_path(std::move(path)), m_newPath(std::move(newPath))
{
    m_file.reset(::CreateFileA(m_newPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    m_ok = static_cast<bool>(m_file);
    m_buffer.assign(MAGIC, sizeof MAGIC);
}

CKeptFileWriter::~CKeptFileWriter()
{
    if (m_file) {
        m_file.reset();
        ::DeleteFileA(m_newPath.c_str());
    }
}

bool CKeptFileWriter::WriteBuffer()
{
    if (m_ok && !m_buffer.empty())
        m_ok = WriteThroughLineWriter(m_file.get(), m_buffer.data(), static_cast<DWORD>(m_buffer.size())) != FALSE;
    m_buffer.clear();
    return m_ok;
}

bool CKeptFileWriter::Add(CKeptRecord::Kind kind, std::uint32_t time, std::uint32_t lastTime, std::uint64_t count,
                          const std::string& path, const std::string& bytes)
{
    if (!m_ok)
        return false;
    EncodeKeptRecord(m_buffer, kind, time, lastTime, count, path, bytes);
    return m_buffer.size() < WRITE_BYTES || WriteBuffer();
}

bool CKeptFileWriter::Commit()
{
    if (!WriteBuffer() || !::FlushFileBuffers(m_file.get()))
        return false;
    m_file.reset();
    if (!::MoveFileExA(m_newPath.c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(m_newPath.c_str());
        return false;
    }
    return true;
}

bool AppendKeptRecord(const std::string& path, const CKeptRecord& record)
{
    Vardel::CUniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER end = {};
    const LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(file.get(), zero, &end, FILE_END))
        return false;
    std::string bytes;
    if (end.QuadPart == 0)
        bytes.assign(MAGIC, sizeof MAGIC);
    EncodeKeptRecord(bytes, record.kind, record.time, record.lastTime, record.count, record.path, record.bytes);
    if (WriteThroughLineWriter(file.get(), bytes.data(), static_cast<DWORD>(bytes.size())) &&
        ::FlushFileBuffers(file.get()))
        return true;
    if (end.QuadPart == 0) {
        // No file is better than an empty or torn one of our own making.
        file.reset();
        ::DeleteFileA(path.c_str());
    }
    return false;
}

CKeptFileSummary ReadKeptFile(const std::string& path, const std::function<void(CKeptRecord&)>& visit)
{
    CKeptFileSummary summary;
    Vardel::CUniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        summary.exists = ::GetLastError() != ERROR_FILE_NOT_FOUND && ::GetLastError() != ERROR_PATH_NOT_FOUND;
        return summary;
    }
    summary.exists = true;
    std::uint64_t left = FileSize(file.get());
    char magic[sizeof MAGIC];
    CKeptRecord record;
    if (left < sizeof MAGIC || !ReadExactly(file.get(), magic, sizeof magic) ||
        std::memcmp(magic, MAGIC, sizeof MAGIC) != 0)
        return summary;
    left -= sizeof MAGIC;
    std::uint64_t promised = 0, lines = 0;
    bool headerSeen = false;
    for (;;) {
        if (left == 0)
            break;
        if (!ReadRecord(file.get(), left, record))
            break;
        left -= RECORD_HEAD + record.path.size() + record.bytes.size() + 4;
        if (record.kind == CKeptRecord::Header) {
            // One header, first: it says what a torn or damaged rest held.
            if (headerSeen || lines != 0)
                break;
            headerSeen = true;
            summary.readable = true;
            promised = record.count;
            summary.unreadFirstTime = record.time;
            summary.unreadLastTime = record.lastTime;
            summary.unreadPath = record.path;
            continue;
        }
        // Whatever a damaged file says, lines go only into day files of
        // the log folder.
        if (!IsDayFilePath(record.path))
            break;
        summary.readable = true;
        if (record.kind == CKeptRecord::Line) {
            ++lines;
            // The first unread line's own time is gone with it: the last
            // read one's bounds it.
            summary.unreadFirstTime = record.time;
            summary.unreadPath = record.path;
        }
        visit(record);
    }
    summary.unread = promised > lines ? promised - lines : 0;
    if (!IsDayFilePath(summary.unreadPath))
        summary.unread = 0; // nowhere safe to say so
    return summary;
}

bool IsDayFilePath(const std::string& path)
{
    const std::string folder = Vardel::LOG_FOLDER;
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0)
        return false;
    const std::string name = path.substr(folder.size());
    CDate date(1, 1, 2000);
    return name.find_first_of("\\/:") == std::string::npos && ParseLogFileName(name, date) &&
           path == date.Format(Vardel::LOG_FILE_PATTERN);
}
