// Events: automatic and manual reset, waits on one or two events with time-outs, and
// hand-overs between threads that must lose no wake-up.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/event.h"

namespace skiff {
namespace {

constexpr std::uint32_t kSafetyMs = 10000;  // only reached when a wake-up is lost

TEST(Event, AutomaticIsConsumedByItsWaitManualStaysUntilReset) {
  Event automatic(EventReset::Automatic);
  automatic.Set();
  automatic.Set();  // setting twice is still one signal
  EXPECT_EQ(automatic.Wait(0), WaitResult::Object0);
  EXPECT_EQ(automatic.Wait(0), WaitResult::Timeout);
  automatic.Set();
  automatic.Reset();
  EXPECT_FALSE(automatic.IsSet());

  Event manual(EventReset::Manual);
  manual.Set();
  EXPECT_EQ(manual.Wait(0), WaitResult::Object0);
  EXPECT_EQ(manual.Wait(kInfinite), WaitResult::Object0);
  manual.Reset();
  Event other(EventReset::Automatic);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForAny(&manual, &other, 60), WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST(WaitForAny, ReportsAndConsumesOnlyTheFirstSignalledInTheCallersOrder) {
  Event data(EventReset::Automatic), closed(EventReset::Automatic), stop(EventReset::Manual);
  data.Set();
  closed.Set();
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object0);
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object1);
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Timeout);
  // A manual first event keeps winning and leaves the automatic second one set.
  stop.Set();
  closed.Set();
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object0);
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object0);
  EXPECT_TRUE(closed.IsSet());
  EXPECT_EQ(WaitForAny(nullptr, &closed, 0), WaitResult::Failed);  // without consuming the other
  EXPECT_TRUE(closed.IsSet());
}

TEST(Event, OneAutomaticSetReleasesOneWaiter) {
  Event gate(EventReset::Automatic), passed(EventReset::Automatic);
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (gate.Wait(kSafetyMs) == WaitResult::Object0) {
        ++through;
        passed.Set();
      }
    });
  }
  for (int i = 0; i < 3; ++i) {
    gate.Set();
    ASSERT_EQ(passed.Wait(kSafetyMs), WaitResult::Object0);
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(through.load(), 3);
  // Had one Set released two waiters, a later Set would have been left unconsumed.
  EXPECT_FALSE(gate.IsSet());
  EXPECT_FALSE(passed.IsSet());
}

// The partner waits on two events: the second wakes it each round, the first ends it.
TEST(WaitForAny, PingPongLosesNoWakeUp) {
  Event ping(EventReset::Automatic), pong(EventReset::Automatic), stop(EventReset::Manual);
  constexpr int kRounds = 2000;
  std::atomic<int> answered{0};
  std::thread partner([&] {
    while (WaitForAny(&stop, &ping, kSafetyMs) == WaitResult::Object1) {
      ++answered;
      pong.Set();
    }
  });
  int completed = 0;
  while (completed < kRounds) {
    ping.Set();
    if (pong.Wait(kSafetyMs) != WaitResult::Object0) break;
    ++completed;
  }
  stop.Set();
  partner.join();
  EXPECT_EQ(completed, kRounds);
  EXPECT_EQ(answered.load(), kRounds);
}

}  // namespace
}  // namespace skiff
