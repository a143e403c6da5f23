// What the transport contract test needs from each platform: its transport, the user's
// proxy setting where that platform keeps it, and the process's memory in use. One
// implementation per platform (libcurl on POSIX, WinHTTP on Windows) is linked in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/http_transport.h"

namespace skiff::test {

enum class TransportKind { Curl, WinHttp, WinHttpUnderWine };
TransportKind KindUnderTest();

// The platform's transport. trustTestCa: the test's certificate authority
// (SKIFF_TEST_CA_FILE) is trusted: a CA file for libcurl; under Wine, whose WinHTTP
// trusts no authority added to its root store, the test-only option that accepts an
// unknown authority.
std::unique_ptr<IHttpTransport> MakeTransportUnderTest(bool trustTestCa);

// Sets the user's proxy setting the way the platform keeps it ("host:port" for every
// scheme and a ';' bypass list); an empty proxy clears it. POSIX: the environment;
// Windows: the Internet settings in the registry of the test's own Wine prefix.
void SetUserProxy(const std::string& proxy, const std::string& bypass);

// Memory the process holds now: resident set on POSIX, working set on Windows.
std::uint64_t ProcessMemoryBytes();

}  // namespace skiff::test
