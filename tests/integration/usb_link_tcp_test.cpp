// The USB link over TCP on 127.0.0.1, as the stand-in device manager serves it on
// Windows: one listener per port, a channel through it, and a handheld dropped when it
// leaves OPEN unanswered. Runs natively and, cross-built, under Wine.
#include <gtest/gtest.h>

#include <future>

#include "integration/usb_link_support/usb_link_harness.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using Frame = RawHandheld::Frame;

class UsbLinkTcpTest : public UsbLinkTest {
 protected:
  void CreateTcp(UsbLinkTiming timing = {}) { CreateOn(usblink::TcpLoopbackEndpoint(0), timing); }
  std::string error;
};

TEST_F(UsbLinkTcpTest, OneManagerPerPortCarriesAChannelAndFreesThePort) {
  CreateTcp();
  ASSERT_NE(tcpPort, 0);
  const std::string where = "127.0.0.1:" + std::to_string(tcpPort);
  ExpectLogged(1, "waiting for handhelds on " + where);
  RecordingLog standInLog;
  Ref<IDevMgrMain> second;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, standInLog, second.Out()), kUsbSocketInUse);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + where);
  EXPECT_EQ(standInLog.Last(), "USB link: another program is already listening on " + where);

  RawHandheld handheld(usblink::ConnectToTcpLoopback(tcpPort, &error));
  handheld.Attach(0x2A0F, {usblink::DeviceProperty::MakeText("Name", "ab")});
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device);
  EXPECT_EQ(Properties(device.Get()), (std::vector<std::string>{"BBPIN=I4:10767", "Name=BSTR:ab"}));
  RecordingChannelSink sink;
  auto open = std::async(std::launch::async, [&] {
    IDevMgrChannel* channel = nullptr;
    EXPECT_EQ(OpenChannel(device.Get(), sink, &channel), S_OK);
    return channel;
  });
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("SkiffhouseUSB")}));
  handheld.SendFrame(FrameKind::Opened);
  Ref<IDevMgrChannel> channel(open.get());
  ASSERT_TRUE(channel);
  handheld.SendFrame(FrameKind::Data, MakePacket(1, 1, "hi"));
  ASSERT_TRUE(sink.Wait(sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(channel.Get()), MakePacket(1, 1, "hi"));
  ASSERT_EQ(WritePacket(channel.Get(), MakePacket(2, 1, "Pong")), S_OK);
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::DesktopData, MakePacket(2, 1, "Pong")}));
  channel.Reset();
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));

  device.Reset();
  ReleaseManager();
  EXPECT_TRUE(handheld.WaitForEnd());
  std::uint16_t bound = 0;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, standInLog, second.Out(), &bound), S_OK);
  EXPECT_EQ(bound, tcpPort);
}

TEST_F(UsbLinkTcpTest, UnansweredOpenDropsTheHandheld) {
  // The end of a connection asked for on the program's thread must reach the manager's
  // thread, which is waiting on the socket.
  CreateTcp({300, 10000});
  RawHandheld silent(usblink::ConnectToTcpLoopback(tcpPort, &error));
  silent.Attach(1);
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device);
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> never;
  EXPECT_EQ(OpenChannel(device.Get(), sink, never.Out()), kOpenTimedOut);
  EXPECT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  EXPECT_NE(log.Last().find("dropped: no answer to OPEN within 300 ms"), std::string::npos) << log.Last();
  EXPECT_EQ(sink.references, 1) << "the sink of a failed open is let go";
  EXPECT_TRUE(silent.WaitForEnd());
}

}  // namespace
}  // namespace skiff::testing
