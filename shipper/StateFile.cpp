#include "StateFile.h"

#include "DayFiles.h"
#include "Handles.h"

#include <windows.h>
#include <cstdio>
#include <vector>

namespace Vardel::Shipper {

namespace {

constexpr const char* HEADER = "VardelShipper places 1\n";
constexpr std::size_t MAX_STATE_BYTES = 16 * 1024 * 1024;

std::uint64_t Fnv1a(const std::string& text)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string Hex(std::uint64_t value)
{
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> Split(const std::string& line, char by)
{
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = line.find(by, at);
        fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            return fields;
        at = end + 1;
    }
}

// A decimal number of at most 20 digits that fits 64 bits.
bool Number(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = 0;
    for (char c : text) {
        const std::uint64_t next = value * 10 + static_cast<unsigned>(c - '0');
        if (next / 10 != value)
            return false;
        value = next;
    }
    return true;
}

} // namespace

std::string FormatState(const CPlaceRegistry& registry)
{
    std::string body = HEADER;
    for (const auto& [name, p] : registry)
        body += name + '\t' + std::to_string(p.identity.volume) + '\t' + std::to_string(p.identity.index) + '\t' +
                std::to_string(p.place) + '\t' + std::to_string(p.tail) + '\t' + std::to_string(p.seen) + '\n';
    return body + "end\t" + std::to_string(registry.size()) + '\t' + Hex(Fnv1a(body)) + '\n';
}

bool ParseState(const std::string& text, CPlaceRegistry& registry, std::string& why)
{
    registry.clear();
    if (text.compare(0, std::string(HEADER).size(), HEADER) != 0) {
        why = "it does not start with \"VardelShipper places 1\"";
        return false;
    }
    const std::size_t endAt = text.rfind("end\t");
    if (endAt == std::string::npos || (endAt > 0 && text[endAt - 1] != '\n') || text.back() != '\n') {
        why = "it has no end line: it was cut short";
        return false;
    }
    const std::vector<std::string> end = Split(text.substr(endAt, text.size() - endAt - 1), '\t');
    const std::string body = text.substr(0, endAt);
    if (end.size() != 3 || end[2] != Hex(Fnv1a(body))) {
        why = "its checksum does not match its lines";
        return false;
    }
    std::uint64_t count = 0;
    Number(end[1], count);
    const std::vector<std::string> lines = Split(body.substr(std::string(HEADER).size()), '\n');
    // The body ends in a line end, so its last field is empty.
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::vector<std::string> f = Split(lines[i], '\t');
        std::uint64_t volume = 0, index = 0, place = 0, tail = 0, seen = 0;
        if (f.size() != 6 || !IsDayFileName(f[0]) || !Number(f[1], volume) || volume > 0xffffffffull ||
            !Number(f[2], index) || !Number(f[3], place) || !Number(f[4], tail) || !Number(f[5], seen) ||
            registry.count(f[0])) {
            registry.clear();
            why = "line " + std::to_string(i + 2) + " is not a day file's place";
            return false;
        }
        registry[f[0]] = CPlace{CFileIdentity{static_cast<std::uint32_t>(volume), index}, place, tail, seen};
    }
    if (count != registry.size()) {
        registry.clear();
        why = "its count of files does not match its lines";
        return false;
    }
    return true;
}

LoadResult LoadState(const std::string& path, CPlaceRegistry& registry, std::string& why)
{
    registry.clear();
    CUniqueFileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return LoadResult::Missing;
        why = "it cannot be opened (Windows error " + std::to_string(error) + ")";
        return LoadResult::Unreadable;
    }
    LARGE_INTEGER size{};
    std::string text;
    bool read = ::GetFileSizeEx(file.get(), &size) && size.QuadPart <= static_cast<LONGLONG>(MAX_STATE_BYTES);
    if (read) {
        text.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD got = 0;
        read = text.empty() || (::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &got, nullptr) &&
                                got == text.size());
    }
    file.reset();
    if (!read)
        why = "it cannot be read whole";
    if (read && ParseState(text, registry, why))
        return LoadResult::Loaded;
    ::MoveFileExA(path.c_str(), (path + ".bad").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    return LoadResult::Unreadable;
}

bool SaveState(const std::string& path, const CPlaceRegistry& registry, std::string& why)
{
    const std::string text = FormatState(registry);
    const std::string fresh = path + ".new";
    {
        CUniqueFileHandle file(::CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !::FlushFileBuffers(file.get())) {
            why = "cannot write " + fresh + " (Windows error " + std::to_string(::GetLastError()) + ")";
            return false;
        }
    }
    if (!::MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        why = "cannot replace " + path + " (Windows error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    return true;
}

} // namespace Vardel::Shipper
