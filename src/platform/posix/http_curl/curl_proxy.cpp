// The user's proxy setting on POSIX: environment to the Windows form, the form back to
// rules, and the per-request choice with the bypass list.
#include "platform/posix/http_curl/curl_proxy.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace skiff {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

// The first of the named variables that is set and not blank, trailing '/' dropped.
std::string FirstSet(const std::function<const char*(const char*)>& lookup,
                     std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = lookup(name);
    if (value == nullptr) continue;
    std::string_view text = Trim(value);
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    // The platform's form names plain proxies as host:port; other schemes keep theirs.
    if (Lower(text.substr(0, 7)) == "http://") text.remove_prefix(7);
    if (!text.empty()) return std::string(text);
  }
  return {};
}

template <typename Callback>
void Split(std::string_view text, std::string_view separators, Callback callback) {
  while (!text.empty()) {
    std::size_t end = text.find_first_of(separators);
    std::string_view part = Trim(text.substr(0, end));
    if (!part.empty()) callback(part);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// Case-insensitive wildcard match ('*' for any run of characters).
bool WildcardMatch(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && std::tolower(static_cast<unsigned char>(pattern[p])) ==
                                         std::tolower(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string_view StripBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

// An IPv4 or IPv6 literal in network order; false for a name.
bool ParseAddress(std::string_view text, unsigned char (&bytes)[16], int& family) {
  std::string copy(text);
  if (inet_pton(AF_INET, copy.c_str(), bytes) == 1) {
    family = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, copy.c_str(), bytes) == 1) {
    family = AF_INET6;
    return true;
  }
  return false;
}

bool BlockMatches(std::string_view block, std::string_view host) {
  std::size_t slash = block.find('/');
  unsigned char net[16], addr[16];
  int netFamily = 0, hostFamily = 0;
  if (!ParseAddress(StripBrackets(block.substr(0, slash)), net, netFamily)) return false;
  if (!ParseAddress(host, addr, hostFamily) || hostFamily != netFamily) return false;
  int maxBits = netFamily == AF_INET ? 32 : 128;
  int bits = maxBits;
  if (slash != std::string_view::npos) {
    std::string_view digits = block.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || !std::all_of(digits.begin(), digits.end(), ::isdigit))
      return false;
    bits = std::stoi(std::string(digits));
    if (bits > maxBits) return false;
  }
  for (int i = 0; i < bits / 8; ++i)
    if (net[i] != addr[i]) return false;
  if (bits % 8 != 0) {
    unsigned char mask = static_cast<unsigned char>(0xFF << (8 - bits % 8));
    if ((net[bits / 8] & mask) != (addr[bits / 8] & mask)) return false;
  }
  return true;
}

bool EntryMatches(std::string_view entry, std::string_view host, std::uint16_t port) {
  if (entry == "*") return true;
  if (Lower(entry) == "<local>") {
    unsigned char bytes[16];
    int family = 0;
    return host.find('.') == std::string_view::npos && !ParseAddress(host, bytes, family);
  }
  // "name:port" or "[v6]:port" limits the entry to one port; a bare IPv6 literal has
  // colons of its own and no port.
  std::string_view name = entry;
  std::size_t colon = entry.rfind(':');
  bool bracketed = !entry.empty() && entry.front() == '[';
  if (colon != std::string_view::npos && colon > 0 &&
      (bracketed ? entry[colon - 1] == ']' : entry.find(':') == colon)) {
    std::string_view digits = entry.substr(colon + 1);
    if (!digits.empty() && digits.size() <= 5 && std::all_of(digits.begin(), digits.end(), ::isdigit)) {
      if (std::stoul(std::string(digits)) != port) return false;
      name = entry.substr(0, colon);
    }
  }
  name = StripBrackets(name);
  if (name.find('/') != std::string_view::npos) return BlockMatches(name, host);
  if (name.find('*') != std::string_view::npos) return WildcardMatch(name, host);
  unsigned char bytes[16];
  int family = 0;
  if (ParseAddress(name, bytes, family)) return BlockMatches(name, host);
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  if (name.empty()) return false;
  std::string lowerHost = Lower(host), lowerName = Lower(name);
  if (lowerHost == lowerName) return true;
  return lowerHost.size() > lowerName.size() && lowerHost.ends_with(lowerName) &&
         lowerHost[lowerHost.size() - lowerName.size() - 1] == '.';
}

std::string AsProxyUrl(std::string_view proxy) {
  if (proxy.find("://") != std::string_view::npos) return std::string(proxy);
  return "http://" + std::string(proxy);
}

}  // namespace

EnvironmentProxy ReadEnvironmentProxy(const std::function<const char*(const char*)>& lookup) {
  std::string fallback = FirstSet(lookup, {"all_proxy", "ALL_PROXY"});
  std::string http = FirstSet(lookup, {"http_proxy", "HTTP_PROXY"});
  std::string https = FirstSet(lookup, {"https_proxy", "HTTPS_PROXY"});
  if (http.empty()) http = fallback;
  if (https.empty()) https = fallback;

  EnvironmentProxy result;
  if (!http.empty()) result.proxy = "http=" + http;
  if (!https.empty()) result.proxy += (result.proxy.empty() ? "https=" : ";https=") + https;
  std::string noProxy = FirstSet(lookup, {"no_proxy", "NO_PROXY"});
  Split(noProxy, ",; \t", [&](std::string_view entry) {
    if (!result.bypass.empty()) result.bypass += ';';
    result.bypass += entry;
  });
  return result;
}

ProxyRules ParseProxyRules(std::string_view proxyList, std::string_view bypassList) {
  ProxyRules rules;
  Split(proxyList, "; \t\r\n", [&](std::string_view entry) {
    std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (rules.any.empty()) rules.any = entry;
      return;
    }
    std::string scheme = Lower(Trim(entry.substr(0, equals)));
    std::string_view value = Trim(entry.substr(equals + 1));
    if (value.empty()) return;
    if (scheme == "http" && rules.http.empty()) rules.http = value;
    if (scheme == "https" && rules.https.empty()) rules.https = value;
  });
  Split(bypassList, ";, \t\r\n", [&](std::string_view entry) { rules.bypass.emplace_back(entry); });
  return rules;
}

bool BypassMatches(const std::vector<std::string>& bypass, std::string_view host, std::uint16_t port) {
  host = StripBrackets(host);
  for (const std::string& entry : bypass)
    if (EntryMatches(entry, host, port)) return true;
  return false;
}

std::string ChooseProxy(const ProxyRules& rules, bool secure, std::string_view host, std::uint16_t port) {
  const std::string& named = secure ? rules.https : rules.http;
  const std::string& proxy = named.empty() ? rules.any : named;
  if (proxy.empty() || BypassMatches(rules.bypass, host, port)) return {};
  return AsProxyUrl(proxy);
}

bool IsForwardingProxy(std::string_view proxyUrl) {
  return !Lower(proxyUrl.substr(0, 5)).starts_with("socks");
}

}  // namespace skiff
