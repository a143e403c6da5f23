// The USB-link test fixture on POSIX: the device manager on a Unix socket in a fresh
// folder.
#pragma once

#include <string>

#include "integration/support/test_peers.h"
#include "integration/usb_link_support/usb_link_harness.h"
#include "platform/posix/usb_link/usb_socket.h"

namespace skiff::testing {

using test::TempDir;

class UnixUsbLinkTest : public UsbLinkTest {
 protected:
  void SetUp() override { socketPath = dir.Path() + "/usb.sock"; }
  void Create(UsbLinkTiming timing = {}) { CreateOn(usblink::UnixSocketEndpoint(socketPath), timing); }

  TempDir dir;
  std::string socketPath;
};

}  // namespace skiff::testing
