// The USB-link factory and the log adapter it writes through.
#include "platform/posix/app/usb_link_parts.h"

#include <mutex>

#include "platform/posix/usb_link/usb_socket.h"
#include "usb_link/usb_device_manager.h"

namespace skiff {

struct CUsbLinkParts::Impl : IUsbLinkLog {
  explicit Impl(std::string socketPath)
      : factory(usblink::UnixSocketEndpoint(std::move(socketPath)), *this) {}

  void Log(const std::string& line) override {
    // Written under the lock, so that SetLog() returning means the old target is unused.
    std::lock_guard<std::mutex> lock(mutex);
    if (target) target(line);
  }

  std::mutex mutex;
  LinkLogFn target;
  CUsbDeviceManagerFactory factory;
};

CUsbLinkParts::CUsbLinkParts(std::string socketPath)
    : m_impl(std::make_unique<Impl>(std::move(socketPath))) {}

CUsbLinkParts::~CUsbLinkParts() = default;

IDeviceManagerFactory& CUsbLinkParts::Factory() {
  return m_impl->factory;
}

void CUsbLinkParts::SetLog(LinkLogFn log) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->target = std::move(log);
}

}  // namespace skiff
