// The device-manager side of the program on POSIX: the USB-link factory, with its
// messages routed to the activity log once there is one.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace skiff {

using LinkLogFn = std::function<void(const std::string&)>;

class CUsbLinkParts {
 public:
  explicit CUsbLinkParts(std::string socketPath);
  ~CUsbLinkParts();
  CUsbLinkParts(const CUsbLinkParts&) = delete;
  CUsbLinkParts& operator=(const CUsbLinkParts&) = delete;

  IDeviceManagerFactory& Factory();
  // Where the link's messages go from now on; an empty function drops them. Returns
  // only when no message is being written to the previous one.
  void SetLog(LinkLogFn log);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace skiff
