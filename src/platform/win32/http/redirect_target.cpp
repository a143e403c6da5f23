// Resolving a redirect's Location against the URL it answered (the reference resolution
// of URLs: scheme, authority, path and query, dot segments removed) and splitting an
// http or https URL into its parts.
#include "platform/win32/http/redirect_target.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include "http/winhttp_errors.h"

namespace skiff {

namespace {

struct Reference {
  std::string scheme;  // lower case; empty when the reference has none
  bool hasAuthority = false;
  std::string authority;
  std::string path;
  bool hasQuery = false;
  std::string query;
};

Reference Parse(std::string_view text) {
  Reference ref;
  text = text.substr(0, text.find('#'));
  const std::size_t colon = text.find(':');
  const std::size_t firstDelimiter = text.find_first_of("/?");
  if (colon != std::string_view::npos && colon > 0 && colon < firstDelimiter &&
      std::isalpha(static_cast<unsigned char>(text[0]))) {
    bool valid = true;
    for (char c : text.substr(0, colon))
      valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.');
    if (valid) {
      for (char c : text.substr(0, colon))
        ref.scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      text.remove_prefix(colon + 1);
    }
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    const std::size_t end = text.find_first_of("/?");
    ref.hasAuthority = true;
    ref.authority = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  const std::size_t question = text.find('?');
  ref.path = text.substr(0, question);
  if (question != std::string_view::npos) {
    ref.hasQuery = true;
    ref.query = text.substr(question + 1);
  }
  return ref;
}

std::string RemoveDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  const bool absolute = path.starts_with('/');
  bool endsInFolder = false;
  while (!path.empty()) {
    if (path.starts_with('/')) path.remove_prefix(1);
    const std::size_t slash = path.find('/');
    const std::string_view segment = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash);
    endsInFolder = segment == "." || segment == ".." || (path.empty() && slash != std::string_view::npos);
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (segment != ".") {
      kept.push_back(segment);
    }
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i != 0) out += '/';
    out += kept[i];
  }
  if (endsInFolder && !out.ends_with('/')) out += '/';
  return out;
}

// Bytes a request line cannot carry as they are, escaped.
std::string Escape(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// Resolves `location` against `base`; false when either has no scheme in the end.
bool Resolve(std::string_view base, std::string_view location, std::string& url, std::string& scheme) {
  const Reference b = Parse(base);
  const Reference r = Parse(location);
  Reference t;
  if (!r.scheme.empty()) {
    t = r;
    t.path = RemoveDotSegments(r.path);
  } else {
    t.scheme = b.scheme;
    if (r.hasAuthority) {
      t.hasAuthority = true;
      t.authority = r.authority;
      t.path = RemoveDotSegments(r.path);
      t.hasQuery = r.hasQuery;
      t.query = r.query;
    } else {
      t.hasAuthority = b.hasAuthority;
      t.authority = b.authority;
      if (r.path.empty()) {
        t.path = b.path;
        t.hasQuery = r.hasQuery || b.hasQuery;
        t.query = r.hasQuery ? r.query : b.query;
      } else {
        if (r.path.starts_with('/')) {
          t.path = RemoveDotSegments(r.path);
        } else {
          const std::size_t slash = b.path.rfind('/');
          const std::string folder = slash == std::string::npos ? "/" : b.path.substr(0, slash + 1);
          t.path = RemoveDotSegments(folder + r.path);
        }
        t.hasQuery = r.hasQuery;
        t.query = r.query;
      }
    }
  }
  if (t.scheme.empty()) return false;
  scheme = t.scheme;
  url = t.scheme + ":";
  if (t.hasAuthority) url += "//" + t.authority;
  url += Escape(t.path.empty() && t.hasAuthority ? "/" : t.path);
  if (t.hasQuery) url += "?" + Escape(t.query);
  return true;
}

}  // namespace

RedirectTo NextRedirectTarget(const RedirectFrom& from) {
  if (from.followed + 1 > kMaxRedirects) {
    RedirectTo to;
    to.error = kErrorRedirectFailed;
    return to;
  }
  std::string url, scheme;
  if (!Resolve(from.url, from.location, url, scheme)) scheme.clear();
  return ApplyRedirectRules(from, std::move(url), std::move(scheme));
}

bool SplitHttpUrl(std::string_view url, UrlParts& parts) {
  const Reference ref = Parse(url);
  if ((ref.scheme != "http" && ref.scheme != "https") || !ref.hasAuthority) return false;
  parts.secure = ref.scheme == "https";
  std::string_view authority = ref.authority;
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
    authority.remove_prefix(at + 1);
  std::string_view port;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    parts.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else {
    const std::size_t colon = authority.rfind(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (parts.host.empty()) return false;
  parts.port = parts.secure ? 443 : 80;
  if (!port.empty()) {
    const long number = std::strtol(std::string(port).c_str(), nullptr, 10);
    if (number <= 0 || number > 65535) return false;
    parts.port = static_cast<std::uint16_t>(number);
  }
  parts.pathAndQuery = (ref.path.empty() ? "/" : ref.path) + (ref.hasQuery ? "?" + ref.query : "");
  return true;
}

}  // namespace skiff
