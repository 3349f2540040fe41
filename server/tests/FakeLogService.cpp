#include "FakeLogService.h"

#include "VardelEventLogImpl.h"

namespace VardelTest {

CFakeServiceRecord& FakeService()
{
    static CFakeServiceRecord record;
    return record;
}

} // namespace VardelTest

namespace VardelEventLogger {

using VardelTest::FakeService;

CVardelEventLogImpl::CVardelEventLogImpl(IUnknown* owner, std::size_t, HandleWaitFunction)
{
    ++FakeService().constructed;
    FakeService().owner = owner;
    FakeService().calls.push_back("ctor");
}

CVardelEventLogImpl::~CVardelEventLogImpl()
{
    ++FakeService().destroyed;
    FakeService().calls.push_back("dtor");
}

void CVardelEventLogImpl::StartLog()
{
    ++FakeService().started;
    FakeService().calls.push_back("StartLog");
    if (FakeService().onStartLog)
        FakeService().onStartLog();
}

void CVardelEventLogImpl::LogEvent(std::int32_t type, std::int32_t level, std::string source, std::uint32_t time,
                                   std::string message)
{
    FakeService().calls.push_back("LogEvent");
    if (FakeService().onLogEvent)
        FakeService().onLogEvent();
    FakeService().events.push_back({type, level, std::move(source), time, std::move(message)});
}

void CVardelEventLogImpl::ShutdownLog()
{
    ++FakeService().shutdowns;
    FakeService().calls.push_back("ShutdownLog");
    if (FakeService().onShutdownLog)
        FakeService().onShutdownLog();
}

bool CVardelEventLogImpl::StartWorker()
{
    return false;
}

} // namespace VardelEventLogger
