// The device manager on POSIX: the device-manager interfaces served over the USB link's
// Unix socket, one device per connected handheld. The program creates it through the
// factory below, exactly as it creates the component on Windows.
#pragma once

#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/usb_link/usb_socket.h"

namespace skiff {

// Where the device manager writes what the user should know (a handheld dropped for bad
// input, the socket in use). Called from the manager's own threads; must be thread-safe
// and outlive every manager created with it.
class IUsbLinkLog {
 public:
  virtual ~IUsbLinkLog() = default;
  virtual void Log(const std::string& line) = 0;
};

// Failure codes of the device manager, for callers and tests to tell them apart.
inline constexpr HRESULT kUsbSocketInUse = HRESULT_FROM_WIN32(183);    // ERROR_ALREADY_EXISTS
inline constexpr HRESULT kUsbSocketFailed = HRESULT_FROM_WIN32(1214);  // ERROR_INVALID_NETNAME
inline constexpr HRESULT kDeviceGone = HRESULT_FROM_WIN32(1167);       // ERROR_DEVICE_NOT_CONNECTED
inline constexpr HRESULT kChannelRefused = HRESULT_FROM_WIN32(1225);   // ERROR_CONNECTION_REFUSED
inline constexpr HRESULT kChannelBusy = HRESULT_FROM_WIN32(170);       // ERROR_BUSY
inline constexpr HRESULT kChannelClosed = HRESULT_FROM_WIN32(233);     // ERROR_PIPE_NOT_CONNECTED
inline constexpr HRESULT kHandheldWiped = E_ACCESSDENIED;
inline constexpr HRESULT kOpenCancelled = HRESULT_FROM_WIN32(1223);  // ERROR_CANCELLED
inline constexpr HRESULT kOpenTimedOut = HRESULT_FROM_WIN32(1460);   // ERROR_TIMEOUT
inline constexpr HRESULT kNoData = HRESULT_FROM_WIN32(232);          // ERROR_NO_DATA

// Time limits of the link. The defaults are the program's; tests may shorten them.
struct UsbLinkTiming {
  unsigned openReplyMs = 10000;  // no answer to OPEN or ANSWER within this ends the connection
  unsigned sendMs = 10000;       // a handheld that takes no data this long is dropped
};

// Creates device managers that listen on one socket path. Each manager owns the socket
// while it lives; when the path is already served by a live listener, creation fails
// with kUsbSocketInUse (the caller retries later).
class CUsbDeviceManagerFactory : public IDeviceManagerFactory {
 public:
  CUsbDeviceManagerFactory(std::string socketPath, IUsbLinkLog& log, UsbLinkTiming timing = {});
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override;

  const std::string& SocketPath() const { return m_socketPath; }

 private:
  std::string m_socketPath;
  IUsbLinkLog& m_log;
  UsbLinkTiming m_timing;
  std::mutex m_mutex;
  std::string m_lastFailure;  // a failure is logged once, not at every retry
};

}  // namespace skiff
