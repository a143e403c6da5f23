// The activity log: line format, the 10,000-byte cap with whole-line trimming, the
// display refresh outside the log's lock, appends from several threads, and the relay.
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/activity_log.h"
#include "core/log_sink.h"

namespace skiff {
namespace {

// Records what was shown and checks that no two refreshes overlap.
struct RecordingDisplay : ILogDisplay {
  bool IsAlive() const override { return alive; }
  void ShowText(const std::string& keptText, const std::string& appended) override {
    if (++inside != 1) overlapped = true;
    shown = keptText;
    allAppended += appended;
    ++refreshes;
    if (whileShowing) std::exchange(whileShowing, nullptr)();
    --inside;
  }
  bool alive = true, overlapped = false;
  std::string shown, allAppended;
  int refreshes = 0;
  std::function<void()> whileShowing;
  std::atomic<int> inside{0};
};

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
  full.AddLine(Body(352, 'L'));  // a long line drops several old ones at once
  EXPECT_EQ(full.Text().size(), 9903u - 300 + 352);
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
  RecordingDisplay display;
  display.whileShowing = [&log] { std::thread([&log] { log.AddLine("from the window's thread"); }).join(); };
  log.SetWindow(&display);
  log.AddLine("from the device thread");
  EXPECT_EQ(display.refreshes, 2);
  EXPECT_EQ(display.shown, "before binding\r\nfrom the device thread\r\nfrom the window's thread\r\n");
  display.alive = false;
  log.AddLine("No longer connected");
  EXPECT_EQ(display.refreshes, 2);
  EXPECT_EQ(log.Text().substr(display.shown.size()), "No longer connected\r\n");
}

TEST(ActivityLog, ConcurrentAppendsReachTheDisplayWholeOnceEachAndInOrder) {
  CActivityLog log;
  RecordingDisplay display;
  log.SetWindow(&display);
  constexpr int kThreads = 4, kLinesEach = 1500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int n = 0; n < kLinesEach; ++n)  // three parts: a torn append shows as a mixed line
        log.AddLine(std::to_string(t), std::to_string(100000 + n),
                    std::string(20, static_cast<char>('a' + t)));
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_FALSE(display.overlapped);
  EXPECT_EQ(display.shown, log.Text());
  // A burst longer than the cap during a refresh may drop its oldest lines, but no line
  // is shown twice or after a newer one of its thread.
  int lastSeen[kThreads] = {-1, -1, -1, -1};
  for (std::size_t at = 0; at < display.allAppended.size(); at += 29) {
    const std::string line = display.allAppended.substr(at, 29);
    const int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads &&
                line.substr(7) == std::string(20, static_cast<char>('a' + t)) + "\r\n")
        << line;
    const int n = std::stoi(line.substr(1, 6)) - 100000;
    EXPECT_GT(n, lastSeen[t]) << line;
    lastSeen[t] = n;
  }
  EXPECT_EQ(*std::max_element(lastSeen, lastSeen + kThreads), kLinesEach - 1);
}

// Lines written before the log exists reach it in order once bound (the oldest dropped
// beyond the hold limit); lines written after it is unbound reach nobody.
TEST(LogRelay, HoldsEarlyLinesForwardsWhileBoundDropsAfter) {
  struct Collected : ILogSink {
    void Log(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
  } target;
  CLogRelay relay;
  for (std::size_t i = 0; i <= CLogRelay::kMaxHeld; ++i) relay.Log(std::to_string(i));
  relay.Bind(&target);
  relay.Log("bound");
  relay.Bind(nullptr);
  relay.Log("after");
  ASSERT_EQ(target.lines.size(), CLogRelay::kMaxHeld + 1);
  EXPECT_EQ(target.lines.front(), "1");
  EXPECT_EQ(target.lines.back(), "bound");
}

}  // namespace
}  // namespace skiff
