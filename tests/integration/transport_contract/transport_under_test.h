// What the transport tests share: the platform's part (one per platform is linked in),
// the loopback peers of http_peers.py, and one request driven step by step through the
// WinHTTP-shaped seam.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_client.h"
#include "http/http_transport.h"
#include "http/winhttp_errors.h"
#include "support/recording_log.h"

namespace skiff::test {

// Whether Wine's WinHTTP is under test, whose answers differ from Windows' in places.
bool UnderWine();
// The platform's transport; trustTestCa trusts SKIFF_TEST_CA_FILE's authority (under
// Wine, whose WinHTTP trusts no authority added to its root store, the test-only option
// that accepts an unknown authority).
std::unique_ptr<IHttpTransport> MakeTransportUnderTest(bool trustTestCa);
// Sets the user's proxy setting where the platform keeps it ("host:port" for every
// scheme, a ';' bypass list; empty: none): the environment on POSIX, the registry of
// the test's own Wine prefix on Windows.
void SetUserProxy(const std::string& proxy, const std::string& bypass);
// Resident set on POSIX, working set on Windows.
std::uint64_t ProcessMemoryBytes();
// The platform sessions the transport has opened so far, where it keeps such a thing
// (WinHTTP); none on POSIX, where every fetch shares the one pool.
std::optional<std::uint32_t> SessionsOpened(IHttpTransport& transport);

// The loopback peers that http_peers.py names in SKIFF_TEST_*.
struct Peers {
  static std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
  }
  static std::uint16_t Port(const char* name) {
    return static_cast<std::uint16_t>(std::atoi(Env(name).c_str()));
  }
  static std::uint16_t Http() { return Port("SKIFF_TEST_HTTP_PORT"); }
  static std::uint16_t Https() { return Port("SKIFF_TEST_HTTPS_PORT"); }
  static std::string Log(const char* name) {
    std::stringstream log;
    log << std::ifstream(Env(name)).rdbuf();
    return log.str();
  }
  static std::string ProxyLog() { return Log("SKIFF_TEST_PROXY_LOG"); }
  // True once the log named in `name` holds `text` (the deadline is a safety limit only).
  static bool Logged(const char* name, const std::string& text) {
    return testing::Eventually([&] { return Log(name).find(text) != std::string::npos; });
  }
  static bool ProxyLogged(const std::string& text) { return Logged("SKIFF_TEST_PROXY_LOG", text); }
};

// One request through a transport, closing what it opened.
class Fetch {
 public:
  explicit Fetch(IHttpTransport& transport) : m_transport(transport) {}
  ~Fetch() {
    for (HttpHandle handle : {request, connection, session})
      if (handle != nullptr) m_transport.CloseHandle(handle);
  }
  std::uint32_t Open(const std::string& host, std::uint16_t port, const std::string& verb,
                     const std::string& path, bool secure = false) {
    static const WideChar* const kAccept[] = {u"*/*", nullptr};
    if (std::uint32_t code =
            m_transport.OpenSession(u"SkiffTest/1.0", kAccessTypeNoProxy, nullptr, nullptr, &session))
      return code;
    if (std::uint32_t code = m_transport.Connect(session, Utf8ToWideString(host).c_str(), port, &connection))
      return code;
    return m_transport.OpenRequest(connection, Utf8ToWideString(verb).c_str(), Utf8ToWideString(path).c_str(),
                                   kAccept, kFlagEscapeDisable | (secure ? kFlagSecure : 0), &request);
  }
  // Open, send (headers and body as given) and receive; the first failing step's code.
  std::uint32_t Run(const std::string& host, std::uint16_t port, const std::string& verb,
                    const std::string& path, const std::string& headers = {}, const std::string& body = {},
                    bool secure = false) {
    if (std::uint32_t code = Open(host, port, verb, path, secure)) return code;
    const std::u16string wide = Utf8ToWideString(headers);
    if (std::uint32_t code = m_transport.SendRequest(
            request, wide.c_str(), static_cast<std::uint32_t>(wide.size()),
            body.empty() ? nullptr : body.data(), static_cast<std::uint32_t>(body.size())))
      return code;
    return m_transport.ReceiveResponse(request);
  }
  // A GET from the loopback peers (https by the name in the test certificate).
  std::uint32_t Get(const std::string& path, bool secure = false) {
    return Run(secure ? "localhost" : "127.0.0.1", secure ? Peers::Https() : Peers::Http(), "GET", path, {},
               {}, secure);
  }
  std::uint32_t Status() {
    std::uint32_t status = 0, bytes = sizeof status;
    EXPECT_EQ(m_transport.QueryHeaders(request, kQueryStatusCode | kQueryFlagNumber, &status, &bytes), 0u);
    return status;
  }
  // A text header query: the probe's size, then the text.
  std::string Text(std::uint32_t level) {
    std::uint32_t bytes = 0;
    EXPECT_EQ(m_transport.QueryHeaders(request, level, nullptr, &bytes), kErrorInsufficientBuffer);
    std::u16string text(bytes / 2, u'\0');
    EXPECT_EQ(m_transport.QueryHeaders(request, level, text.data(), &bytes), 0u);
    EXPECT_EQ(bytes, (text.size() - 1) * 2) << "success reports the length without the terminator";
    text.resize(bytes / 2);
    return WideToUtf8String(text);
  }
  // Reads the body to its end in pieces of `chunk`; a read's failure lands in *error.
  std::string Body(std::uint32_t chunk = 4000, std::uint32_t* error = nullptr) {
    std::string body;
    std::vector<char> buffer(chunk);
    std::uint32_t code = 0;
    for (std::uint32_t got = 1; code == 0 && got != 0;) {
      code = m_transport.ReadData(request, buffer.data(), chunk, &got);
      if (code == 0) body.append(buffer.data(), got);
    }
    if (error != nullptr) *error = code;
    return body;
  }

  HttpHandle session = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;

 private:
  IHttpTransport& m_transport;
};

// A GET through HttpClient, which reads the user's proxy setting as the session opens,
// up to its status; the first failing code. A user agent other than none is set first.
inline std::uint32_t StartThroughClient(HttpClient& client, const std::string& host, std::uint16_t port,
                                        const std::string& path, bool secure, std::uint32_t& status,
                                        const std::u16string& userAgent = {}) {
  const std::u16string wideHost = Utf8ToWideString(host), widePath = Utf8ToWideString(path);
  if (!userAgent.empty()) client.SetUserAgent(userAgent.c_str());
  for (std::uint32_t code :
       {client.SetHost(wideHost.c_str()), client.SetPort(port), client.SetVerb(u"GET"),
        client.SetPath(widePath.c_str()), client.SetSecure(secure), client.SetHeaders(u"")})
    if (code != 0) return code;
  std::uint32_t textBytes = 4000;
  WideChar text[2000];
  return client.QueryStatus(&status, text, &textBytes);
}

// The whole GET: the first failing code, else the status when it is not 200.
inline std::uint32_t FetchThroughClient(IHttpTransport& transport, const std::string& host,
                                        std::uint16_t port, const std::string& path, bool secure,
                                        std::string* body = nullptr, const std::u16string& userAgent = {}) {
  HttpClient client(transport);
  std::uint32_t status = 0;
  std::uint32_t code = StartThroughClient(client, host, port, path, secure, status, userAgent);
  char buffer[4000];
  for (std::uint16_t got = 1; code == 0 && got != 0;) {
    code = client.ReadBody(buffer, sizeof buffer, &got);
    if (body != nullptr) body->append(buffer, got);
  }
  client.Reset();
  return code == 0 && status != 200 ? status : code;
}

}  // namespace skiff::test
