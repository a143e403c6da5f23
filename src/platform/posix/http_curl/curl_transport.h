// The POSIX HTTP transport: the WinHTTP-shaped seam on libcurl, answering with the codes
// and behaviour of the Windows HTTP stack at its defaults, so the handheld sees the same
// results on either platform.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "http/http_transport.h"

namespace skiff {

// Settings a test may change; the program uses the defaults, which are the Windows
// stack's: 60 s to connect, 30 s without progress while sending or receiving, unlimited
// name resolution, and only the system's certificate store trusted.
struct CurlOptions {
  std::chrono::milliseconds connectTimeout{60000};
  std::chrono::milliseconds sendReceiveTimeout{30000};
  // A PEM file of certificate authorities trusted in addition to the system's store.
  std::string extraCaFile;
};

// The transport the program uses on POSIX; the class itself stays inside its file.
std::unique_ptr<IHttpTransport> CreateCurlTransport(CurlOptions options = {});

}  // namespace skiff
