// A stand-in for the WinHTTP transport, built beside the window, so that the program
// runs until it joins: every request fails as it would with no network.
#pragma once

#include <memory>

#include "http/http_transport.h"

namespace skiff {

std::unique_ptr<IHttpTransport> CreateInterimHttpTransport();

}  // namespace skiff
