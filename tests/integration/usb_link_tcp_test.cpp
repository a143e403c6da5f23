// The USB link over TCP on 127.0.0.1 as the stand-in device manager serves it on Windows:
// one listener per port, and a handheld dropped when it leaves OPEN unanswered (an end
// asked for on the program's thread wakes the manager's). Natively and under Wine.
#include <gtest/gtest.h>

#include "integration/usb_link_support/usb_link_harness.h"

namespace skiff::testing {
namespace {

class UsbLinkTcpTest : public UsbLinkTest {
 protected:
  void CreateTcp(UsbLinkTiming timing = {}) { CreateOn(usblink::TcpLoopbackEndpoint(0), timing); }
  std::string error;
};

TEST_F(UsbLinkTcpTest, OneManagerPerPortDropsAHandheldThatLeavesOpenUnansweredAndFreesThePort) {
  CreateTcp({300, 10000});
  const std::string where = "127.0.0.1:" + std::to_string(tcpPort);
  ExpectLogged(1, "waiting for handhelds on " + where);
  Ref<IDevMgrMain> second;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, log, second.Out()), kUsbSocketInUse);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + where);
  EXPECT_EQ(log.Last(), "USB link: another program is already listening on " + where);

  // Channels work as on the Unix socket (the manager test); here the way in, and out.
  RawHandheld silent(usblink::ConnectToTcpLoopback(tcpPort, &error));
  silent.Attach(1);
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device) << error;
  RecordingSink sink;
  Ref<IDevMgrChannel> never;
  EXPECT_EQ(OpenChannel(device.Get(), sink, never.Out()), kOpenTimedOut);
  EXPECT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  ExpectLogged(3, "dropped: no answer to OPEN within 300 ms");
  EXPECT_EQ(sink.references, 1) << "the sink of a failed open is let go";
  EXPECT_TRUE(silent.WaitForEnd());

  device.Reset();
  ReleaseManager();
  std::uint16_t bound = 0;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, log, second.Out(), &bound), S_OK);
  EXPECT_EQ(bound, tcpPort);
}

}  // namespace
}  // namespace skiff::testing
