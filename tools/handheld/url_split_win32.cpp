// Splitting a fetch URL with WinHttpCrackUrl.
#include "url_split.h"

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace skiff::handheld {

namespace {

std::wstring Wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Utf8(const wchar_t* text, DWORD length) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

}  // namespace

bool SplitUrl(const std::string& url, ParsedUrl* parsed, std::string* error) {
  // Some WinHTTP versions lose the port after a bracketed IPv6 address: the address is
  // taken out here and a plain name cracked in its place.
  std::string crackable = url;
  std::string ipv6;
  if (const auto authority = url.find("://"); authority != std::string::npos && url[authority + 3] == '[') {
    const auto close = url.find(']', authority + 3);
    if (close == std::string::npos) {
      *error = "an IPv6 address lacks its ]: " + url;
      return false;
    }
    ipv6 = url.substr(authority + 4, close - authority - 4);
    crackable = url.substr(0, authority + 3) + "ipv6" + url.substr(close + 1);
  }
  // A query or fragment right after the host ("http://host?q=1") would be cracked as part
  // of the host name: the path's "/" goes in first.
  if (const auto authority = crackable.find("://"); authority != std::string::npos) {
    const auto end = crackable.find_first_of("/?#", authority + 3);
    if (end != std::string::npos && crackable[end] != '/') crackable.insert(end, 1, '/');
  }
  const std::wstring wide = Wide(crackable);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  // Lengths of -1: the parts point into the URL itself.
  parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUserNameLength = parts.dwPasswordLength =
      parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) {
    const DWORD code = GetLastError();
    *error = code == ERROR_WINHTTP_UNRECOGNIZED_SCHEME
                 ? "the URL must start with http:// or https://: " + url
                 : "not a URL (error " + std::to_string(code) + "): " + url;
    return false;
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    *error = "the URL must start with http:// or https://: " + url;
    return false;
  }
  parsed->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0) {  // ":secret@" too
    *error = "user names in URLs are not supported: " + url;
    return false;
  }
  parsed->host = ipv6.empty() ? Utf8(parts.lpszHostName, parts.dwHostNameLength) : ipv6;
  if (parsed->host.empty()) {
    *error = "the URL names no host: " + url;
    return false;
  }
  if (parts.nPort == 0) {
    *error = "port 0 is no port number: " + url;
    return false;
  }
  parsed->port = parts.nPort;
  parsed->path = Utf8(parts.lpszUrlPath, parts.dwUrlPathLength);
  std::string extra = Utf8(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (const auto fragment = extra.find('#'); fragment != std::string::npos) extra.erase(fragment);
  if (parsed->path.empty()) parsed->path = "/";
  parsed->path += extra;
  return true;
}

}  // namespace skiff::handheld
