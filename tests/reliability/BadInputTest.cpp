// Bad input through COM: huge, cut, unconvertible and hostile strings, codes
// and times outside the named ranges, and wrong late-bound calls. Each has
// one defined outcome, and the server serves on afterwards.

#include "ReliabilitySupport.h"

#include <climits>

using namespace VardelTest;
using namespace VardelReliability;

namespace {

HRESULT LogWide(IVardelEventLog* log, int type, int level, const std::wstring& source, const std::wstring& message)
{
    CBstr s(source.c_str(), static_cast<UINT>(source.size())), m(message.c_str(), static_cast<UINT>(message.size()));
    return log->LogEvent(static_cast<eTType>(type), level, s.get(), 1073741824u, m.get());
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

HRESULT InvokeLogEvent(IVardelEventLog* log, DISPID id, VARIANT* args, UINT count, UINT* argError)
{
    DISPPARAMS params = {args, nullptr, count, 0};
    return log->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, argError);
}

} // namespace

TEST_F(CReliabilityTest, BadInputHasItsDefinedOutcomeAndTheServerServesOn)
{
    const std::string mib(1u << 20, 'm'), sixteen(16u << 20, 'x');
    const int codes[] = {INT_MIN, -1, 0, 5, INT_MAX};
    const ULONG times[] = {0u, 2147483647u, 2147483648u, 4294967295u};
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));

        EXPECT_HR(S_OK, Log(log, 1, 3, mib, 0, mib));
        EXPECT_HR(S_OK, Log(log, 1, 3, "Big", 0, sixteen));
        EXPECT_HR(S_OK, Log(log, 1, 3, "S,%s%n\"q\"", 0, "%s%n%x%p,\t\x01\x1b\"q\"\r\n%%"));
        EXPECT_HR(S_OK, LogWide(log, 1, 3, std::wstring(L"cut") + L'\0' + L"hidden", L"nul" + std::wstring(1, L'\0')));
        EXPECT_HR(S_OK, LogWide(log, 1, 3, L"a\xD800" L"b\xDC00", L"c\xDFFF" L"d"));
        EXPECT_HR(S_OK, LogWide(log, 1, 3, L"\x4E2D\x6587", L"\x0416\x2603"));
        for (int code : codes)
            EXPECT_HR(S_OK, Log(log, code, 3, "Type", 0, "type " + std::to_string(code)));
        for (int code : codes)
            EXPECT_HR(S_OK, Log(log, 1, code, "Level", 0, "level " + std::to_string(code)));
        for (ULONG time : times)
            EXPECT_HR(S_OK, Log(log, 3, 3, "Time", time, "time " + std::to_string(time)));

        // Late bound with the wrong argument count, a wrong type and an unknown member.
        CBstr text("late"), notANumber("not a number");
        CLogEventArgs late(1, 3, text.get(), 0, text.get());
        VARIANT* args = late.args;
        UINT argError = 0;
        EXPECT_HR(DISP_E_BADPARAMCOUNT, InvokeLogEvent(log, 1, args + 1, 4, &argError));
        args[3].vt = VT_BSTR, args[3].bstrVal = notANumber.get();
        EXPECT_HR(DISP_E_TYPEMISMATCH, InvokeLogEvent(log, 1, args, 5, &argError));
        args[3].vt = VT_I4, args[3].lVal = 3;
        EXPECT_HR(DISP_E_MEMBERNOTFOUND, InvokeLogEvent(log, 99, args, 5, &argError));

        EXPECT_HR(S_OK, Log(log, 2, 2, "After", 0, "still serving"));
        log->Release();
        session.End();
    }

    const std::string text = m_log.Appended();
    EXPECT_TRUE(EndsWithCrLf(text));
    const auto lines = CrLfLines(text);
    ASSERT_EQ(6u + 5 + 5 + 4 + 1, lines.size());
    size_t n = 0;
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE," + mib + ",\"" + mib + "\""));
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE,Big,\"" + sixteen + "\""));
    // Sources go out unchanged, messages cleaned; no text is used as a format.
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE,S,%s%n\"q\",\"%s%n%x%p,\t\x01\x1b'q'  %%\"")) << lines[2];
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE,cut,\"nul\"")) << lines[3];
    // Unpaired surrogates and characters the ANSI code page lacks become its default character.
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE,a?b?,\"c?d\"")) << lines[4];
    EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,RELEASE,??,\"??\"")) << lines[5];
    for (int code : codes)
        EXPECT_TRUE(EndsWith(lines[n++], ",UNKNOWN_EVENT_TYPE,RELEASE,Type,\"type " + std::to_string(code) + "\""))
            << lines[n - 1];
    for (int code : codes)
        EXPECT_TRUE(EndsWith(lines[n++], ",INFORMATION,UNKNOWN_LEVEL,Level,\"level " + std::to_string(code) + "\""))
            << lines[n - 1];
    // The run is in UTC; counts from 2^31 are the years 2038 to 2106.
    const char* const timeTexts[] = {"Thu Jan 01 12:00:00 AM ", "Tue Jan 19 03:14:07 AM ", "Tue Jan 19 03:14:08 AM ",
                                     "Sun Feb 07 06:28:15 AM "};
    for (const char* timeText : timeTexts)
        EXPECT_EQ(0u, lines[n++].find(timeText)) << lines[n - 1];
    EXPECT_TRUE(EndsWith(lines[n++], ",WARNING,DEBUG,After,\"still serving\""));

    // Alarm records: every time carries its stamp.
    const auto alarms = CrLfLines(m_alarm.Text());
    ASSERT_EQ(4u, alarms.size()) << m_alarm.Text();
    const char* const stamps[] = {"1970-01-01T00:00:00+00:00(", "2038-01-19T03:14:07+00:00(",
                                  "2038-01-19T03:14:08+00:00(", "2106-02-07T06:28:15+00:00("};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(0u, alarms[i].find(stamps[i])) << alarms[i];
    EXPECT_TRUE(EndsWith(alarms[3], " [ERROR] [Time] time 4294967295")) << alarms[3];
}
