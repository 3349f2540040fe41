// The class factory and the shared object in this process, over the
// recording service: interface table, locks, LogEvent's conversions and
// failures, connection points and the dispatch part.

#include "ClientSupport.h"
#include "ClassFactory.h"
#include "FakeLogService.h"
#include "ServerLock.h"
#include "Win32Error.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <olectl.h>
#include <stdexcept>

using namespace VardelServer;
using namespace VardelTest;

namespace {

void* const SENTINEL = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xdeadbeef));


class VardelEventLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_HR(S_OK, CoInitialize(nullptr));
        FakeService() = CFakeServiceRecord();
        ASSERT_EQ(0, ServerLockCount());
        m_factory = new CVardelEventLogFactory();
    }
    void TearDown() override
    {
        if (m_factory) {
            EXPECT_EQ(0u, m_factory->Release());
        }
        EXPECT_EQ(0, ServerLockCount()) << "every reference and lock given back";
        FakeService() = CFakeServiceRecord();
        CoUninitialize();
    }

    IVardelEventLog* Create()
    {
        void* object = nullptr;
        EXPECT_HR(S_OK, m_factory->CreateInstance(nullptr, IID_IVardelEventLog, &object));
        return static_cast<IVardelEventLog*>(object);
    }

    CVardelEventLogFactory* m_factory = nullptr;
};

TEST_F(VardelEventLog, TheFactoryBuildsOneObjectAndOneStartedServiceThatItStopsAtTheEnd)
{
    EXPECT_EQ((std::vector<std::string>{"ctor", "StartLog"}), FakeService().calls);

    IVardelEventLog* first = Create();
    IVardelEventLog* second = Create();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, FakeService().constructed) << "the second creation starts no second service";
    EXPECT_EQ(static_cast<IUnknown*>(first), FakeService().owner) << "the object owns the service";
    first->Release();
    second->Release();

    EXPECT_EQ(0u, m_factory->Release());
    m_factory = nullptr;
    EXPECT_EQ((std::vector<std::string>{"ctor", "StartLog", "ShutdownLog", "dtor"}), FakeService().calls);
}

TEST_F(VardelEventLog, CreateInstanceChecksItsArgumentsInOrder)
{
    EXPECT_HR(E_POINTER, m_factory->CreateInstance(nullptr, IID_IUnknown, nullptr));

    void* object = SENTINEL;
    IUnknown* outer = reinterpret_cast<IUnknown*>(m_factory);
    EXPECT_HR(CLASS_E_NOAGGREGATION, m_factory->CreateInstance(outer, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);

    object = SENTINEL;
    EXPECT_HR(E_NOINTERFACE, m_factory->CreateInstance(nullptr, IID_IPersist, &object));
    EXPECT_EQ(nullptr, object);

    IClassFactory* factory = nullptr;
    EXPECT_HR(S_OK, m_factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(static_cast<IClassFactory*>(m_factory), factory);
    factory->Release();
}

TEST_F(VardelEventLog, QueryInterfaceAnswersFromItsTable)
{
    IVardelEventLog* log = Create();
    ASSERT_NE(nullptr, log);
    void* p = nullptr;

    EXPECT_HR(S_OK, log->QueryInterface(IID_IUnknown, &p));
    EXPECT_EQ(static_cast<void*>(log), p);
    static_cast<IUnknown*>(p)->Release();
    EXPECT_HR(S_OK, log->QueryInterface(IID_IDispatch, &p));
    EXPECT_EQ(static_cast<void*>(static_cast<IDispatch*>(log)), p) << "the same part as IVardelEventLog";
    static_cast<IUnknown*>(p)->Release();

    ISupportErrorInfo* errorInfo = nullptr;
    EXPECT_HR(S_OK, log->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)));
    IConnectionPointContainer* container = nullptr;
    EXPECT_HR(S_OK, errorInfo->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
    IUnknown* identity = nullptr;
    EXPECT_HR(S_OK, container->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(log), identity) << "one identity from every part";
    identity->Release();
    container->Release();
    errorInfo->Release();

    for (REFIID other : {IID_IPersist, IID_IClassFactory, IID_IConnectionPoint, IID_IProvideClassInfo}) {
        p = SENTINEL;
        EXPECT_HR(E_NOINTERFACE, log->QueryInterface(other, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_HR(E_POINTER, log->QueryInterface(IID_IUnknown, nullptr));
    log->Release();
}

TEST_F(VardelEventLog, ReferencesAndLockServerAreServerLocksWhileFactoryReferencesAreNot)
{
    IVardelEventLog* log = Create();
    EXPECT_EQ(1, ServerLockCount());
    EXPECT_EQ(2u, log->AddRef());
    EXPECT_EQ(1u, log->Release());

    EXPECT_EQ(2u, m_factory->AddRef());
    EXPECT_EQ(1, ServerLockCount());
    EXPECT_EQ(1u, m_factory->Release());

    EXPECT_HR(S_OK, m_factory->LockServer(TRUE));
    EXPECT_EQ(2, ServerLockCount());
    EXPECT_HR(S_OK, m_factory->LockServer(FALSE));
    EXPECT_EQ(1, ServerLockCount());
    EXPECT_EQ(0u, log->Release());
}

TEST_F(VardelEventLog, LogEventPassesValuesUnchangedAndStringsCutAtTheFirstNul)
{
    IVardelEventLog* log = Create();
    CBstr source(L"Pump Control"), message(L"Pressure \"high\"");
    CBstr cutSource(L"ab\0cd", 5), cutMessage(L"\0hidden", 7);
    EXPECT_HR(S_OK, log->LogEvent(LOG_ERROR, 3, source.get(), 1073741824u, message.get()));
    EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(77), -5, nullptr, 0xFFFFFFFFu, nullptr));
    EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(-1), 0, cutSource.get(), 0, cutMessage.get()));
    log->Release();

    const auto& events = FakeService().events;
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ(2, events[0].type);
    EXPECT_EQ(3, events[0].level);
    EXPECT_EQ("Pump Control", events[0].source);
    EXPECT_EQ(1073741824u, events[0].time);
    EXPECT_EQ("Pressure \"high\"", events[0].message);

    EXPECT_EQ(77, events[1].type);
    EXPECT_EQ(-5, events[1].level);
    EXPECT_EQ("", events[1].source);
    EXPECT_EQ(0xFFFFFFFFu, events[1].time);
    EXPECT_EQ("", events[1].message);

    EXPECT_EQ(-1, events[2].type);
    EXPECT_EQ("ab", events[2].source);
    EXPECT_EQ("", events[2].message);
}

TEST_F(VardelEventLog, NoExceptionOfTheServiceCrossesLogEvent)
{
    IVardelEventLog* log = Create();
    CBstr text(L"x");
    struct {
        std::function<void()> raise;
        HRESULT expected;
    } cases[] = {
        {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {[] { throw Vardel::CWin32Error(ERROR_ACCESS_DENIED, "denied"); }, static_cast<HRESULT>(0x80070005)},
        {[] { throw Vardel::CWin32Error(ERROR_NOT_ENOUGH_QUOTA, "quota"); }, static_cast<HRESULT>(0x80070718)},
        {[] { throw Vardel::CWin32Error(ERROR_SUCCESS, "no code"); }, E_FAIL},
        {[] { throw std::runtime_error("other"); }, E_FAIL},
        {[] { throw 42; }, E_FAIL},
    };
    for (const auto& c : cases) {
        FakeService().onLogEvent = c.raise;
        EXPECT_HR(c.expected, log->LogEvent(LOG_INFORMATION, 1, text.get(), 0, text.get()));
    }
    EXPECT_TRUE(FakeService().events.empty());
    log->Release();
}

TEST_F(VardelEventLog, ErrorInfoIsClaimedForIVardelEventLogOnly)
{
    IVardelEventLog* log = Create();
    ISupportErrorInfo* errorInfo = nullptr;
    ASSERT_HR(S_OK, log->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)));
    EXPECT_HR(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_IVardelEventLog));
    EXPECT_HR(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_HR(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IUnknown));
    errorInfo->Release();
    log->Release();
}

TEST_F(VardelEventLog, ThereAreNoConnectionPointsAndTheEmptyEnumeratorHoldsALock)
{
    IVardelEventLog* log = Create();
    IConnectionPointContainer* container = nullptr;
    ASSERT_HR(S_OK, log->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));

    EXPECT_HR(E_POINTER, container->FindConnectionPoint(DIID__IVardelEventLogEvents, nullptr));
    for (REFIID iid : {DIID__IVardelEventLogEvents, IID_IPropertyNotifySink}) {
        IConnectionPoint* point = static_cast<IConnectionPoint*>(SENTINEL);
        EXPECT_HR(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(iid, &point));
        EXPECT_EQ(nullptr, point);
    }

    EXPECT_HR(E_POINTER, container->EnumConnectionPoints(nullptr));
    const LONG before = ServerLockCount();
    IEnumConnectionPoints* points = nullptr;
    ASSERT_HR(S_OK, container->EnumConnectionPoints(&points));
    EXPECT_EQ(before + 1, ServerLockCount());

    IConnectionPoint* point = static_cast<IConnectionPoint*>(SENTINEL);
    ULONG fetched = 0xdeadbeef;
    EXPECT_HR(S_FALSE, points->Next(1, &point, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_HR(S_FALSE, points->Next(1, &point, nullptr));
    IConnectionPoint* several[2];
    EXPECT_HR(E_POINTER, points->Next(2, several, nullptr));
    EXPECT_HR(S_OK, points->Next(0, several, &fetched));
    EXPECT_HR(S_FALSE, points->Skip(1));
    EXPECT_HR(S_OK, points->Reset());

    IEnumConnectionPoints* clone = nullptr;
    EXPECT_HR(S_OK, points->Clone(&clone));
    EXPECT_EQ(before + 2, ServerLockCount());
    EXPECT_HR(S_FALSE, clone->Next(1, &point, &fetched));
    clone->Release();
    EXPECT_EQ(0u, points->Release());
    EXPECT_EQ(before, ServerLockCount());

    container->Release();
    log->Release();
}

TEST_F(VardelEventLog, AFailingStartStillGivesAnObject)
{
    ASSERT_EQ(0u, m_factory->Release());
    FakeService() = CFakeServiceRecord();
    FakeService().onStartLog = [] { throw std::bad_alloc(); };
    m_factory = new CVardelEventLogFactory();
    EXPECT_EQ(1, FakeService().started);
    IVardelEventLog* log = Create();
    ASSERT_NE(nullptr, log);
    log->Release();
}

TEST(VardelEventLogObject, DuringAndAfterTheStopLogEventFailsAsDisconnected)
{
    FakeService() = CFakeServiceRecord();
    {
        CVardelEventLog object;
        // The stop serves calls while the service drains.
        HRESULT during = S_OK;
        FakeService().onShutdownLog = [&] {
            CBstr text(L"during");
            during = object.LogEvent(LOG_INFORMATION, 1, text.get(), 0, text.get());
        };
        object.StopService();
        EXPECT_HR(RPC_E_DISCONNECTED, during);
        object.StopService();
        CBstr text(L"late");
        EXPECT_HR(RPC_E_DISCONNECTED, object.LogEvent(LOG_INFORMATION, 1, text.get(), 0, text.get()));
        EXPECT_EQ((std::vector<std::string>{"ctor", "StartLog", "ShutdownLog", "dtor"}), FakeService().calls);
    }
    EXPECT_EQ(0, ServerLockCount());
    FakeService() = CFakeServiceRecord();
}

// The dispatch part reads the registered type library.
class VardelEventLogDispatch : public VardelEventLog {
protected:
    const std::string m_libid = Vardel::GuidText(LIBID_VARDELEVENTLOGGERLib);
    CRegistryKeyGuard m_typeLib{HKEY_CLASSES_ROOT, "TypeLib\\" + m_libid};
    CRegistryKeyGuard m_interface{HKEY_CLASSES_ROOT, "Interface\\" + Vardel::GuidText(IID_IVardelEventLog)};
    CRegistryKeyGuard m_events{HKEY_CLASSES_ROOT, "Interface\\" + Vardel::GuidText(DIID__IVardelEventLogEvents)};

    void RegisterLibrary()
    {
        ITypeLib* library = nullptr;
        ASSERT_HR(S_OK, LoadTypeLibEx(TEXT_TLB, REGKIND_NONE, &library));
        std::wstring path = TEXT_TLB;
        ASSERT_HR(S_OK, RegisterTypeLib(library, &path[0], nullptr));
        library->Release();
    }

#define WIDEN2(x) L##x
#define WIDEN(x) WIDEN2(x)
    static constexpr const wchar_t TEXT_TLB[] = WIDEN(VARDEL_TEST_TLB);
};

TEST_F(VardelEventLogDispatch, WithoutTheRegisteredLibraryTheDispatchCallsFailWithTheLoadersError)
{
    IVardelEventLog* log = Create();
    UINT count = 0;
    EXPECT_HR(S_OK, log->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);

    ITypeInfo* info = static_cast<ITypeInfo*>(SENTINEL);
    EXPECT_HR(TYPE_E_LIBNOTREGISTERED, log->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
    LPOLESTR name = const_cast<LPOLESTR>(L"LogEvent");
    DISPID id = 0;
    EXPECT_HR(TYPE_E_LIBNOTREGISTERED, log->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    DISPPARAMS none = {};
    EXPECT_HR(TYPE_E_LIBNOTREGISTERED, log->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    log->Release();
}

TEST_F(VardelEventLogDispatch, LateBoundLogEventReachesTheSameMethod)
{
    RegisterLibrary();
    IVardelEventLog* log = Create();

    ITypeInfo* info = nullptr;
    EXPECT_HR(DISP_E_BADINDEX, log->GetTypeInfo(1, 0, &info));
    ASSERT_HR(S_OK, log->GetTypeInfo(0, 0, &info));
    BSTR names[8] = {};
    UINT found = 0;
    EXPECT_HR(S_OK, info->GetNames(1, names, 8, &found));
    std::vector<std::wstring> got(names, names + found);
    for (UINT i = 0; i < found; ++i)
        SysFreeString(names[i]);
    EXPECT_EQ((std::vector<std::wstring>{L"LogEvent", L"type", L"nLevel", L"bstrSource", L"dwtime", L"bstrMessage"}),
              got);
    info->Release();

    LPOLESTR name = const_cast<LPOLESTR>(L"LogEvent");
    DISPID id = 0;
    EXPECT_HR(S_OK, log->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    EXPECT_EQ(1, id);
    EXPECT_HR(DISP_E_UNKNOWNINTERFACE, log->GetIDsOfNames(IID_IDispatch, &name, 1, 0, &id));

    // Arguments go in reverse order.
    CBstr source(L"Late"), message(L"bound\0cut", 9);
    CLogEventArgs args(3, 2, source.get(), 86400, message.get());
    DISPPARAMS params = args.Params();
    VARIANT result;
    VariantInit(&result);
    EXPECT_HR(S_OK, log->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
    EXPECT_HR(DISP_E_UNKNOWNINTERFACE, log->Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result, nullptr,
                                                   nullptr));
    log->Release();

    ASSERT_EQ(1u, FakeService().events.size());
    const auto& e = FakeService().events[0];
    EXPECT_EQ(3, e.type);
    EXPECT_EQ(2, e.level);
    EXPECT_EQ("Late", e.source);
    EXPECT_EQ(86400u, e.time);
    EXPECT_EQ("bound", e.message);
}

} // namespace
