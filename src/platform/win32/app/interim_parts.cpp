// Stand-ins for the parts built beside the window; see interim_parts.h.
#include "platform/win32/app/interim_parts.h"

#include <map>
#include <utility>

namespace skiff {

namespace {

class NoDeviceManager final : public IDeviceManagerFactory {
 public:
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override {
    if (deviceManager) *deviceManager = nullptr;
    return REGDB_E_CLASSNOTREG;
  }
};

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

class NothingStored final : public IProfile {
 public:
  std::string GetString(const std::string&, const std::string&, const std::string& defaultValue) override {
    return defaultValue;
  }
  bool WriteString(const std::string&, const std::string&, const std::string&) override { return false; }
  bool DeleteEntry(const std::string&, const std::string&) override { return false; }
};

class NotRegistered final : public IRunOnStartup {
 public:
  bool IsRunOnStartup() override { return false; }
  bool SetRunOnStartup(bool) override { return false; }
  std::string LastError() const override { return "the registry is not connected yet"; }
};

}  // namespace

std::unique_ptr<IDeviceManagerFactory> CreateInterimDeviceManagerFactory() {
  return std::make_unique<NoDeviceManager>();
}
std::unique_ptr<IHttpTransport> CreateInterimHttpTransport() {
  return std::make_unique<NoNetwork>();
}
std::unique_ptr<IProfile> CreateInterimProfile() {
  return std::make_unique<NothingStored>();
}
std::unique_ptr<IRunOnStartup> CreateInterimRunOnStartup() {
  return std::make_unique<NotRegistered>();
}

}  // namespace skiff
