// The user's proxy setting on POSIX: read from the environment in the Windows form
// ("http=host:port;https=host:port" and a ';' bypass list), parsed back into rules, and
// the choice of proxy for one request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace skiff {

// The environment in the platform's form, UTF-8. Empty strings when not set.
struct EnvironmentProxy {
  std::string proxy;   // "http=...;https=..." with only the schemes that have a proxy
  std::string bypass;  // no_proxy entries joined by ';'
};

// Reads https_proxy/HTTPS_PROXY, http_proxy/HTTP_PROXY, all_proxy/ALL_PROXY (the fallback)
// and no_proxy/NO_PROXY through `lookup` (getenv in the program), lower case first.
EnvironmentProxy ReadEnvironmentProxy(const std::function<const char*(const char*)>& lookup);

// A named-proxy setting, parsed: per scheme and for every scheme, and the bypass entries.
struct ProxyRules {
  std::string http;
  std::string https;
  std::string any;
  std::vector<std::string> bypass;
};

// Accepts the Windows list form: entries split by ';' or blanks, each "scheme=proxy" or
// a bare "proxy" for every scheme; the bypass list split by ';', ',' or blanks.
ProxyRules ParseProxyRules(std::string_view proxyList, std::string_view bypassList);

// True when `host` (a name or an IP literal, brackets allowed) on `port` is in the bypass
// list: "*" matches everything, "<local>" any name without a dot, "name" and ".name" the
// name and all its subdomains, a '*' pattern as a wildcard, "a.b.c.d/n" (and IPv6) as an
// address block, and an entry with ":port" only that port.
bool BypassMatches(const std::vector<std::string>& bypass, std::string_view host, std::uint16_t port);

// The proxy for one request as libcurl takes it ("http://host:port", or another scheme
// the entry names), or "" to go direct.
std::string ChooseProxy(const ProxyRules& rules, bool secure, std::string_view host, std::uint16_t port);

// True when the proxy forwards requests itself (absolute-form request line) rather than
// relaying a connection (SOCKS).
bool IsForwardingProxy(std::string_view proxyUrl);

}  // namespace skiff
