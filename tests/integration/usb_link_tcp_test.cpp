// The USB link over TCP on 127.0.0.1, as the stand-in device manager serves it on
// Windows: one listener per port, a handheld's way through a channel, an end that the
// program's side asks for, and the simulated handheld's own link. Runs natively and,
// cross-built, under Wine.
#include <gtest/gtest.h>

#include <future>
#include <sstream>

#include "handheld_link.h"
#include "integration/usb_link_support/usb_link_harness.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using Frame = RawHandheld::Frame;

class UsbLinkTcpTest : public UsbLinkTest {};

TEST_F(UsbLinkTcpTest, OneManagerPerPortAndThePortIsFreeAgainWhenItGoes) {
  CreateTcp();
  ASSERT_NE(tcpPort, 0);
  const std::string where = "127.0.0.1:" + std::to_string(tcpPort);
  ExpectLogged(1, "waiting for handhelds on " + where);

  RecordingLog standInLog;
  Ref<IDevMgrMain> second;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, standInLog, second.Out()), kUsbSocketInUse);
  EXPECT_FALSE(second);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + where);
  EXPECT_EQ(standInLog.Last(), "USB link: another program is already listening on " + where);

  RawHandheld handheld(tcpPort);
  handheld.Attach(7);
  EXPECT_TRUE(Ref<IDevMgrDevice>(WaitForDevice()));
  ReleaseManager();
  EXPECT_TRUE(handheld.WaitForEnd());
  std::uint16_t bound = 0;
  EXPECT_EQ(CreateTcpUsbDeviceManager(tcpPort, standInLog, second.Out(), &bound), S_OK);
  EXPECT_EQ(bound, tcpPort);
}

TEST_F(UsbLinkTcpTest, ChannelCarriesPacketsAndAnUnansweredOpenDropsTheHandheld) {
  CreateTcp();
  RawHandheld handheld(tcpPort);
  handheld.Attach(0x2A0F, {usblink::DeviceProperty::MakeText("Name", "ab")});
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device);
  EXPECT_EQ(Properties(device.Get()), (std::vector<std::string>{"BBPIN=I4:10767", "Name=BSTR:ab"}));

  RecordingChannelSink sink;
  auto open = std::async(std::launch::async, [&] {
    IDevMgrChannel* channel = nullptr;
    return std::make_pair(OpenChannel(device.Get(), sink, &channel), channel);
  });
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("SkiffhouseUSB")}));
  handheld.SendFrame(FrameKind::Opened);
  auto [opened, openedChannel] = open.get();
  Ref<IDevMgrChannel> channel(openedChannel);
  ASSERT_EQ(opened, S_OK);
  handheld.SendFrame(FrameKind::Data, MakePacket(1, 1, "hi"));
  ASSERT_TRUE(sink.Wait(sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(channel.Get()), MakePacket(1, 1, "hi"));
  ASSERT_EQ(WritePacket(channel.Get(), MakePacket(2, 1, "Pong")), S_OK);
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::DesktopData, MakePacket(2, 1, "Pong")}));
  channel.Reset();
  EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  device.Reset();
  ReleaseManager();

  // The end of a connection asked for on the program's thread must reach the manager's
  // thread, which is waiting on the socket.
  CreateTcp({300, 10000});
  RawHandheld silent(tcpPort);
  silent.Attach(1);
  *device.Out() = WaitForDevice(2);
  ASSERT_TRUE(device);
  Ref<IDevMgrChannel> never;
  EXPECT_EQ(OpenChannel(device.Get(), sink, never.Out()), kOpenTimedOut);
  EXPECT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  EXPECT_NE(log.Last().find("dropped: no answer to OPEN within 300 ms"), std::string::npos) << log.Last();
  EXPECT_EQ(sink.references, 1) << "the sink of a failed open is let go";
  EXPECT_TRUE(silent.WaitForEnd());
}

TEST_F(UsbLinkTcpTest, SimulatedHandheldAttachesAndIsAnsweredOverTcp) {
  CreateTcp();
  handheld::HandheldConfig config;
  config.tcpPort = tcpPort;
  config.properties.push_back(usblink::DeviceProperty::MakeInteger("BBPIN", 5));
  std::ostringstream diagnostics;
  handheld::HandheldLink link(config, diagnostics);
  std::string error;
  ASSERT_TRUE(link.Attach(&error)) << error;
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device);

  RecordingChannelSink sink;
  auto waited = std::async(std::launch::async, [&] { return link.WaitForOpen(); });
  Ref<IDevMgrChannel> channel;
  ASSERT_EQ(OpenChannel(device.Get(), sink, channel.Out()), S_OK);
  ASSERT_EQ(waited.get(), handheld::Outcome::Ok) << diagnostics.str();
  auto requested = std::async(std::launch::async, [&] {
    handheld::WirePacket request{1, 9, Bytes("hi")}, reply;
    const handheld::Outcome outcome = link.Request(request, &reply);
    return std::make_pair(outcome, reply.payload);
  });
  ASSERT_TRUE(sink.Wait(sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(channel.Get()), MakePacket(1, 9, "hi"));
  ASSERT_EQ(WritePacket(channel.Get(), MakePacket(2, 9, "Pong: hi")), S_OK);
  const auto [outcome, payload] = requested.get();
  EXPECT_EQ(outcome, handheld::Outcome::Ok) << diagnostics.str();
  EXPECT_EQ(payload, Bytes("Pong: hi"));
  link.Detach();
  EXPECT_TRUE(sink.Wait(sink.closed, 1));
}

}  // namespace
}  // namespace skiff::testing
