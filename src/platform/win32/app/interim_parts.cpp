// A stand-in for the WinHTTP transport; see interim_parts.h.
#include "platform/win32/app/interim_parts.h"

namespace skiff {

namespace {

class NoNetwork final : public IHttpTransport {
 public:
  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override {
    config = {};
    return 0;
  }
  std::uint32_t OpenSession(const WideChar*, std::uint32_t, const WideChar*, const WideChar*,
                            HttpHandle* session) override {
    *session = nullptr;
    return ERROR_NOT_SUPPORTED;
  }
  std::uint32_t Connect(HttpHandle, const WideChar*, std::uint16_t, HttpHandle* connection) override {
    *connection = nullptr;
    return ERROR_NOT_SUPPORTED;
  }
  std::uint32_t OpenRequest(HttpHandle, const WideChar*, const WideChar*, const WideChar* const*,
                            std::uint32_t, HttpHandle* request) override {
    *request = nullptr;
    return ERROR_NOT_SUPPORTED;
  }
  std::uint32_t SendRequest(HttpHandle, const WideChar*, std::uint32_t, const void*, std::uint32_t) override {
    return ERROR_NOT_SUPPORTED;
  }
  std::uint32_t ReceiveResponse(HttpHandle) override { return ERROR_NOT_SUPPORTED; }
  std::uint32_t QueryHeaders(HttpHandle, std::uint32_t, void*, std::uint32_t*) override {
    return ERROR_NOT_SUPPORTED;
  }
  std::uint32_t ReadData(HttpHandle, void*, std::uint32_t, std::uint32_t* bytesRead) override {
    *bytesRead = 0;
    return ERROR_NOT_SUPPORTED;
  }
  void CloseHandle(HttpHandle) override {}
  void Cancel() override {}
};

}  // namespace

std::unique_ptr<IHttpTransport> CreateInterimHttpTransport() {
  return std::make_unique<NoNetwork>();
}
}  // namespace skiff
