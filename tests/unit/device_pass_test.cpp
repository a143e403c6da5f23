// One device pass as the user reads it in the activity log: a served connection from
// start to end, no device, two devices, a failing open, a close left from an earlier
// channel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;

constexpr std::uint16_t kPing = 1;
constexpr std::uint16_t kPong = 2;

std::vector<FakePropertySpec> NamedDevice(LONG pin) {
  return {FakePropertySpec::Text(u"DeviceName", u"Skiff 9000"), FakePropertySpec::Number(u"BBPIN", pin)};
}

TEST(DevicePass, ServedConnectionLogsEveryStepInOrder) {
  WorkerHarness h;
  auto device = h.manager.NewDevice(NamedDevice(0x2A0F));
  auto channel = h.Serve(device);
  ASSERT_TRUE(channel);

  channel->Deliver(MakePacket(kPing, 1, "abc"));
  ASSERT_TRUE(channel->WaitForWrites(1));
  channel->Deliver(MakePacket(kPong, 2, ""));
  ASSERT_TRUE(h.display.WaitForLine("Got ping response"));
  channel->Close();
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));

  EXPECT_THAT(
      LinesFrom(h.Lines(), "Device count > 0"),
      ElementsAre("Device count > 0", "DeviceName: Skiff 9000", "BBPIN: 2a0f",
                  "Opening Channel: SkiffhouseUSB", "Client successfully connected", "Got ping response",
                  "rawOnClose", "Port closed", "No longer connected", "Finished handling client"));
  EXPECT_EQ(h.display.Count("Device connected!"), 1u);
  EXPECT_EQ(device->LastChannelName(), u"SkiffhouseUSB");
  EXPECT_EQ(h.worker->Pin(), 0x2A0Fu);

  const auto written = channel->Written();
  ASSERT_EQ(written.size(), 1u) << "a Pong from the handheld gets no reply";
  const ParsedPacket pong = ParsePacket(written[0]);
  EXPECT_EQ(pong.type, kPong);
  EXPECT_EQ(pong.sequence, 1);
  EXPECT_EQ(pong.length, 10);
  EXPECT_EQ(pong.payload, std::string("Pong: abc\0", 10));

  // The worker let go of the channel, and (once stopped, so the pass has surely ended)
  // of the device, the list and the properties too.
  EXPECT_EQ(channel->References(), 0);
  h.StopWorker();
  EXPECT_TRUE(channel->SinkDropped());
  EXPECT_EQ(device->References(), 0);
  EXPECT_EQ(h.manager.liveObjects.load(), 0) << "a device list or property was not released";
}

TEST(DevicePass, NoDeviceMakesEveryPassLogOnlyThatTheCountIsZero) {
  WorkerHarness h(WorkerTiming{3600000, 10});
  h.worker->Start();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0", 4));
  h.StopWorker();
  const auto lines = h.Lines();
  EXPECT_GE(lines.size(), 4u);
  EXPECT_THAT(lines, Each(std::string("Device count is 0")));
}

TEST(DevicePass, OnlyTheFirstOfTwoDevicesIsReadAndOpened) {
  WorkerHarness h;
  auto first = h.manager.NewDevice(NamedDevice(0x11));
  auto second = h.manager.NewDevice(NamedDevice(0x22));
  h.StartAndWaitForAdvise();
  h.manager.Attach(first, false);
  h.manager.Attach(second);
  ASSERT_TRUE(first->WaitForChannel(1));
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected"));
  first->LastChannel()->Close();
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));
  // Another pass again serves the first device.
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(first->WaitForChannel(2));
  first->LastChannel()->Close();
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client", 2));
  h.StopWorker();

  EXPECT_EQ(second->PropertyReads(), 0);
  EXPECT_EQ(second->OpenCalls(), 0);
  EXPECT_EQ(h.display.Count("BBPIN: 11"), 2u);
  EXPECT_EQ(h.display.Count("BBPIN: 22"), 0u);
  EXPECT_EQ(h.worker->Pin(), 0x11u);
}

TEST(DevicePass, AFailedOpenIsReportedAndTheNextPassTriesAgain) {
  WorkerHarness h;
  auto device = h.manager.NewDevice(NamedDevice(0x5));
  device->FailOpen(E_FAIL);
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_FAIL)));
  EXPECT_THAT(LinesFrom(h.Lines(), "Device count > 0"),
              ElementsAre("Device count > 0", "DeviceName: Skiff 9000", "BBPIN: 5",
                          "Opening Channel: SkiffhouseUSB", ErrorLine(E_FAIL)));

  // The device stays present, not ignored: the next pass logs it all again and opens.
  device->FailOpen(S_OK);
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(device->WaitForChannel(1));
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected"));
  EXPECT_EQ(device->OpenCalls(), 2);
  EXPECT_EQ(h.display.Count("Opening Channel: SkiffhouseUSB"), 2u);
  EXPECT_EQ(h.display.Count("Ignoring device since password dialog was cancelled."), 0u);
}

TEST(DevicePass, ACloseLeftFromAnEarlierChannelDoesNotEndTheNextClient) {
  // Passes come every 20 ms; this handheld reports a close when the desktop lets go of
  // its channel, which happens after the serve loop has ended.
  WorkerHarness h(WorkerTiming{3600000, 20});
  auto device = h.manager.NewDevice(NamedDevice(0x7));
  device->CloseOnRelease(true);
  h.manager.Attach(device);
  h.worker->Start();
  ASSERT_TRUE(device->WaitForChannel(1));
  device->LastChannel()->Close();
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));
  EXPECT_EQ(h.display.Count("rawOnClose"), 2u) << "the close on release was not reported";

  // The next pass comes by time-out, with no arrival to forget the old close: its
  // client must still be served.
  ASSERT_TRUE(device->WaitForChannel(2));
  auto second = device->LastChannel();
  second->Deliver(MakePacket(kPing, 1, "x"));
  ASSERT_TRUE(second->WaitForWrites(1));
  EXPECT_EQ(ParsePacket(second->Written()[0]).type, kPong);
  EXPECT_EQ(h.display.Count("Port closed"), 1u);
  EXPECT_EQ(h.display.Count("Finished handling client"), 1u);
}

}  // namespace
}  // namespace skiff::testing
