// The serve loop's channel reads: data and close signalled together, packets announced
// together, failed reads and writes, and the received byte count that the dispatcher
// relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;

constexpr std::uint16_t kPing = 1;
constexpr std::uint16_t kPong = 2;

// Each test starts with a served client on a device with PIN 0x42.
class DeviceChannel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(channel); }
  WorkerHarness h;
  std::shared_ptr<FakeDevice> device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 0x42)});
  std::shared_ptr<FakeChannel> channel = h.Serve(device);
};

std::vector<std::uint16_t> Sequences(const std::vector<std::vector<std::uint8_t>>& packets) {
  std::vector<std::uint16_t> sequences;
  for (const auto& packet : packets) sequences.push_back(ParsePacket(packet).sequence);
  return sequences;
}

TEST_F(DeviceChannel, DataAnnouncedTogetherWithTheCloseIsAnsweredBeforeTheCloseEndsTheClient) {
  // While the reply to the first packet is being written, the handheld sends another
  // packet and closes: both signals are waiting when the worker next looks.
  channel->HoldWrites(true);
  channel->Deliver(MakePacket(kPing, 1, "one"));
  ASSERT_TRUE(channel->WaitForHeldWrite());
  channel->Deliver(MakePacket(kPing, 2, "two"));
  channel->Close();
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  channel->HoldWrites(false);
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));

  const auto written = channel->Written();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(ParsePacket(written[1]).payload, std::string("Pong: two\0", 10));
  EXPECT_THAT(LinesFrom(h.Lines(), "rawOnClose"),
              ElementsAre("rawOnClose", "Port closed", "No longer connected", "Finished handling client"));
}

TEST_F(DeviceChannel, AHandheldAttachedAgainBeforeTheCloseIsSeenIsServedNext) {
  // The handheld closes and detaches, and a handheld attaches again, all while the
  // worker is still writing a reply: the close must still end the client, and the new
  // handheld must be served.
  channel->HoldWrites(true);
  channel->Deliver(MakePacket(kPing, 1, "one"));
  ASSERT_TRUE(channel->WaitForHeldWrite());
  channel->Close();
  h.manager.Detach(device);
  const auto again = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 0x43)});
  h.manager.Attach(again);
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  channel->HoldWrites(false);
  ASSERT_TRUE(h.display.WaitForLine("Port closed"));
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected", 2));
  EXPECT_THAT(LinesFrom(h.Lines(), "Port closed"),
              ::testing::IsSupersetOf({"No longer connected", "Finished handling client", "BBPIN: 43"}));
}

TEST_F(DeviceChannel, PacketsAnnouncedBeforeTheWorkerLooksAreEachAnswered) {
  channel->HoldWrites(true);
  channel->Deliver(MakePacket(kPing, 1, "a"));
  ASSERT_TRUE(channel->WaitForHeldWrite());
  channel->Deliver(MakePacket(kPing, 2, "b"));
  channel->Deliver(MakePacket(kPing, 3, "c"));
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  channel->HoldWrites(false);
  // No further notification comes: the two waiting packets must not wait for one.
  ASSERT_TRUE(channel->WaitForWrites(3));
  EXPECT_THAT(Sequences(channel->Written()), ElementsAre(1, 2, 3));
}

TEST_F(DeviceChannel, AFailedReadIsReportedAndTheClientStaysConnected) {
  channel->FailNextRead(RPC_E_DISCONNECTED);
  channel->Deliver(MakePacket(kPing, 1, "lost"));
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(RPC_E_DISCONNECTED)));

  channel->Deliver(MakePacket(kPing, 2, "next"));
  ASSERT_TRUE(channel->WaitForWrites(1));
  const ParsedPacket reply = ParsePacket(channel->Written()[0]);
  EXPECT_EQ(reply.sequence, 2);
  EXPECT_EQ(reply.payload, std::string("Pong: next\0", 11));
  EXPECT_EQ(h.display.Count("No longer connected"), 0u);
  EXPECT_EQ(h.display.Count("Port closed"), 0u);
  EXPECT_EQ(channel->References(), 1);
}

TEST_F(DeviceChannel, AFailedWriteEndsTheConversationOnTheFailurePath) {
  channel->FailWrites(E_ACCESSDENIED);
  channel->Deliver(MakePacket(kPing, 1, "x"));
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_ACCESSDENIED)));
  ASSERT_TRUE(h.manager.WaitForGetDevices(1));

  EXPECT_THAT(LinesFrom(h.Lines(), "Client successfully connected"),
              ElementsAre("Client successfully connected", ErrorLine(E_ACCESSDENIED)));
  // The failed conversation's channel stays with the worker...
  EXPECT_EQ(channel->References(), 1);

  // ...until the next pass opens a new one; the new client is served normally.
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(device->WaitForChannel(2));
  auto next = device->LastChannel();
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected", 2));
  EXPECT_EQ(channel->References(), 0);
  next->Deliver(MakePacket(kPing, 1, "y"));
  ASSERT_TRUE(next->WaitForWrites(1));
  EXPECT_EQ(ParsePacket(next->Written()[0]).type, kPong);
  EXPECT_EQ(h.display.Count("No longer connected"), 0u);
  EXPECT_EQ(h.display.Count("Finished handling client"), 0u);
}

TEST_F(DeviceChannel, TheDispatcherSeesOnlyTheBytesThatArrived) {
  // A long packet first leaves its bytes in the worker's packet buffer...
  channel->Deliver(MakePacket(kPing, 1, "abcdefghij"));
  ASSERT_TRUE(channel->WaitForWrites(1));
  // ...then a packet whose length field claims 10 payload bytes while 3 arrived.
  auto liar = MakePacket(kPing, 2, "xyz");
  liar[4] = 10;
  channel->Deliver(liar);
  ASSERT_TRUE(channel->WaitForWrites(2));
  const ParsedPacket reply = ParsePacket(channel->Written()[1]);
  EXPECT_EQ(reply.payload, std::string("Pong: xyz\0", 10)) << "bytes of the earlier packet were answered";
}

}  // namespace
}  // namespace skiff::testing
