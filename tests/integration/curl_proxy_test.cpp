// The user's proxy setting on POSIX: the environment in the Windows form, the bypass
// list, and whole fetches through HttpClient and a real tinyproxy on loopback.
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_client.h"
#include "platform/posix/http_curl/curl_proxy.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "test_http_server.h"
#include "test_peers.h"

namespace skiff {
namespace {

using test::ReceivedRequest;
using test::ServerConnection;

EnvironmentProxy FromEnvironment(const std::map<std::string, std::string>& variables) {
  return ReadEnvironmentProxy([&](const char* name) -> const char* {
    auto it = variables.find(name);
    return it == variables.end() ? nullptr : it->second.c_str();
  });
}

TEST(EnvironmentProxy, IsReportedInThePlatformForm) {
  EnvironmentProxy none = FromEnvironment({{"no_proxy", "localhost"}});
  EXPECT_EQ(none.proxy, "");

  EnvironmentProxy split = FromEnvironment({{"http_proxy", "http://plain.test:3128/"},
                                            {"HTTPS_PROXY", " secure.test:8443 "},
                                            {"no_proxy", " localhost, .example.com ,10.0.0.0/8,,"}});
  EXPECT_EQ(split.proxy, "http=plain.test:3128;https=secure.test:8443");
  EXPECT_EQ(split.bypass, "localhost;.example.com;10.0.0.0/8");

  EnvironmentProxy fallback =
      FromEnvironment({{"ALL_PROXY", "socks5://relay.test:1080"}, {"https_proxy", ""}});
  EXPECT_EQ(fallback.proxy, "http=socks5://relay.test:1080;https=socks5://relay.test:1080")
      << "all_proxy stands in for every scheme without its own (a blank value counts as unset)";

  EnvironmentProxy lowerFirst = FromEnvironment({{"http_proxy", "lower.test:1"},
                                                 {"HTTP_PROXY", "upper.test:2"},
                                                 {"NO_PROXY", "upper"},
                                                 {"no_proxy", "lower"}});
  EXPECT_EQ(lowerFirst.proxy, "http=lower.test:1");
  EXPECT_EQ(lowerFirst.bypass, "lower");
}

TEST(ProxyRules, ChooseByScheme) {
  ProxyRules rules = ParseProxyRules("http=plain.test:3128; https=secure.test:8443", "");
  EXPECT_EQ(ChooseProxy(rules, false, "site.test", 80), "http://plain.test:3128");
  EXPECT_EQ(ChooseProxy(rules, true, "site.test", 443), "http://secure.test:8443");

  ProxyRules any = ParseProxyRules("every.test:8080", "");
  EXPECT_EQ(ChooseProxy(any, false, "site.test", 80), "http://every.test:8080");
  EXPECT_EQ(ChooseProxy(any, true, "site.test", 443), "http://every.test:8080");

  ProxyRules onlySecure = ParseProxyRules("https=secure.test:8443", "");
  EXPECT_EQ(ChooseProxy(onlySecure, false, "site.test", 80), "") << "no proxy applies to plain requests";

  ProxyRules socks = ParseProxyRules("https=socks5://relay.test:1080", "");
  EXPECT_EQ(ChooseProxy(socks, true, "site.test", 443), "socks5://relay.test:1080");
  EXPECT_FALSE(IsForwardingProxy("socks5://relay.test:1080"));
  EXPECT_TRUE(IsForwardingProxy("http://plain.test:3128"));
}

TEST(ProxyRules, BypassList) {
  struct Case {
    const char* list;
    const char* host;
    std::uint16_t port;
    bool bypassed;
  } cases[] = {
      {"*", "anything.test", 80, true},
      {"example.com", "example.com", 80, true},
      {"example.com", "WWW.Example.COM", 80, true},
      {"example.com", "notexample.com", 80, false},
      {".example.com", "a.b.example.com", 80, true},
      {".example.com", "example.com", 80, true},
      {"*.example.com", "a.example.com", 80, true},
      {"*.example.com", "example.org", 80, false},
      {"<local>", "intranet", 80, true},
      {"<local>", "intranet.corp", 80, false},
      {"<local>", "127.0.0.1", 80, false},
      {"10.0.0.0/8", "10.200.3.4", 80, true},
      {"10.0.0.0/8", "11.0.0.1", 80, false},
      {"192.168.1.0/23", "192.168.0.9", 80, true},
      {"192.168.1.0/24", "192.168.0.9", 80, false},
      {"127.0.0.1", "127.0.0.1", 8080, true},
      {"::1", "[::1]", 80, true},
      {"[::1]", "::1", 80, true},
      {"fd00::/8", "fd12::1", 80, true},
      {"fd00::/8", "fe80::1", 80, false},
      {"example.com:8080", "example.com", 8080, true},
      {"example.com:8080", "example.com", 80, false},
      {"[::1]:8080", "::1", 8080, true},
      {"[::1]:8080", "::1", 80, false},
      {"one.test;two.test, three.test", "three.test", 80, true},
      {"", "example.com", 80, false},
  };
  for (const Case& c : cases) {
    ProxyRules rules = ParseProxyRules("proxy.test:1", c.list);
    EXPECT_EQ(BypassMatches(rules.bypass, c.host, c.port), c.bypassed)
        << "list \"" << c.list << "\" host " << c.host << " port " << c.port;
  }
}

// Sets the proxy variables of a test and puts the old ones back afterwards.
class ProxyEnvironment {
 public:
  static constexpr const char* kNames[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                           "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};
  ProxyEnvironment() {
    for (const char* name : kNames) {
      if (const char* value = std::getenv(name)) m_saved[name] = value;
      unsetenv(name);
    }
  }
  ~ProxyEnvironment() {
    for (const char* name : kNames) {
      auto it = m_saved.find(name);
      if (it != m_saved.end())
        setenv(name, it->second.c_str(), 1);
      else
        unsetenv(name);
    }
  }
  void Set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

 private:
  std::map<std::string, std::string> m_saved;
};

struct FetchResult {
  std::uint32_t code = 0;
  std::uint32_t status = 0;
  std::string body;
};

// One whole fetch the way the handheld drives it, through HttpClient.
FetchResult FetchThroughClient(IHttpTransport& transport, const std::u16string& host, std::uint16_t port,
                               const std::u16string& path, bool secure) {
  HttpClient client(transport);
  FetchResult result;
  client.SetUserAgent(u"ProxyTest/1.0");
  for (std::uint32_t code :
       {client.SetHost(host.c_str()), client.SetPort(port), client.SetVerb(u"GET"),
        client.SetPath(path.c_str()), client.SetSecure(secure), client.SetHeaders(u"")}) {
    if (code != 0) {
      result.code = code;
      return result;
    }
  }
  WideChar statusText[2000];
  std::uint32_t textBytes = 4000;
  result.code = client.QueryStatus(&result.status, statusText, &textBytes);
  char buffer[4000];
  for (std::uint16_t got = 1; result.code == 0 && got != 0;) {
    result.code = client.ReadBody(buffer, sizeof buffer, &got);
    result.body.append(buffer, got);
  }
  client.Reset();
  return result;
}

// Proxied, tunnelled, bypassed and refused fetches are in the transport contract; these
// are the environment's own rules.
TEST(ProxyFetch, EnvironmentRulesOfThePosixSetting) {
  ProxyEnvironment environment;
  test::TinyproxyProcess proxy;
  test::TestHttpServer plain;
  plain.Route("/page", [](const ReceivedRequest& r, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", "page " + r.target);
  });
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport();
  IHttpTransport& transport = *transportOwner;
  const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.Port());

  environment.Set("http_proxy", "http://" + proxyAddress);
  environment.Set("https_proxy", proxyAddress);
  UserProxyConfig config;
  ASSERT_EQ(transport.GetUserProxyConfig(config), 0u);
  EXPECT_TRUE(config.hasProxy);
  EXPECT_EQ(WideToUtf8String(config.proxy), "http=" + proxyAddress + ";https=" + proxyAddress);

  // A session opened without a proxy goes direct although the variables name one:
  // libcurl must not read them on its own.
  {
    HttpHandle session = nullptr, connection = nullptr, request = nullptr;
    ASSERT_EQ(transport.OpenSession(u"", kAccessTypeNoProxy, nullptr, nullptr, &session), 0u);
    ASSERT_EQ(transport.Connect(session, u"127.0.0.1", plain.Port(), &connection), 0u);
    ASSERT_EQ(transport.OpenRequest(connection, u"GET", u"/page?no-proxy-session", nullptr, 0, &request), 0u);
    EXPECT_EQ(transport.SendRequest(request, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(transport.ReceiveResponse(request), 0u);
    for (HttpHandle handle : {request, connection, session}) transport.CloseHandle(handle);
  }

  // A proxy for secure requests only leaves plain ones direct.
  unsetenv("http_proxy");
  FetchResult plainOnly =
      FetchThroughClient(transport, u"127.0.0.1", plain.Port(), u"/page?plain-direct", false);
  ASSERT_EQ(plainOnly.code, 0u);
  EXPECT_EQ(plain.Requests().size(), 2u) << "both plain requests reached the server";

  // Port 0 is the scheme's default, as the proxy's log shows (nothing listens there, so
  // the proxy answers with an error page of its own).
  environment.Set("http_proxy", proxyAddress);
  FetchResult defaultPort = FetchThroughClient(transport, u"127.0.0.1", 0, u"/default-port", false);
  EXPECT_EQ(defaultPort.code, 0u);
  EXPECT_GE(defaultPort.status, 400u);
  EXPECT_TRUE(proxy.LogContains("GET http://127.0.0.1/default-port ")) << proxy.Log();
  EXPECT_EQ(proxy.Log().find("no-proxy-session"), std::string::npos) << proxy.Log();
  EXPECT_EQ(proxy.Log().find("plain-direct"), std::string::npos) << proxy.Log();
}

TEST(ProxyFetch, RefusedTunnelIsAnsweredWithTheProxysResponse) {
  ProxyEnvironment environment;
  test::TinyproxyProcess proxy("ConnectPort 443\n");  // the server's port is not allowed
  test::TestHttpServer secure;
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport();
  IHttpTransport& transport = *transportOwner;
  environment.Set("https_proxy", "127.0.0.1:" + std::to_string(proxy.Port()));
  HttpClient client(transport);
  ASSERT_EQ(client.SetHost(u"127.0.0.1"), 0u);
  ASSERT_EQ(client.SetPort(secure.Port()), 0u);
  ASSERT_EQ(client.SetVerb(u"GET"), 0u);
  ASSERT_EQ(client.SetSecure(true), 0u);
  ASSERT_EQ(client.SetHeaders(u""), 0u);
  std::uint32_t status = 0, textBytes = 4000;
  WideChar text[2000];
  ASSERT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);
  EXPECT_EQ(status, 403u) << "the proxy's refusal is the response";
  WideChar headers[2000];
  std::uint32_t headerBytes = 4000;
  ASSERT_EQ(client.QueryRawHeaders(headers, &headerBytes, 4000), 0u);
  std::string raw = WideToUtf8String(std::u16string_view(headers, headerBytes / 2));
  EXPECT_TRUE(raw.starts_with("HTTP/1.") && raw.find(" 403 ") == 8 && raw.ends_with("\r\n\r\n")) << raw;
  char buffer[4000];
  std::uint16_t got = 1;
  EXPECT_EQ(client.ReadBody(buffer, sizeof buffer, &got), 0u);
  EXPECT_EQ(got, 0u) << "and it has no body to read";
  EXPECT_TRUE(secure.Requests().empty());
  client.Reset();
}

}  // namespace
}  // namespace skiff
