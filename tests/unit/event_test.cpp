// Events: automatic and manual reset, waits on one or two events with time-outs, and
// hand-overs between threads.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/event.h"

namespace skiff {
namespace {

constexpr std::uint32_t kSafetyMs = 10000;  // only reached when a wake-up is lost

TEST(Event, AutomaticIsConsumedByTheWaitItEnds) {
  Event event(EventReset::Automatic);
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  event.Set();
  event.Set();  // setting twice is still one signal
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::Object0);
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  event.Set();
  event.Reset();
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(Event, ManualStaysSignalledUntilReset) {
  Event event(EventReset::Manual);
  event.Set();
  EXPECT_EQ(event.Wait(0), WaitResult::Object0);
  EXPECT_EQ(event.Wait(kInfinite), WaitResult::Object0);
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(WaitForAny, BothSignalledReportsAndConsumesOnlyTheFirst) {
  Event data(EventReset::Automatic);
  Event closed(EventReset::Automatic);
  data.Set();
  closed.Set();
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object0);
  EXPECT_FALSE(data.IsSet());
  EXPECT_TRUE(closed.IsSet());
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object1);
  EXPECT_FALSE(closed.IsSet());
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Timeout);

  // A manual first event keeps winning and keeps the automatic second one waiting.
  Event stop(EventReset::Manual);
  stop.Set();
  closed.Set();
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object0);
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object0);
  EXPECT_TRUE(closed.IsSet());
  // Order is the caller's: the same pair the other way round reports the other one.
  EXPECT_EQ(WaitForAny(&closed, &stop, 0), WaitResult::Object0);
  EXPECT_FALSE(closed.IsSet());
  EXPECT_TRUE(stop.IsSet());
}

TEST(WaitForAny, NullEventFailsWithoutConsumingTheOther) {
  Event event(EventReset::Automatic);
  event.Set();
  EXPECT_EQ(WaitForAny(nullptr, &event, 0), WaitResult::Failed);
  EXPECT_EQ(WaitForAny(&event, nullptr, kInfinite), WaitResult::Failed);
  EXPECT_TRUE(event.IsSet());
}

TEST(WaitForAny, TimesOutNoEarlierThanAsked) {
  Event first(EventReset::Automatic);
  Event second(EventReset::Manual);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForAny(&first, &second, 60), WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  const auto single = std::chrono::steady_clock::now();
  EXPECT_EQ(first.Wait(30), WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - single, std::chrono::milliseconds(30));
}

TEST(WaitForAny, WakesOnTheSecondEventSetByAnotherThread) {
  Event data(EventReset::Automatic);
  Event stop(EventReset::Manual);
  Event waiting(EventReset::Manual);
  WaitResult result = WaitResult::Failed;
  std::thread waiter([&] {
    waiting.Set();
    result = WaitForAny(&data, &stop, kInfinite);
  });
  ASSERT_EQ(waiting.Wait(kSafetyMs), WaitResult::Object0);
  stop.Set();
  waiter.join();
  EXPECT_EQ(result, WaitResult::Object1);
  EXPECT_TRUE(stop.IsSet());
}

TEST(Event, OneAutomaticSetReleasesOneWaiter) {
  Event gate(EventReset::Automatic);
  Event passed(EventReset::Automatic);
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  waiters.reserve(3);
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

TEST(Event, PingPongLosesNoWakeUp) {
  Event ping(EventReset::Automatic);
  Event pong(EventReset::Automatic);
  Event stop(EventReset::Manual);
  constexpr int kRounds = 2000;
  std::atomic<int> answered{0};
  std::thread partner([&] {
    while (WaitForAny(&stop, &ping, kSafetyMs) == WaitResult::Object1) {
      ++answered;
      pong.Set();
    }
  });
  int completed = 0;
  for (int i = 0; i < kRounds; ++i) {
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
