// Clients in this process and in a child process reach the server that
// COM starts, through the vtable and late-bound; the events arrive in the
// day's log file and, for errors, in the alarm file.

#include "ServerHarness.h"

#include <olectl.h>
#include <ocidl.h>

using namespace VardelTest;

namespace {

const char* const CHILD_MESSAGE_VARIABLE = "VARDEL_TEST_CHILD_MESSAGE";

class Client : public CServerTest<> {
protected:
    void SetUp() override
    {
        CServerTest::SetUp();
        if (!IsSkipped())
            ASSERT_EQ(0u, RunServer("/RegServer"));
    }

    CAlarmCapture m_alarm;
    CComInit m_com;
};

TEST_F(Client, VtableAndLateBoundCallsReachTheLogAndTheAlarmFile)
{
    const std::string early = Marker("vtable"), late = Marker("late"), alarm = Marker("alarm");
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));

        CBstr source("Pump Control"), message(early + " \"quoted\"");
        EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(1), 1, source.get(), 1073741824u, message.get()));
        CBstr alarmSource("Valve"), alarmMessage(alarm);
        EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(3), 3, alarmSource.get(), 1073741824u, alarmMessage.get()));
        // Null strings log as empty ones; an embedded NUL cuts the text.
        EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(2), 2, nullptr, 0, nullptr));
        const std::wstring cutText = std::wstring(L"cut") + L'\0' + L"hidden";
        CBstr cutSource(cutText.c_str(), static_cast<UINT>(cutText.size()));
        CBstr cutMessage(late + "-cut");
        EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(1), 2, cutSource.get(), 0, cutMessage.get()));

        // Late bound, through the type library's dispatch on the server side.
        LPOLESTR name = const_cast<LPOLESTR>(L"LogEvent");
        DISPID id = 0;
        ASSERT_HR(S_OK, log->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
        EXPECT_EQ(1, id);
        CBstr lateSource("Script"), lateMessage(late);
        CLogEventArgs args(4, 3, lateSource.get(), 86400, lateMessage.get());
        DISPPARAMS params = args.Params();
        EXPECT_HR(S_OK, log->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                    nullptr));
        UINT count = 0;
        EXPECT_HR(S_OK, log->GetTypeInfoCount(&count));
        EXPECT_EQ(1u, count);
        log->Release();
        session.End();
    }

    const std::string text = m_log.Appended();
    EXPECT_TRUE(EndsWithCrLf(text)) << text;
    const auto lines = CrLfLines(text);
    ASSERT_EQ(5u, lines.size()) << text;
    EXPECT_EQ(1u, LinesEndingWith({lines[0]}, ",INFORMATION,TRACE,Pump Control,\"" + early + " 'quoted'\"").size())
        << lines[0];
    EXPECT_EQ(1u, LinesEndingWith({lines[1]}, ",ERROR,RELEASE,Valve,\"" + alarm + "\"").size()) << lines[1];
    EXPECT_EQ(1u, LinesEndingWith({lines[2]}, ",WARNING,DEBUG,,\"\"").size()) << lines[2];
    EXPECT_EQ(1u, LinesEndingWith({lines[3]}, ",INFORMATION,DEBUG,cut,\"" + late + "-cut\"").size()) << lines[3];
    EXPECT_EQ(1u, LinesEndingWith({lines[4]}, ",FATAL_ERROR,RELEASE,Script,\"" + late + "\"").size()) << lines[4];

    // Types 3 and 4 are alarms.
    const auto alarms = CrLfLines(m_alarm.Text());
    ASSERT_EQ(2u, alarms.size()) << m_alarm.Text();
    EXPECT_EQ(1u, LinesEndingWith({alarms[0]}, " [ERROR] [Valve] " + alarm).size()) << alarms[0];
    EXPECT_EQ(1u, LinesEndingWith({alarms[1]}, " [FATAL_ERROR] [Script] " + late).size()) << alarms[1];
}

// Counts its references; the server must not keep it as an outer object.
class COuter : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override
    {
        if (!IsEqualIID(iid, IID_IUnknown)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_references); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_references); }
    LONG m_references = 1;
};

// Over the wire: no aggregation, error info for IVardelEventLog only, no
// connection points.
void ExpectTheRemoteObjectsRefusals()
{
    COuter outer;
    IUnknown* aggregated = reinterpret_cast<IUnknown*>(static_cast<ULONG_PTR>(0xdeadbeef));
    EXPECT_HR(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_VardelEventLog, &outer, CLSCTX_LOCAL_SERVER,
                                                      IID_IUnknown, reinterpret_cast<void**>(&aggregated)));
    EXPECT_EQ(nullptr, aggregated);

    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));

    ISupportErrorInfo* errorInfo = nullptr;
    ASSERT_HR(S_OK, log->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)));
    EXPECT_HR(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_IVardelEventLog));
    EXPECT_HR(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
    errorInfo->Release();

    IConnectionPointContainer* container = nullptr;
    ASSERT_HR(S_OK, log->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
    IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(static_cast<ULONG_PTR>(0xdeadbeef));
    EXPECT_HR(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(DIID__IVardelEventLogEvents, &point));
    EXPECT_EQ(nullptr, point);

    IEnumConnectionPoints* points = nullptr;
    ASSERT_HR(S_OK, container->EnumConnectionPoints(&points));
    ULONG fetched = 0xdeadbeef;
    point = nullptr;
    EXPECT_HR(S_FALSE, points->Next(1, &point, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(nullptr, point);
    points->Release();
    container->Release();

    void* none = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xdeadbeef));
    EXPECT_HR(E_NOINTERFACE, log->QueryInterface(IID_IPersist, &none));
    EXPECT_EQ(nullptr, none);
    log->Release();
}

TEST_F(Client, ClientsShareOneObjectThatRefusesAggregationAndOffersNoConnectionPoints)
{
    const std::string own = Marker("parent"), child = Marker("child");
    {
        CServerSession session;
        IVardelEventLog* first = nullptr;
        IVardelEventLog* second = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&first));
        ASSERT_HR(S_OK, CreateByProgId(&second));
        IUnknown* a = nullptr;
        IUnknown* b = nullptr;
        first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
        second->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
        EXPECT_EQ(a, b) << "one remote identity";
        a->Release();
        b->Release();

        // A client in another process reaches the same server.
        SetEnvironmentVariableA(CHILD_MESSAGE_VARIABLE, child.c_str());
        EXPECT_EQ(0u, RunProcess("\"" + SelfPath() + "\" --gtest_filter=ChildClient.LogsOneEvent", 60000));
        SetEnvironmentVariableA(CHILD_MESSAGE_VARIABLE, nullptr);
        EXPECT_EQ(1u, ServerProcessIds().size());

        CBstr source("Parent"), message(own);
        EXPECT_HR(S_OK, second->LogEvent(static_cast<eTType>(1), 3, source.get(), 0, message.get()));
        first->Release();
        second->Release();
        ExpectTheRemoteObjectsRefusals();
        session.End();
    }
    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(1u, LinesEndingWith({lines[0]}, ",INFORMATION,RELEASE,Child,\"" + child + "\"").size()) << lines[0];
    EXPECT_EQ(1u, LinesEndingWith({lines[1]}, ",INFORMATION,RELEASE,Parent,\"" + own + "\"").size()) << lines[1];
}

// Run only as the child of Client.ClientsShareOneObject...
TEST(ChildClient, LogsOneEvent)
{
    char message[128];
    if (!GetEnvironmentVariableA(CHILD_MESSAGE_VARIABLE, message, sizeof message))
        GTEST_SKIP() << "runs as a child of Client.ClientsShareOneObject...";
    CComInit com;
    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));
    CBstr source("Child"), text{std::string(message)};
    EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(1), 3, source.get(), 0, text.get()));
    log->Release();
}

} // namespace
