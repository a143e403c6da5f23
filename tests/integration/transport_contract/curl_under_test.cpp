// The contract test's platform part on POSIX: the libcurl transport, the proxy
// environment variables and the resident set from /proc.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/posix/http_curl/curl_transport.h"
#include "transport_under_test.h"

namespace skiff::test {

TransportKind KindUnderTest() {
  return TransportKind::Curl;
}

std::unique_ptr<IHttpTransport> MakeTransportUnderTest(bool trustTestCa) {
  CurlOptions options;
  if (const char* ca = std::getenv("SKIFF_TEST_CA_FILE"); trustTestCa && ca != nullptr)
    options.extraCaFile = ca;
  return CreateCurlTransport(options);
}

void SetUserProxy(const std::string& proxy, const std::string& bypass) {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    unsetenv(name);
  if (proxy.empty()) return;
  setenv("http_proxy", ("http://" + proxy).c_str(), 1);
  setenv("https_proxy", ("http://" + proxy).c_str(), 1);
  std::string noProxy = bypass;
  for (char& c : noProxy)
    if (c == ';') c = ',';
  if (!noProxy.empty()) setenv("no_proxy", noProxy.c_str(), 1);
}

std::uint64_t ProcessMemoryBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace skiff::test
