// Input is data, never a format or a path: texts that look like paths,
// devices and format directives are logged as they are, and the server
// writes nothing but the day's log file and the configured alarm file. The
// named objects it uses are not kept open between uses.

#include "Burst.h"

#include <aclapi.h>
#include <sddl.h>

#include <map>

using namespace VardelTest;
using namespace VardelReliability;

namespace {

// Path -> size of every file below folder (recursive) or in it (flat).
void Snapshot(const std::string& folder, bool recursive, std::map<std::string, ULONGLONG>& files)
{
    WIN32_FIND_DATAA data;
    Vardel::CUniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &data));
    if (!find)
        return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            files[path + "\\"] = 0;
            if (recursive)
                Snapshot(path, true, files);
        } else {
            files[path] = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (FindNextFileA(find.get(), &data));
}

std::string Environment(const char* name)
{
    char value[MAX_PATH] = {};
    return GetEnvironmentVariableA(name, value, MAX_PATH) ? value : "";
}

std::map<std::string, ULONGLONG> Everything()
{
    std::map<std::string, ULONGLONG> files;
    Snapshot("C:\\Korvane", true, files);
    for (const std::string& folder : {std::string("C:"), std::string("C:\\windows"), std::string("C:\\windows\\system32"),
                                      Environment("TEMP"), Environment("USERPROFILE")})
        if (!folder.empty())
            Snapshot(folder, false, files);
    return files;
}

const char* const HOSTILE[] = {
    "..\\..\\..\\escape.txt",
    "C:\\Korvane\\escape.log",
    "\\\\?\\C:\\escape.txt",
    "C:\\Korvane\\VardelLogs\\Log_2001_01_01.log",
    "CON",
    "NUL:",
    "%TEMP%\\escape.txt",
    "|escape.exe",
    "%s%s%s%s%n%n%n",
    "%08x%08x%08x%p",
};

// Owner and access list of a kernel object, as SDDL.
std::string SecurityText(HANDLE object)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "<no security information>";
    char* text = nullptr;
    std::string result = "<not convertible>";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        result = text;
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

} // namespace

// The alarm mutex exists only while the server writes an alarm, unless its
// peer holds it. Caught in that moment, it must carry the default security
// of the server's account: what a mutex made here without attributes gets.
TEST_F(CReliabilityTest, SecurityAlarmMutexHasTheDefaultSecurityAndItsPlainName)
{
    ASSERT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, Expected::ALARM_MUTEX)) << "another owner holds the alarm mutex";
    Vardel::CUniqueHandle own(CreateMutexA(nullptr, FALSE, nullptr));
    const std::string expected = SecurityText(own.get());
    Vardel::CUniqueHandle caught;
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));
        {
            CBurst burst(log, Marker("mutex"), {0}, 3);
            const DWORD start = GetTickCount();
            while (!caught && GetTickCount() - start < 60000) {
                caught.reset(OpenMutexA(READ_CONTROL | SYNCHRONIZE, FALSE, Expected::ALARM_MUTEX));
                if (!caught)
                    Sleep(0);
            }
            // The burst ends when the server does.
            session.End(120000);
        }
        log->Release();
    }
    ASSERT_TRUE(caught) << "the server never created the alarm mutex by its plain name";
    EXPECT_EQ(expected, SecurityText(caught.get()));
    // Wine gives an object made without attributes no descriptor at all; a
    // server that set its own would still differ from that.
    ReportRow("alarm mutex caught while the server wrote", 1, 1,
              ("plain name, default security: \"" + expected + "\", as a mutex made without attributes").c_str());
}

TEST_F(CReliabilityTest, SecurityInputIsNeverAFormatOrAPath)
{
    const std::string marker = Marker("hostile");
    const auto before = Everything();
    size_t sent = 0;
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));
        for (const char* text : HOSTILE) {
            // Both as alarms, so that the alarm writer sees them as well.
            EXPECT_HR(S_OK, Log(log, 3, 3, text, 0, marker + " " + text));
            EXPECT_HR(S_OK, Log(log, 4, 3, marker, 0, text));
            sent += 2;
        }
        Barrier(log, m_alarm);
        // The alarm mutex is the peer's: the server holds it only while it writes.
        EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, Expected::ALARM_MUTEX)) << "the server keeps the alarm mutex open";
        log->Release();
        session.End();
    }
    auto after = Everything();
    // Exactly the two files the server may write differ.
    for (const std::string& own : {m_log.FileName(), m_alarm.File()}) {
        EXPECT_TRUE(after.count(own)) << own;
        after.erase(own);
    }
    auto expected = before;
    expected.erase(m_log.FileName());
    expected.erase(m_alarm.File());
    for (const auto& entry : after)
        EXPECT_TRUE(expected.count(entry.first) && expected[entry.first] == entry.second)
            << "written by the run: " << entry.first;
    for (const auto& entry : expected)
        EXPECT_TRUE(after.count(entry.first)) << "gone after the run: " << entry.first;

    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(sent, lines.size());
    const auto alarms = CrLfLines(m_alarm.Text());
    EXPECT_EQ(sent + 1, alarms.size()) << "every event and the barrier";
    for (const char* text : HOSTILE) {
        const std::string message = marker + " " + text;
        // Time, names and the texts exactly as sent.
        EXPECT_EQ(1u, LinesEndingWith(lines, std::string(",ERROR,RELEASE,") + text + ",\"" + message + "\"").size())
            << text;
        EXPECT_EQ(1u, LinesEndingWith(lines, ",FATAL_ERROR,RELEASE," + marker + ",\"" + text + "\"").size()) << text;
        EXPECT_EQ(1u, LinesEndingWith(alarms, std::string(" [ERROR] [") + text + "] " + message).size()) << text;
        EXPECT_EQ(1u, LinesEndingWith(alarms, " [FATAL_ERROR] [" + marker + "] " + text).size()) << text;
    }
    ReportRow("path, device and format texts as source and message", static_cast<long>(sent),
              static_cast<long>(lines.size()),
              "all written verbatim to log and alarm file; no other file created or changed");
}
