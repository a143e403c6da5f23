// Stand-ins for the Windows parts that are built beside the window (the COM creation of
// the device manager, the WinHTTP transport, the registry profile and Run value), so
// that the program runs until they join it. Each behaves as its real part does when
// the system refuses: no device manager registered, no network, nothing stored.
#pragma once

#include <memory>

#include "http/http_transport.h"
#include "platform/platform.h"
#include "shell/shell_rules.h"

namespace skiff {

std::unique_ptr<IDeviceManagerFactory> CreateInterimDeviceManagerFactory();
std::unique_ptr<IHttpTransport> CreateInterimHttpTransport();
std::unique_ptr<IProfile> CreateInterimProfile();
std::unique_ptr<IRunOnStartup> CreateInterimRunOnStartup();

}  // namespace skiff
