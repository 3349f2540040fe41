#pragma once
// Whether the host product runs: its named event exists. Opened for
// SYNCHRONIZE only and closed at once, so the check neither keeps the event
// alive nor consumes it.

#include "FixedNames.h"
#include "Handles.h"

namespace Vardel {

inline bool HostEventExists()
{
    const CUniqueHandle event(::OpenEventA(SYNCHRONIZE, FALSE, HOST_EVENT_NAME));
    return static_cast<bool>(event);
}

} // namespace Vardel
