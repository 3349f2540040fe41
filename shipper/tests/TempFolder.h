#pragma once
// A folder of its own under the temporary folder for one test, removed
// with its files.

#include <windows.h>
#include <string>

class CTempFolder {
public:
    CTempFolder()
    {
        char base[MAX_PATH];
        ::GetTempPathA(MAX_PATH, base);
        m_path = std::string(base) + "vardel-shipper-" + std::to_string(::GetCurrentProcessId()) + "-" +
                 std::to_string(++s_count);
        ::CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~CTempFolder()
    {
        WIN32_FIND_DATAA data;
        HANDLE find = ::FindFirstFileA((m_path + "\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do
                ::DeleteFileA((m_path + "\\" + data.cFileName).c_str());
            while (::FindNextFileA(find, &data));
            ::FindClose(find);
        }
        ::RemoveDirectoryA(m_path.c_str());
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    static inline int s_count = 0;
    std::string m_path;
};
