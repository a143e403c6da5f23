// One request through an HTTP transport, step by step, closing what it opened: the
// transport tests' way of driving the WinHTTP-shaped seam directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_transport.h"
#include "http/winhttp_errors.h"

namespace skiff::testing {

class TransportFetch {
 public:
  explicit TransportFetch(IHttpTransport& transport) : m_transport(transport) {}
  ~TransportFetch() {
    for (HttpHandle handle : {request, connection, session})
      if (handle != nullptr) m_transport.CloseHandle(handle);
  }
  TransportFetch(const TransportFetch&) = delete;
  TransportFetch& operator=(const TransportFetch&) = delete;

  std::uint32_t Open(const std::string& host, std::uint16_t port, const std::string& verb,
                     const std::string& path, bool secure = false) {
    static const WideChar* const kAccept[] = {u"*/*", nullptr};
    if (std::uint32_t code =
            m_transport.OpenSession(u"SkiffTest/1.0", kAccessTypeNoProxy, nullptr, nullptr, &session))
      return code;
    if (std::uint32_t code = m_transport.Connect(session, Wide(host).c_str(), port, &connection)) return code;
    return m_transport.OpenRequest(connection, Wide(verb).c_str(), Wide(path).c_str(), kAccept,
                                   kFlagEscapeDisable | (secure ? kFlagSecure : 0), &request);
  }
  std::uint32_t Send(const std::string& headers = {}, const std::string& body = {}) {
    std::u16string wide = Wide(headers);
    return m_transport.SendRequest(request, wide.c_str(), static_cast<std::uint32_t>(wide.size()),
                                   body.empty() ? nullptr : body.data(),
                                   static_cast<std::uint32_t>(body.size()));
  }
  std::uint32_t Receive() { return m_transport.ReceiveResponse(request); }
  // Open, send (headers and body as given) and receive; the first failing step's code.
  std::uint32_t Run(const std::string& host, std::uint16_t port, const std::string& verb,
                    const std::string& path, const std::string& headers = {}, const std::string& body = {},
                    bool secure = false) {
    if (std::uint32_t code = Open(host, port, verb, path, secure)) return code;
    if (std::uint32_t code = Send(headers, body)) return code;
    return Receive();
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
    for (;;) {
      std::uint32_t got = 0;
      std::uint32_t code = m_transport.ReadData(request, buffer.data(), chunk, &got);
      if (code != 0) {
        if (error != nullptr) *error = code;
        return body;
      }
      if (got == 0) return body;
      EXPECT_LE(got, chunk);
      body.append(buffer.data(), got);
    }
  }

  HttpHandle session = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;

 private:
  static std::u16string Wide(std::string_view text) { return Utf8ToWideString(text); }

  IHttpTransport& m_transport;
};

}  // namespace skiff::testing
