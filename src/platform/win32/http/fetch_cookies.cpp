// Set-Cookie taken apart and matched the way browsers do: a cookie goes back to its own
// host (or, with a Domain attribute, to that domain and its subdomains), to paths under
// its path, and when Secure only over TLS; Max-Age of 0 or less removes it.
#include "platform/win32/http/fetch_cookies.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace skiff {

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsAddress(std::string_view host) {
  return host.find(':') != std::string_view::npos || std::all_of(host.begin(), host.end(), [](char c) {
           return c == '.' || std::isdigit(static_cast<unsigned char>(c));
         });
}

bool DomainMatches(std::string_view host, std::string_view domain) {
  if (host == domain) return true;
  return !IsAddress(host) && host.size() > domain.size() && host.ends_with(domain) &&
         host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
  if (!requestPath.starts_with(cookiePath)) return false;
  return requestPath.size() == cookiePath.size() || cookiePath.ends_with('/') ||
         requestPath[cookiePath.size()] == '/';
}

// The request's folder: its path up to the last '/', or "/".
std::string DefaultPath(std::string_view path) {
  path = path.substr(0, path.find_first_of("?#"));
  const std::size_t slash = path.rfind('/');
  if (!path.starts_with('/') || slash == 0 || slash == std::string_view::npos) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace

void FetchCookies::Take(std::string_view setCookie, std::string_view hostText, std::string_view path) {
  const std::string host = Lower(hostText);
  std::string_view rest = setCookie;
  std::string_view pair = rest.substr(0, rest.find(';'));
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos) return;
  Cookie cookie;
  cookie.name = Trim(pair.substr(0, equals));
  cookie.value = Trim(pair.substr(equals + 1));
  if (cookie.name.empty()) return;
  cookie.domain = host;
  cookie.path = DefaultPath(path);
  bool expired = false;
  for (std::size_t at = rest.find(';'); at != std::string_view::npos;) {
    rest.remove_prefix(at + 1);
    at = rest.find(';');
    const std::string_view attribute = rest.substr(0, at);
    const std::size_t sign = attribute.find('=');
    const std::string name = Lower(Trim(attribute.substr(0, sign)));
    const std::string_view value = sign == std::string_view::npos ? "" : Trim(attribute.substr(sign + 1));
    if (name == "domain" && !value.empty()) {
      std::string domain = Lower(value.starts_with('.') ? value.substr(1) : value);
      if (!DomainMatches(host, domain)) return;  // a cookie for a domain the server is not in
      cookie.domain = std::move(domain);
      cookie.hostOnly = false;
    } else if (name == "path" && value.starts_with('/')) {
      cookie.path = value;
    } else if (name == "secure") {
      cookie.secure = true;
    } else if (name == "max-age" && !value.empty()) {
      expired = std::strtol(std::string(value).c_str(), nullptr, 10) <= 0;
    }
  }
  std::erase_if(m_cookies, [&](const Cookie& kept) {
    return kept.name == cookie.name && kept.domain == cookie.domain && kept.path == cookie.path;
  });
  if (!expired) m_cookies.push_back(std::move(cookie));
}

std::string FetchCookies::HeaderFor(std::string_view hostText, std::string_view path, bool secure) const {
  const std::string host = Lower(hostText);
  path = path.substr(0, path.find_first_of("?#"));
  std::vector<const Cookie*> chosen;
  for (const Cookie& cookie : m_cookies) {
    const bool hostFits = cookie.hostOnly ? host == cookie.domain : DomainMatches(host, cookie.domain);
    if (hostFits && PathMatches(path, cookie.path) && (secure || !cookie.secure)) chosen.push_back(&cookie);
  }
  // Longer paths first, as browsers send them; otherwise in the order they were set.
  std::stable_sort(chosen.begin(), chosen.end(),
                   [](const Cookie* a, const Cookie* b) { return a->path.size() > b->path.size(); });
  std::string header;
  for (const Cookie* cookie : chosen) {
    if (!header.empty()) header += "; ";
    header += cookie->name + "=" + cookie->value;
  }
  return header;
}

}  // namespace skiff
