// The USB-link device manager: the device-manager interfaces served over the USB link,
// one device per connected handheld. The POSIX program creates it through the factory
// below on its Unix socket, exactly as it creates the component on Windows; on Windows
// the stand-in COM server creates it on TCP at 127.0.0.1 (CreateTcpUsbDeviceManager).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "usb_link/usb_stream.h"

namespace skiff {

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

// Creates device managers that listen on one endpoint (a Unix socket, or TCP on
// 127.0.0.1). Each manager owns the listener while it lives; when the address is
// already served by a live listener, creation fails with kUsbSocketInUse (the caller
// retries later). A failure is logged once, not at every retry.
// log: where the managers write what the user should know (a handheld dropped for bad
// input, the address in use), from their own threads; it outlives every manager.
class CUsbDeviceManagerFactory : public IDeviceManagerFactory {
 public:
  CUsbDeviceManagerFactory(std::unique_ptr<usblink::IUsbEndpoint> endpoint, ILogSink& log,
                           UsbLinkTiming timing = {});
  ~CUsbDeviceManagerFactory() override;
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override;
  // As above; *tcpPort is the TCP port listened on (0 for a Unix socket).
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager, std::uint16_t* tcpPort);

 private:
  std::unique_ptr<usblink::IUsbEndpoint> m_endpoint;
  ILogSink& m_log;
  UsbLinkTiming m_timing;
  std::mutex m_mutex;
  std::string m_lastFailure;
};

// The stand-in COM server's entry: a device manager listening on TCP at
// 127.0.0.1:port (0: a free port). Returns S_OK with *deviceManager holding one
// reference and *boundPort (when asked for) the port; kUsbSocketInUse when another
// listener has the port, kUsbSocketFailed for other failures, each with the reason in
// the thread's error information and one line in log. Releasing the last reference
// stops the manager and closes the port; log must outlive it.
HRESULT CreateTcpUsbDeviceManager(std::uint16_t port, ILogSink& log, IDevMgrMain** deviceManager,
                                  std::uint16_t* boundPort = nullptr, UsbLinkTiming timing = {});

}  // namespace skiff
