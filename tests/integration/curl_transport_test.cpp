// What the libcurl transport does beyond the transport contract, against the same peers
// (linked into the contract test in the native builds): the proxy environment's rules,
// time-outs, header-query edge cases, hosts and paths, and the response-head parser and
// redirect policy on their own.
#include <map>

#include "integration/transport_contract/transport_under_test.h"
#include "platform/posix/http_curl/curl_proxy.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "platform/posix/http_curl/redirect_policy.h"
#include "platform/posix/http_curl/response_headers.h"

namespace skiff::test {
namespace {

TEST(CurlProxyRules, EnvironmentChoiceAndBypassList) {
  const struct {
    std::map<std::string, std::string> variables;
    const char* proxy;
    const char* bypass;
  } environments[] = {
      {{{"http_proxy", "http://plain.test:3128/"},
        {"HTTPS_PROXY", " secure.test:8443 "},
        {"no_proxy", " localhost, .example.com ,10.0.0.0/8,,"}},
       "http=plain.test:3128;https=secure.test:8443",
       "localhost;.example.com;10.0.0.0/8"},
      // all_proxy stands in for every scheme without its own; a blank value counts as unset.
      {{{"ALL_PROXY", "socks5://relay.test:1080"}, {"https_proxy", ""}},
       "http=socks5://relay.test:1080;https=socks5://relay.test:1080",
       ""},
      {{{"http_proxy", "lower:1"}, {"HTTP_PROXY", "upper:2"}, {"NO_PROXY", "upper"}, {"no_proxy", "lower"}},
       "http=lower:1",
       "lower"},
  };
  for (const auto& e : environments) {
    EnvironmentProxy read = ReadEnvironmentProxy([&](const char* name) -> const char* {
      auto it = e.variables.find(name);
      return it == e.variables.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(read.proxy, e.proxy);
    EXPECT_EQ(read.bypass, e.bypass);
  }

  const struct {
    const char* list;
    bool secure;
    const char* chosen;
  } choices[] = {
      {"http=plain.test:3128; https=secure.test:8443", false, "http://plain.test:3128"},
      {"http=plain.test:3128; https=secure.test:8443", true, "http://secure.test:8443"},
      {"every.test:8080", true, "http://every.test:8080"},
      {"https=secure.test:8443", false, ""},
      {"https=socks5://relay.test:1080", true, "socks5://relay.test:1080"},
  };
  for (const auto& c : choices)
    EXPECT_EQ(ChooseProxy(ParseProxyRules(c.list, ""), c.secure, "site.test", 443), c.chosen) << c.list;
  EXPECT_FALSE(IsForwardingProxy("socks5://relay.test:1080"));
  EXPECT_TRUE(IsForwardingProxy("http://plain.test:3128"));

  const struct {
    const char* list;
    const char* host;
    std::uint16_t port;
    bool bypassed;
  } bypasses[] = {
      {"*", "anything.test", 80, true},
      {"example.com", "WWW.Example.COM", 80, true},
      {"example.com", "notexample.com", 80, false},
      {"*.example.com", "example.org", 80, false},
      {"<local>", "intranet", 80, true},
      {"<local>", "intranet.corp", 80, false},
      {"192.168.1.0/23", "192.168.0.9", 80, true},
      {"192.168.1.0/24", "192.168.0.9", 80, false},
      {"::1", "[::1]", 80, true},
      {"fd00::/8", "fe80::1", 80, false},
      {"example.com:8080", "example.com", 80, false},
      {"[::1]:8080", "::1", 8080, true},
      {"one.test;two.test, three.test", "three.test", 80, true},
  };
  for (const auto& c : bypasses)
    EXPECT_EQ(BypassMatches(ParseProxyRules("proxy.test:1", c.list).bypass, c.host, c.port), c.bypassed)
        << "list \"" << c.list << "\" host " << c.host << " port " << c.port;
}

// Forwarded, tunnelled, bypassed and refused fetches are in the transport contract; these
// are the environment's own rules.
TEST(CurlProxy, EnvironmentRulesOfThePosixSetting) {
  struct Guard {
    ~Guard() { SetUserProxy("", ""); }
  } guard;
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  const std::string proxy = "127.0.0.1:" + Peers::Env("SKIFF_TEST_PROXY_PORT");
  SetUserProxy("", "");
  setenv("http_proxy", ("http://" + proxy).c_str(), 1);
  setenv("https_proxy", proxy.c_str(), 1);
  UserProxyConfig config;
  ASSERT_EQ(transport->GetUserProxyConfig(config), 0u);
  EXPECT_TRUE(config.hasProxy);
  EXPECT_EQ(WideToUtf8String(config.proxy), "http=" + proxy + ";https=" + proxy);
  {
    Fetch fetch(*transport);
    EXPECT_EQ(fetch.Get("/echo?no-proxy-session"), 0u) << "libcurl must not read the variables on its own";
  }

  unsetenv("http_proxy");
  EXPECT_EQ(FetchThroughClient(*transport, "127.0.0.1", Peers::Http(), "/echo?plain-direct", false), 0u)
      << "a proxy for secure requests only leaves plain ones direct";
  std::string body;
  EXPECT_EQ(FetchThroughClient(*transport, "127.0.0.1", Peers::Http(), "/echo", true, &body), 403u)
      << "a tunnel the proxy refuses: its refusal is the response";
  EXPECT_EQ(body, "");

  setenv("http_proxy", proxy.c_str(), 1);
  EXPECT_GE(FetchThroughClient(*transport, "127.0.0.1", 0, "/default-port", false), 400u);
  EXPECT_TRUE(Peers::ProxyLogged("GET http://127.0.0.1/default-port ")) << "port 0 is the scheme's default";
  EXPECT_EQ(Peers::ProxyLog().find("no-proxy-session"), std::string::npos);
  EXPECT_EQ(Peers::ProxyLog().find("plain-direct"), std::string::npos);
}

TEST(CurlTransport, StalledPeersTimeOut) {
  CurlOptions options;
  options.sendReceiveTimeout = std::chrono::milliseconds(1000);  // short, yet generous on a busy machine
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport(options);
  {
    Fetch fetch(*transport);
    EXPECT_EQ(fetch.Get("/stall"), kErrorTimeout);
  }
  {
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Get("/stall-body"), 0u);
    std::uint32_t error = 0;
    EXPECT_EQ(fetch.Body(4000, &error), "abc");
    EXPECT_EQ(error, kErrorTimeout);
  }
}

TEST(CurlTransport, HeaderQueriesFollowTheWindowsContract) {
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  Fetch fetch(*transport);
  ASSERT_EQ(fetch.Open("127.0.0.1", Peers::Http(), "GET", "/headers?5000"), 0u);
  char16_t text[32];
  std::uint32_t bytes = 4;
  EXPECT_EQ(transport->QueryHeaders(fetch.request, kQueryStatusText, text, &bytes),
            kErrorIncorrectHandleState)
      << "nothing to query before the response";
  ASSERT_EQ(transport->SendRequest(fetch.request, nullptr, 0, nullptr, 0), 0u);
  ASSERT_EQ(transport->ReceiveResponse(fetch.request), 0u);
  bytes = 4;
  EXPECT_EQ(transport->QueryHeaders(fetch.request, kQueryStatusText, text, &bytes), kErrorInsufficientBuffer);
  EXPECT_EQ(bytes, 6u) << "\"OK\" and the terminator";
  std::uint32_t status = 0;
  bytes = 2;
  EXPECT_EQ(transport->QueryHeaders(fetch.request, kQueryStatusCode | kQueryFlagNumber, &status, &bytes),
            kErrorInsufficientBuffer);
  EXPECT_EQ(fetch.Text(kQueryStatusCode), "200");
  const std::string raw = fetch.Text(kQueryRawHeadersCrlf);
  EXPECT_TRUE(raw.starts_with("HTTP/1.1 200 OK\r\nX-Filler-0000: ") && raw.size() > 5000 &&
              raw.ends_with("f\r\nContent-Length: 4\r\n\r\n"))
      << raw;
  EXPECT_EQ(fetch.Body(), "body");

  Fetch overflowing(*transport);
  EXPECT_EQ(overflowing.Get("/headers?70000"), kErrorHeaderSizeOverflow) << "headers past 64 KiB";
  Fetch bare(*transport);
  ASSERT_EQ(bare.Get("/no-reason"), 0u);
  EXPECT_EQ(bare.Status(), 204u);
  EXPECT_EQ(bare.Text(kQueryStatusText), "");
  EXPECT_EQ(bare.Text(kQueryRawHeadersCrlf), "HTTP/1.1 204\r\nX-A: b\r\n\r\n");
}

TEST(CurlTransport, HostsAndPathsAreTakenSafely) {
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  const std::uint16_t port = Peers::Port("SKIFF_TEST_HTTP6_PORT");
  for (std::string host : {"::1", "[::1]"}) {
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Run(host, port, "GET", "/echo"), 0u) << "an IPv6 literal with or without brackets";
    EXPECT_NE(fetch.Body().find("\nHost: [::1]:" + std::to_string(port) + "\n"), std::string::npos);
  }
  Fetch injected(*transport);
  EXPECT_EQ(injected.Open("127.0.0.1", Peers::Http(), "GET", "/a\r\nX-Injected: 1"), kErrorInvalidUrl);
}

TEST(CurlResponseHead, ParserAndRedirectPolicy) {
  ResponseHeaderParser parser(1024);
  using Result = ResponseHeaderParser::Result;
  for (const char* line :
       {"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 302 Found\r\n", "location: \t/a?b \r\n"})
    parser.Feed(line);
  EXPECT_EQ(parser.Feed("\r\n"), Result::Complete);
  const ResponseHead head = parser.Take();
  EXPECT_EQ(head.location, "/a?b");
  EXPECT_EQ(head.raw, "HTTP/1.1 302 Found\r\nlocation: \t/a?b \r\n\r\n")
      << "a 1xx answer is followed by the real one";

  // The rules the contract's redirects cannot show: resolution against the request's
  // folder, 308 keeping a POST, protocol-relative targets, other schemes, HEAD after 303.
  const struct {
    const char* verb;
    int status;
    const char* location;
    const char* url;  // empty: the redirect fails
    const char* nextVerb;
  } cases[] = {
      {"POST", 302, "other", "http://host.test:8080/dir/other", "GET"},
      {"POST", 308, "//elsewhere.test/x", "http://elsewhere.test/x", "POST"},
      {"HEAD", 303, "/h", "http://host.test:8080/h", "HEAD"},
      {"GET", 302, "ftp://files.test/", "", ""},
  };
  for (const auto& c : cases) {
    RedirectFrom from;
    from.url = from.fallbackUrl = "http://host.test:8080/dir/page?q=1";
    from.verb = c.verb;
    from.hasBody = from.verb == "POST";
    from.status = c.status;
    from.location = c.location;
    const RedirectTo to = NextRedirect(from);
    EXPECT_EQ(to.error, *c.url ? 0u : kErrorRedirectFailed) << c.location;
    if (to.error != 0) continue;
    EXPECT_EQ(to.url, c.url);
    EXPECT_EQ(to.verb, c.nextVerb);
    EXPECT_EQ(to.hasBody, to.verb == "POST") << c.location;
  }
}

}  // namespace
}  // namespace skiff::test
