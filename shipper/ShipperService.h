#pragma once
// The service VardelShipper: a thin shell (control handler, stop event)
// around the same Run() that --console runs, with its settings from the
// registry key and views the server reads (the 32-bit view first).

#include "Shipper.h"

#include <functional>
#include <string>

namespace Vardel::Shipper {

// The service's settings from its registry values (read gives a value's
// text, or "" when absent; a number as decimal text). False, with why, when
// they do not make a setting the shipper can run with.
bool ServiceSettings(const std::function<std::string(const char* value)>& read, CSettings& settings,
                     std::string& why);

// Runs as the service when the service manager started this process;
// false when it did not (GetLastError is set).
bool RunAsService();

// Installs the service for this executable: its own process, automatic
// start, restarted after a failure. Removal stops it first (bounded).
bool InstallService(std::string& why);
bool UninstallService(std::string& why);

} // namespace Vardel::Shipper
