// The watcher thread: creating the device manager (and retrying), registering for device
// events, what starts a pass, and the failures of registration and unregistration.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;

// The lines of `attempts` failed attempts to create the device manager.
std::vector<std::string> FailedRegistrations(HRESULT code, int attempts) {
  std::vector<std::string> lines;
  for (int i = 0; i < attempts; ++i) {
    lines.insert(lines.end(), {"Error registering with BBDevMgr:", ErrorLine(code),
                               "Connection advice is unavailable", ErrorLine(E_POINTER)});
  }
  return lines;
}

TEST(DeviceWatcher, AMissingDeviceManagerIsReportedTwiceAtOnceThenAtEveryRetry) {
  constexpr std::uint32_t kRetryMs = 60;
  WorkerHarness h(WorkerTiming{kRetryMs, 10});
  h.factory.Fail(REGDB_E_CLASSNOTREG, -1);
  h.worker->Start();
  ASSERT_TRUE(h.factory.WaitForAttempts(4));
  h.StopWorker();

  EXPECT_EQ(h.Lines(), FailedRegistrations(REGDB_E_CLASSNOTREG, h.factory.Attempts()))
      << "no pass may run before the device manager exists";
  EXPECT_EQ(h.display.Count("Device count is 0"), 0u);
  EXPECT_EQ(h.manager.AdviseCalls(), 0);

  // From the third attempt on, each waits out the retry interval.
  const auto times = h.factory.AttemptTimes();
  for (std::size_t i = 2; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(kRetryMs)) << "attempt " << i + 1;
  }
}

TEST(DeviceWatcher, OnceTheDeviceManagerCanBeCreatedPassesBegin) {
  WorkerHarness h(WorkerTiming{10, 10});
  h.factory.Fail(E_FAIL, 3);
  h.worker->Start();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0", 2));
  h.StopWorker();

  std::vector<std::string> expected = FailedRegistrations(E_FAIL, 3);
  expected.push_back("Device count is 0");
  const auto lines = h.Lines();
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 13), expected);
  EXPECT_EQ(h.factory.Attempts(), 4);
  EXPECT_EQ(h.manager.AdviseCalls(), 1);
  EXPECT_EQ(h.manager.UnadviseCalls(), 1);
  EXPECT_EQ(h.manager.References(), 0);
}

TEST(DeviceWatcher, WithoutDeviceEventsDevicesAreFoundByTheTimedPasses) {
  WorkerHarness h(WorkerTiming{3600000, 20});
  h.manager.FailAdvise(E_FAIL);
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  h.worker->Start();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0"));
  h.manager.Attach(device);
  ASSERT_TRUE(device->WaitForChannel(1));
  h.StopWorker();

  const auto lines = h.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Connection advice is unavailable");
  EXPECT_EQ(lines[1], ErrorLine(E_FAIL));
  EXPECT_EQ(lines[2], "Device count is 0");
  EXPECT_GE(h.manager.UndeliveredEvents(), 1) << "the arrival had no sink to go to";
  EXPECT_EQ(h.manager.UnadviseCalls(), 0) << "a sink that was never registered is not unregistered";
  EXPECT_EQ(h.manager.References(), 0);
}

TEST(DeviceWatcher, AFailedUnregistrationIsReportedAndTheTeardownGoesOn) {
  WorkerHarness h;
  h.manager.FailUnadvise(E_UNEXPECTED);
  h.StartAndWaitForAdvise();
  h.StopWorker();
  EXPECT_THAT(h.Lines(), ElementsAre("Error unadvising during reset", ErrorLine(E_UNEXPECTED)));
  EXPECT_EQ(h.manager.References(), 0);
}

TEST(DeviceWatcher, AnArrivalStartsAPassAndARemovalStartsNone) {
  WorkerHarness h;
  h.StartAndWaitForAdvise();
  EXPECT_EQ(h.manager.GetDevicesCalls(), 0) << "no pass before an arrival or the time-out";

  auto device = h.manager.NewDevice();
  h.manager.Attach(device, false);
  h.manager.Detach(device);
  ASSERT_TRUE(h.display.WaitForLine("Device disconnected"));
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0"));
  h.StopWorker();
  EXPECT_EQ(h.manager.GetDevicesCalls(), 1);
}

TEST(DeviceWatcher, ArrivalsDuringAServedClientCountAsOneMorePass) {
  WorkerHarness h;
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", 1)});
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  ASSERT_TRUE(device->WaitForChannel(1));
  h.manager.RaiseDeviceConnected();
  h.manager.RaiseDeviceConnected();
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(h.manager.WaitForEventsDelivered());
  device->LastChannel()->Close();
  ASSERT_TRUE(device->WaitForChannel(2));
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected", 2));
  h.StopWorker();
  EXPECT_EQ(h.manager.GetDevicesCalls(), 2);
  EXPECT_EQ(device->OpenCalls(), 2);
}

}  // namespace
}  // namespace skiff::testing
