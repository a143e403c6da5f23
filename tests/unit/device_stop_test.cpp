// The orderly stop: in every state the watcher thread ends promptly (a generous safety
// time-out only guards against a hang), the device manager and the channel are let go,
// and no device-manager event reaches the worker or the log afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;

constexpr HRESULT kCancelled = MakeHresult(0x800704C7u);

// After the stop: everything the worker held is released, and events still raised by
// the device manager find no sink.
void ExpectLetGo(WorkerHarness& h) {
  EXPECT_EQ(h.manager.References(), 0);
  EXPECT_FALSE(h.manager.Advised());
  EXPECT_EQ(h.manager.liveObjects.load(), 0);
  EXPECT_EQ(h.worker->AddRef(), 1u) << "the device manager still holds a sink reference";
  h.worker->Release();

  const auto linesAtStop = h.Lines();
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  // Even an event delivered straight to the worker after the stop touches nothing.
  h.worker->OnDeviceConnected(nullptr);
  h.worker->OnClose();
  h.worker->OnDataReady();
  EXPECT_EQ(h.Lines(), linesAtStop);
}

TEST(DeviceStop, WhileWatching) {
  WorkerHarness h;
  h.StartAndWaitForAdvise();
  h.StopWorker();
  EXPECT_EQ(h.manager.UnadviseCalls(), 1);
  EXPECT_EQ(h.manager.GetDevicesCalls(), 0) << "the stop must not run a pass";
  ExpectLetGo(h);
}

TEST(DeviceStop, WhileRetryingTheDeviceManager) {
  WorkerHarness h;  // retries an hour apart
  h.factory.Fail(REGDB_E_CLASSNOTREG, -1);
  h.worker->Start();
  ASSERT_TRUE(h.factory.WaitForAttempts(2));
  h.StopWorker();
  EXPECT_EQ(h.factory.Attempts(), 2);
  EXPECT_EQ(h.manager.AdviseCalls(), 0);
  ExpectLetGo(h);
}

TEST(DeviceStop, WhileServingAClient) {
  WorkerHarness h;
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  ASSERT_TRUE(h.Serve(device));
  h.StopWorker();

  EXPECT_THAT(
      LinesFrom(h.Lines(), "Client successfully connected"),
      ElementsAre("Client successfully connected", "No longer connected", "Finished handling client"));
  auto channel = device->LastChannel();
  EXPECT_EQ(channel->References(), 0);
  EXPECT_TRUE(channel->SinkDropped());
  EXPECT_EQ(device->References(), 0);
  ExpectLetGo(h);

  channel->Deliver(MakePacket(1, 1, "late"));
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  EXPECT_TRUE(channel->Written().empty());
}

TEST(DeviceStop, WhileInASlowHttpCall) {
  WorkerHarness h;
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  ASSERT_TRUE(device->WaitForChannel(1));
  auto channel = device->LastChannel();
  h.transport.ArmHang();

  // The fetch steps, one at a time, until one of them reaches the network and hangs.
  const std::vector<std::vector<std::uint8_t>> steps = {
      MakePacket(4, 1, "agent"), MakePacket(5, 2, "127.0.0.1"), MakePacket(6, 3, std::string("\x50\x00", 2)),
      MakePacket(7, 4, "GET"),   MakePacket(8, 5, "/"),         MakePacket(12, 6, "")};
  bool hanging = false;
  for (std::size_t i = 0; i < steps.size() && !hanging; ++i) {
    const std::size_t before = channel->Written().size();
    channel->Deliver(steps[i]);
    hanging = h.transport.WaitForHang(std::chrono::milliseconds(0));
    while (!hanging && channel->Written().size() == before) {
      hanging = h.transport.WaitForHang(std::chrono::milliseconds(5));
    }
  }
  ASSERT_TRUE(hanging) << "no fetch step reached the transport";
  h.StopWorker();

  EXPECT_GE(h.transport.CancelCalls(), 1);
  EXPECT_EQ(h.display.Count("Finished handling client"), 1u);
  EXPECT_EQ(channel->References(), 0);
  ExpectLetGo(h);
}

TEST(DeviceStop, WhileThePasswordPromptIsOpenOrItsAnswerNeverComes) {
  for (bool promptOpen : {true, false}) {
    SCOPED_TRACE(promptOpen ? "prompt open" : "answer never comes");
    WorkerHarness h;
    auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
    device->SetPassword("pw");
    if (promptOpen) {
      h.requester.PushHoldUntilAbandoned();
    } else {
      // The prompt returns without handing back an answer: only the stop can end the wait.
      h.requester.PushReturnWithoutAnswer();
    }
    h.StartAndWaitForAdvise();
    h.manager.Attach(device);
    ASSERT_TRUE(h.requester.WaitForRequests(1));
    h.StopWorker();

    EXPECT_TRUE(h.requester.Abandoned());
    ASSERT_EQ(device->Challenges().size(), 1u);
    EXPECT_EQ(device->Challenges()[0].result, kCancelled);
    EXPECT_EQ(device->OpenCalls(), 1);
    EXPECT_EQ(h.display.Count("User pressed cancel"), 0u) << "the user did not cancel; the program stopped";
    ExpectLetGo(h);
  }
}

TEST(DeviceStop, AChannelLeftByAFailedPassIsReleasedAndItsCloseAwaited) {
  WorkerHarness h;
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  device->CloseOnRelease(true);
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  ASSERT_TRUE(device->WaitForChannel(1));
  auto channel = device->LastChannel();
  channel->FailWrites(E_FAIL);
  channel->Deliver(MakePacket(1, 1, "x"));
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_FAIL)));
  EXPECT_EQ(channel->References(), 1);
  h.StopWorker();

  EXPECT_EQ(channel->References(), 0);
  EXPECT_EQ(h.display.Count("rawOnClose"), 1u) << "the close reported on release came after the stop";
  ExpectLetGo(h);
}

TEST(DeviceStop, DestroyingARunningWorkerStopsItFirst) {
  WorkerHarness h;
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  ASSERT_TRUE(h.Serve(device));
  h.worker.reset();
  EXPECT_EQ(device->LastChannel()->References(), 0);
  EXPECT_EQ(h.manager.References(), 0);
  EXPECT_FALSE(h.manager.Advised());
  EXPECT_EQ(h.display.Count("Finished handling client"), 1u);
}

TEST(DeviceStop, StopWithoutStartAndASecondStopDoNothing) {
  WorkerHarness h;
  h.StopWorker();
  EXPECT_EQ(h.factory.Attempts(), 0);
  h.worker->Start();
  ASSERT_TRUE(h.manager.WaitForAdvise());
  h.StopWorker();
  h.StopWorker();
  EXPECT_EQ(h.manager.UnadviseCalls(), 1);
  // A stopped worker does not start again.
  h.worker->Start();
  h.StopWorker();
  EXPECT_EQ(h.factory.Attempts(), 1);
}

}  // namespace
}  // namespace skiff::testing
