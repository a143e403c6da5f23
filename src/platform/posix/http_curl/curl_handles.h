// The libcurl transport's handle table: the session, connection and request handles the
// HTTP client holds, what the first two carry, and the lookup that keeps a handle alive
// while a call uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "http/http_transport.h"
#include "http/winhttp_errors.h"
#include "platform/posix/http_curl/curl_proxy.h"

namespace skiff {

struct CurlHandle {
  enum class Kind { Session, Connection, Request };
  explicit CurlHandle(Kind k) : kind(k) {}
  virtual ~CurlHandle() = default;
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;
  const Kind kind;
};

// What a session was opened with. It holds no connection: those live in the transport's
// pool, shared by every session, and are chosen by host, port, scheme and proxy.
struct CurlSession : CurlHandle {
  static constexpr Kind kKind = Kind::Session;
  CurlSession() : CurlHandle(kKind) {}
  std::string userAgent;
  ProxyRules proxy;
};

struct CurlConnection : CurlHandle {
  static constexpr Kind kKind = Kind::Connection;
  CurlConnection() : CurlHandle(kKind) {}
  std::shared_ptr<CurlSession> session;
  std::string host;  // as given, UTF-8
  std::uint16_t port = 0;
};

class CurlHandleTable {
 public:
  ~CurlHandleTable() { Clear(); }

  HttpHandle Register(std::shared_ptr<CurlHandle> handle) {
    HttpHandle key = handle.get();
    std::lock_guard lock(m_mutex);
    m_handles.emplace(key, std::move(handle));
    return key;
  }

  template <typename Kind>
  std::uint32_t Find(HttpHandle handle, std::shared_ptr<Kind>& found) {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (handle == nullptr || it == m_handles.end()) return kErrorInvalidHandle;
    if (it->second->kind != Kind::kKind) return kErrorIncorrectHandleType;
    found = std::static_pointer_cast<Kind>(it->second);
    return 0;
  }

  // The handle taken out of the table; the caller lets it go outside the lock, since a
  // request's destructor works on the pool.
  std::shared_ptr<CurlHandle> Remove(HttpHandle handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return nullptr;
    std::shared_ptr<CurlHandle> removed = std::move(it->second);
    m_handles.erase(it);
    return removed;
  }

  void Clear() {
    std::unordered_map<HttpHandle, std::shared_ptr<CurlHandle>> handles;
    {
      std::lock_guard lock(m_mutex);
      handles.swap(m_handles);
    }
    handles.clear();
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<HttpHandle, std::shared_ptr<CurlHandle>> m_handles;
};

}  // namespace skiff
