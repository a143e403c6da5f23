// The transport tests' POSIX part, linked into the transport contract test: the libcurl
// transport under test, its proxy environment and resident set, and what it does beyond
// the contract, against the same peers: the proxy environment's rules, no allocation per
// body read, time-outs, header-query edge cases, and hosts and paths.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>

#include <curl/curl.h>

#include "integration/transport_contract/transport_under_test.h"
#include "platform/posix/http_curl/curl_proxy.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "support/counting_allocator.h"

namespace {

// libcurl's heap allocations while g_counting is set: its allocator is hooked before
// anything in the process touches libcurl. The program's own are counted by
// counting_allocator.cpp, linked in.
std::atomic<bool> g_counting{false};
std::atomic<long> g_libcurlAllocations{0};

void Count() {
  if (g_counting.load(std::memory_order_relaxed))
    g_libcurlAllocations.fetch_add(1, std::memory_order_relaxed);
}

class HookLibcurl : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(curl_global_init_mem(
                  CURL_GLOBAL_DEFAULT, [](size_t size) { return Count(), std::malloc(size); },
                  [](void* pointer) { std::free(pointer); },
                  [](void* pointer, size_t size) { return Count(), std::realloc(pointer, size); },
                  [](const char* text) { return Count(), strdup(text); },
                  [](size_t count, size_t size) { return Count(), std::calloc(count, size); }),
              CURLE_OK);
  }
};
const auto* const g_hook =  // NOLINT(cert-err58-cpp): GoogleTest registers environments this way
    ::testing::AddGlobalTestEnvironment(new HookLibcurl);

}  // namespace

namespace skiff::test {

bool UnderWine() {
  return false;
}

std::unique_ptr<IHttpTransport> MakeTransportUnderTest(bool trustTestCa) {
  CurlOptions options;
  if (trustTestCa) options.extraCaFile = Peers::Env("SKIFF_TEST_CA_FILE");
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
  std::replace(noProxy.begin(), noProxy.end(), ';', ',');
  setenv("no_proxy", noProxy.c_str(), 1);
}

std::uint64_t ProcessMemoryBytes() {
  std::uint64_t size = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

std::optional<std::uint32_t> SessionsOpened(IHttpTransport&) {
  return std::nullopt;
}

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
      {"https=secure.test:8443", false, ""},  // no proxy for plain requests
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
      {"<local>", "intranet", 80, true},
      {"<local>", "intranet.corp", 80, false},
      {"192.168.1.0/23", "192.168.0.9", 80, true},
      {"192.168.1.0/24", "192.168.0.9", 80, false},
      {"::1", "[::1]", 80, true},
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
  SetUserProxy(proxy, "");
  {
    Fetch fetch(*transport);
    EXPECT_EQ(fetch.Get("/echo?no-proxy-session"), 0u) << "libcurl must not read the variables on its own";
  }

  std::string body;
  EXPECT_EQ(FetchThroughClient(*transport, "127.0.0.1", Peers::Http(), "/echo", true, &body), 403u)
      << "a tunnel the proxy refuses: its refusal is the response";
  EXPECT_EQ(body, "");

  EXPECT_GE(FetchThroughClient(*transport, "127.0.0.1", 0, "/default-port", false), 400u);
  EXPECT_TRUE(Peers::ProxyLogged("GET http://127.0.0.1/default-port ")) << "port 0 is the scheme's default";
  EXPECT_EQ(Peers::ProxyLog().find("no-proxy-session"), std::string::npos);
}

TEST(CurlTransport, ReadingTheBodyAllocatesNothingPerChunk) {
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  HttpClient client(*transport);
  std::uint32_t status = 0;
  ASSERT_EQ(StartThroughClient(client, "127.0.0.1", Peers::Http(), "/huge?8000000", false, status), 0u);
  static std::uint8_t chunk[4000];
  std::uint16_t got = 0;
  ASSERT_EQ(client.ReadBody(chunk, sizeof chunk, &got), 0u);  // the first read may set things up
  std::uint64_t total = got;
  long reads = 0;
  const long before = skiff::testing::AllocationCount();
  g_counting = true;
  for (; client.ReadBody(chunk, sizeof chunk, &got) == 0 && got != 0; ++reads) total += got;
  g_counting = false;
  EXPECT_EQ(total, 8'000'000u);
  EXPECT_EQ(skiff::testing::AllocationCount() - before, 0)
      << "the transport and the client allocate nothing per read";
  // libcurl sets up its socket bookkeeping again whenever a paused transfer resumes, a
  // few small allocations each time the transport's buffer has been emptied.
  EXPECT_LT(g_libcurlAllocations.load() * 8, reads)
      << g_libcurlAllocations.load() << " allocations by libcurl in " << reads << " reads";
  client.Reset();
}

TEST(CurlTransport, StalledPeersTimeOut) {
  CurlOptions options;
  options.sendReceiveTimeout = std::chrono::milliseconds(1000);  // short, yet generous on a busy machine
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport(options);
  const auto start = std::chrono::steady_clock::now();
  Fetch silent(*transport), halfway(*transport);
  EXPECT_EQ(silent.Get("/stall"), kErrorTimeout);
  ASSERT_EQ(halfway.Get("/stall-body"), 0u);
  std::uint32_t error = 0;
  EXPECT_EQ(halfway.Body(4000, &error), "abc");
  EXPECT_EQ(error, kErrorTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "by the allowance given";
}

TEST(CurlTransport, HeaderQueriesFollowTheWindowsContract) {
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  Fetch fetch(*transport);
  ASSERT_EQ(fetch.Get("/headers?5000"), 0u);
  EXPECT_GT(fetch.Text(kQueryRawHeadersCrlf).size(), 5000u) << "raw headers of any length";
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

}  // namespace
}  // namespace skiff::test
