// The core: events (their rules, and a Set waking the threads asleep on them), UTF-8 / UTF-16
// conversions, and the activity log: its cap with whole-line trimming, the display refresh
// outside the log's lock, concurrent appends, the relay.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/activity_log.h"
#include "core/event.h"
#include "core/log_sink.h"
#include "core/text.h"
#include "support/recording_log.h"

namespace skiff {
namespace {

TEST(Event, AutomaticIsConsumedManualStaysAndWaitForAnyTakesTheFirstInTheCallersOrder) {
  Event data(EventReset::Automatic), closed(EventReset::Automatic), stop(EventReset::Manual);
  data.Set();
  data.Set();  // setting twice is still one signal
  closed.Set();
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object0);
  EXPECT_EQ(WaitForAny(&data, &closed, 0), WaitResult::Object1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForAny(&data, &closed, 60), WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  // A manual first event keeps winning and leaves the automatic second one set.
  stop.Set();
  closed.Set();
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object0);
  EXPECT_EQ(stop.Wait(kInfinite), WaitResult::Object0);
  EXPECT_EQ(WaitForAny(nullptr, &closed, 0), WaitResult::Failed);  // without consuming the other
  stop.Reset();
  EXPECT_EQ(WaitForAny(&stop, &closed, 0), WaitResult::Object1);
}

// Waits until the thread under test is asleep on the event, so the Set below has to wake it.
void UntilWaitedOn(const Event& event) {
  while (!event.HasWaiters()) std::this_thread::yield();
}

TEST(Event, ASetWakesTheThreadsAsleepOnItAndAnAutomaticSignalGoesToOneOfThem) {
  Event data(EventReset::Automatic), closed(EventReset::Automatic), stop(EventReset::Manual);
  // A wait on two events is woken by the second one, a wait with a time limit at once.
  std::thread pair([&] { EXPECT_EQ(WaitForAny(&data, &closed, kInfinite), WaitResult::Object1); });
  std::thread timed([&] { EXPECT_EQ(stop.Wait(600000), WaitResult::Object0); });
  UntilWaitedOn(closed);
  UntilWaitedOn(stop);
  closed.Set();
  pair.join();
  EXPECT_FALSE(data.HasWaiters());  // a wait that ended is off every event's list
  stop.Set();
  timed.join();
  EXPECT_TRUE(stop.IsSet());  // manual: still set for the next waiter

  // Three threads asleep on one automatic event: each Set lets exactly one through.
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  waiters.reserve(3);
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (data.Wait(kInfinite) == WaitResult::Object0) ++through;
    });
  }
  for (int released = 1; released <= 3; ++released) {
    UntilWaitedOn(data);
    data.Set();
    while (through.load() < released) std::this_thread::yield();
    EXPECT_FALSE(data.IsSet());  // taken by the one that went through
  }
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(through.load(), 3);
}

TEST(Text, SizesTerminatorAndCapacity) {
  WideChar dest[8] = {};
  EXPECT_EQ(Utf8ToUtf16(dest, 8, "abc", 4), 4u);  // the terminator counts and is written
  EXPECT_EQ(std::u16string(dest, 4), std::u16string(u"abc\0", 4));
  EXPECT_EQ(Utf8ToUtf16(dest, 3, "abc", 4), 0u);  // the terminator does not fit: fails, not cut
  // A pair is never split: one unit of room for a character that needs two fails.
  EXPECT_EQ(Utf8ToUtf16(dest, 1, "\xF0\x9F\x98\x80", 4), 0u);
  // Capacity 0 measures; replacement changes the size, measuring must agree.
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "\xC0\x80\xFF", 3), 3u);

  char narrow[8] = {};
  const WideChar euro[] = {0x20AC, 0};
  EXPECT_EQ(Utf16ToUtf8(narrow, 4, euro, 2), 4u);
  EXPECT_EQ(std::string(narrow, 4), std::string("\xE2\x82\xAC\0", 4));
  EXPECT_EQ(Utf16ToUtf8(narrow, 3, euro, 2), 0u);  // only the terminator is missing
  EXPECT_EQ(Utf16ToUtf8(narrow, 2, euro, 1), 0u);  // a character is never cut
}

TEST(Text, InvalidSequencesAndLoneSurrogatesBecomeReplacements) {
  const char16_t R = 0xFFFD;
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\x80z", {u'a', R, u'z'}},            // stray continuation
      {"\xC0\x80", {R, R}},                   // overlong NUL
      {"\xE0\x80\xAF", {R, R, R}},            // overlong 3-byte
      {"\xED\xA0\x80", {R, R, R}},            // encoded surrogate
      {"\xF4\x90\x80\x80", {R, R, R, R}},     // past U+10FFFF
      {"\xF0\x9F\x98\xC3\xA9", {R, 0x00E9}},  // a cut sequence is one, the cutter read alone
      {"\xEF\xBB\xBF\xF4\x8F\xBF\xBF", {0xFEFF, 0xDBFF, 0xDFFF}},  // a BOM is kept; U+10FFFF
  };
  for (const auto& [bytes, units] : cases)
    EXPECT_EQ(Utf8ToWideString(bytes), units) << ::testing::PrintToString(bytes);

  // Lone surrogates: high at the end, the wrong way round, high then high and low.
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(WideToUtf8String(std::u16string{0xD83D}), r);
  EXPECT_EQ(WideToUtf8String(std::u16string{0xDE00, 0xD83D}), r + r);
  EXPECT_EQ(WideToUtf8String(std::u16string{0xD83D, 0xD83D, 0xDE00, u'x'}), r + "\xF0\x9F\x98\x80x");
  const WideChar pair[] = {0xD83D, 0xDE00};
  char dest[8] = {};
  EXPECT_EQ(Utf16ToUtf8(dest, 8, pair, 1), 3u);  // a pair cut by the count: the high half alone
  EXPECT_EQ(std::string(dest, 3), r);
}

TEST(Text, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t ch = 1; ch <= 0x10FFFF; ++ch) {
    if (ch >= 0xD800 && ch <= 0xDFFF) continue;
    if (ch < 0x10000) {
      all += static_cast<char16_t>(ch);
    } else {
      all += static_cast<char16_t>(0xD800 + ((ch - 0x10000) >> 10));
      all += static_cast<char16_t>(0xDC00 + ((ch - 0x10000) & 0x3FF));
    }
  }
  const std::string utf8 = WideToUtf8String(all);
  // 127 one-byte, 1920 two-byte, 63488 three-byte less 2048 surrogates, 1048576 four-byte.
  EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + (63488u - 2048u) * 3 + 1048576u * 4);
  EXPECT_EQ(Utf8ToWideString(utf8), all);
  EXPECT_EQ(Utf8ToWideString(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

using testing::RecordingLogDisplay;

// A line of sizeWithEnd bytes once its "\r\n" is added.
std::string Body(std::size_t sizeWithEnd, char letter) {
  return std::string(sizeWithEnd - 2, letter);
}

TEST(ActivityLog, JoinsPartsAndTrimsWholeLinesToTheCap) {
  CActivityLog log;
  log.AddLine("Opening Channel: ", "SkiffhouseUSB");
  log.AddLine("a", "b", "100% %s\\n");
  EXPECT_EQ(log.Text(), "Opening Channel: SkiffhouseUSB\r\nab100% %s\\n\r\n");

  CActivityLog full;
  for (int i = 0; i < 100; ++i) full.AddLine(Body(100, static_cast<char>('A' + i % 26)));
  ASSERT_EQ(full.Text().size(), CActivityLog::kMaxBytes);  // exactly the cap is kept
  full.AddLine("x");                                       // one line more: the oldest goes
  EXPECT_EQ(full.Text().substr(0, 3), "BBB");
  full.AddLine(Body(352, 'L'));                      // a long line drops several old ones at once
  EXPECT_EQ(full.Text().size(), 9903u - 300 + 352);  // B, C and D went
  // A line end inside a part splits it for trimming: only the first piece goes.
  full.AddLine(Body(9000, 'a') + "\r\n", Body(1500, 'b'));
  EXPECT_EQ(full.Text(), Body(1500, 'b') + "\r\n");
  full.AddLine(Body(10000, 'M'));  // a line of the whole cap fits alone
  EXPECT_EQ(full.Text().size(), CActivityLog::kMaxBytes);
  full.AddLine(Body(10001, 'N'));  // one byte longer cannot be kept at all
  EXPECT_EQ(full.Text(), "");
}

// The display waits, while it shows, for another thread that logs (the window's thread
// answering a synchronous update): nobody may wait for the log's lock, and the other
// thread's line is shown once the first refresh is over. A gone window is left alone.
TEST(ActivityLog, ADisplayMayWaitForAnotherThreadThatLogs) {
  CActivityLog log;
  log.AddLine("before binding");
  RecordingLogDisplay display;
  display.whileShowing = [&log] { std::thread([&log] { log.AddLine("from the window's thread"); }).join(); };
  log.SetWindow(&display);
  log.AddLine("from the device thread");
  EXPECT_EQ(display.Refreshes(), 2);
  EXPECT_EQ(display.Shown(), "before binding\r\nfrom the device thread\r\nfrom the window's thread\r\n");
  display.alive = false;
  log.AddLine("No longer connected");
  EXPECT_EQ(display.Refreshes(), 2);
  EXPECT_EQ(log.Text().substr(display.Shown().size()), "No longer connected\r\n");
}

TEST(ActivityLog, ConcurrentAppendsReachTheDisplayWholeOnceEachAndInOrder) {
  CActivityLog log;
  RecordingLogDisplay display;
  log.SetWindow(&display);
  constexpr int kThreads = 4, kLinesEach = 1500;
  std::vector<std::thread> writers;
  writers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int n = 0; n < kLinesEach; ++n)  // three parts: a torn append shows as a mixed line
        log.AddLine(std::to_string(t), std::to_string(100000 + n),
                    std::string(20, static_cast<char>('a' + t)));
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_FALSE(display.overlapped);
  EXPECT_EQ(display.Shown(), log.Text());
  // A burst longer than the cap during a refresh may drop its oldest lines, but each line
  // reaches the display whole, once, and after the older ones of its thread.
  int lastSeen[kThreads] = {-1, -1, -1, -1};
  const std::string appended = display.Appended();
  for (std::size_t at = 0; at < appended.size(); at += 29) {
    const std::string line = appended.substr(at, 29);
    const int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads &&
                line.substr(7) == std::string(20, static_cast<char>('a' + t)) + "\r\n")
        << line;
    const int n = std::stoi(line.substr(1, 6)) - 100000;
    EXPECT_GT(n, std::exchange(lastSeen[t], n)) << line;
  }
  EXPECT_EQ(*std::max_element(lastSeen, lastSeen + kThreads), kLinesEach - 1);
}

// Lines written before the log exists reach it in order once bound (the oldest dropped
// beyond the hold limit); lines written after it is unbound reach nobody.
TEST(LogRelay, HoldsEarlyLinesForwardsWhileBoundDropsAfter) {
  testing::CollectingSink target;
  CLogRelay relay;
  for (std::size_t i = 0; i <= CLogRelay::kMaxHeld; ++i) relay.Log(std::to_string(i));
  relay.Bind(&target);
  relay.Log("bound");
  relay.Bind(nullptr);
  relay.Log("after");
  const auto lines = target.Lines();
  ASSERT_EQ(lines.size(), CLogRelay::kMaxHeld + 1);
  EXPECT_EQ(lines.front(), "1");
  EXPECT_EQ(lines.back(), "bound");
}

// While a line is being handed to the previous target, Bind waits: the previous target
// may be destroyed once it returns. The hand-over is made to happen at that moment: the
// previous target, given a line, starts the Bind and writes probes through the relay
// until one no longer reaches it; that probe must be held for the new target, not given
// to it while the previous one is still in use.
TEST(LogRelay, BindWaitsForALineBeingHandedToThePreviousTarget) {
  CLogRelay relay;
  testing::CollectingSink next;
  struct Previous : ILogSink {
    Previous(CLogRelay& r, testing::CollectingSink& n) : relay(r), next(n) {}
    void Log(const std::string& line) override {
      ++received;
      if (line != "handed over") return;
      binder = std::thread([this] {
        relay.Bind(&next);
        bindReturned = true;
      });
      for (std::size_t before = 0; before != received; std::this_thread::yield()) {
        before = received;
        relay.Log("probe");
      }
      nextHadLines = next.Count() != 0;
      bindReturnedEarly = bindReturned.load();
    }
    CLogRelay& relay;
    testing::CollectingSink& next;
    std::size_t received = 0;  // on the logging thread only
    std::thread binder;
    std::atomic<bool> bindReturned{false};
    bool nextHadLines = false, bindReturnedEarly = false;
  } previous(relay, next);
  relay.Bind(&previous);
  relay.Log("handed over");
  previous.binder.join();
  EXPECT_FALSE(previous.nextHadLines) << "the new target got a line while the previous one was in use";
  EXPECT_FALSE(previous.bindReturnedEarly);
  EXPECT_EQ(next.Lines(), std::vector<std::string>{"probe"}) << "the held probe goes to the new target";
}

}  // namespace
}  // namespace skiff
