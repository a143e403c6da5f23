// The activity log: line format, the 10,000-byte cap with whole-line trimming, the
// display refresh, and appends from several threads at once.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/activity_log.h"
#include "core/log_sink.h"

namespace skiff {
namespace {

// Records what was shown and checks that no two refreshes overlap.
class RecordingDisplay : public ILogDisplay {
 public:
  bool IsAlive() const override { return alive; }
  void ShowText(const std::string& keptText, const std::string& appended) override {
    if (++m_inside != 1) overlapped = true;
    shown = keptText;
    lastAppended = appended;
    allAppended += appended;
    ++refreshes;
    if (whileShowing) whileShowing();
    --m_inside;
  }
  bool alive = true;
  std::string shown;
  std::string lastAppended;
  std::string allAppended;
  int refreshes = 0;
  bool overlapped = false;
  std::function<void()> whileShowing;

 private:
  std::atomic<int> m_inside{0};
};

// A line of exactly size bytes with its "\r\n", made of one repeated letter.
std::string LineBody(std::size_t sizeWithEnd, char letter) {
  return std::string(sizeWithEnd - 2, letter);
}

// Splits the kept text into lines without their "\r\n"; fails the test on a partial line.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text ends in a partial line";
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST(ActivityLog, LineIsThePartsJoinedAndEnded) {
  CActivityLog log;
  log.AddLine("Device count is 0");
  log.AddLine("Opening Channel: ", "SkiffhouseUSB");
  log.AddLine("a", "b", "c");
  log.AddLine("");
  log.AddLine("100% %s %d\\n");
  EXPECT_EQ(log.Text(),
            "Device count is 0\r\nOpening Channel: SkiffhouseUSB\r\nabc\r\n\r\n100% %s %d\\n\r\n");
}

TEST(ActivityLog, ExactlyTheCapIsKeptOneByteMoreDropsTheOldestLine) {
  CActivityLog log;
  // 100 lines of 100 bytes: exactly 10,000.
  for (int i = 0; i < 100; ++i) log.AddLine(LineBody(100, static_cast<char>('A' + i % 26)));
  ASSERT_EQ(log.Text().size(), CActivityLog::kMaxBytes);
  EXPECT_EQ(log.Text().substr(0, 3), "AAA");

  log.AddLine("x");  // 10,003 bytes: the oldest 100-byte line goes
  const std::string text = log.Text();
  EXPECT_EQ(text.size(), 9903u);
  EXPECT_EQ(text.substr(0, 3), "BBB");
  EXPECT_EQ(text.substr(text.size() - 3), "x\r\n");
}

TEST(ActivityLog, ALongLineDropsSeveralOldLinesAtOnce) {
  CActivityLog log;
  for (int i = 0; i < 100; ++i) log.AddLine(std::to_string(1000 + i) + LineBody(96, '.'));
  log.AddLine(LineBody(352, 'L'));  // 10,352 bytes: four 100-byte lines must go
  const std::vector<std::string> lines = Lines(log.Text());
  ASSERT_EQ(lines.size(), 97u);
  EXPECT_EQ(lines.front().substr(0, 4), "1004");
  EXPECT_EQ(lines.back(), LineBody(352, 'L'));
  EXPECT_EQ(log.Text().size(), 9952u);
}

TEST(ActivityLog, OneLineOfTheWholeCapIsKeptOneByteLongerEmptiesTheLog) {
  CActivityLog log;
  log.AddLine("old");
  log.AddLine(LineBody(10000, 'M'));  // 9,998 bytes + "\r\n" fits alone
  EXPECT_EQ(log.Text(), LineBody(10000, 'M') + "\r\n");
  log.AddLine(LineBody(10001, 'N'));  // 9,999 bytes + "\r\n" cannot be kept at all
  EXPECT_EQ(log.Text(), "");
  log.AddLine("after");
  EXPECT_EQ(log.Text(), "after\r\n");
}

TEST(ActivityLog, LineEndsInsideAPartAreTrimmedAsLines) {
  CActivityLog log;
  for (int i = 0; i < 100; ++i) log.AddLine(LineBody(100, 'o'));
  // Two lines for the trimming rule: "head" and a tail that makes 10,000 + 6 + 102.
  log.AddLine("head\r\n", LineBody(100, 't'));
  const std::string text = log.Text();
  EXPECT_LE(text.size(), CActivityLog::kMaxBytes);
  EXPECT_EQ(text.substr(text.size() - 106), "head\r\n" + LineBody(100, 't') + "\r\n");
  EXPECT_EQ(Lines(text).size(), 100u);  // 98 old lines + the two of the new one

  // One append whose first part alone is too long: only that part goes.
  CActivityLog single;
  single.AddLine(LineBody(9000, 'a') + "\r\n", LineBody(1500, 'b'));
  EXPECT_EQ(single.Text(), LineBody(1500, 'b') + "\r\n");
}

TEST(ActivityLog, DisplayGetsTheWholeTextOnlyWhileAlive) {
  CActivityLog log;
  log.AddLine("before binding");  // kept, nothing shown
  RecordingDisplay display;
  log.SetWindow(&display);
  log.AddLine("Device connected");
  EXPECT_EQ(display.refreshes, 1);
  EXPECT_EQ(display.shown, "before binding\r\nDevice connected\r\n");
  EXPECT_EQ(display.lastAppended, "Device connected\r\n");

  display.alive = false;  // the window is gone: text still kept, display left alone
  log.AddLine("No longer connected");
  EXPECT_EQ(display.refreshes, 1);
  EXPECT_EQ(log.Text(), "before binding\r\nDevice connected\r\nNo longer connected\r\n");

  display.alive = true;
  for (int i = 0; i < 200; ++i) log.AddLine(LineBody(100, 'z'));
  EXPECT_EQ(display.shown, log.Text());  // trimmed text, not an appended delta
  EXPECT_LE(display.shown.size(), CActivityLog::kMaxBytes);
}

// The display waits, while it shows, for another thread that logs (the window's thread
// answering a synchronous update): nobody may wait for the log's lock, and the other
// thread's line is shown once the first refresh is over.
TEST(ActivityLog, ADisplayMayWaitForAnotherThreadThatLogs) {
  CActivityLog log;
  RecordingDisplay display;
  display.whileShowing = [&] {
    display.whileShowing = nullptr;
    std::thread windowThread([&log] { log.AddLine("from the window's thread"); });
    windowThread.join();
  };
  log.SetWindow(&display);
  log.AddLine("from the device thread");
  EXPECT_EQ(display.refreshes, 2);
  EXPECT_EQ(display.lastAppended, "from the window's thread\r\n");
  EXPECT_EQ(display.shown, log.Text());
  EXPECT_EQ(display.shown, "from the device thread\r\nfrom the window's thread\r\n");
}

TEST(ActivityLog, ConcurrentAppendsKeepWholeLinesInOrder) {
  CActivityLog log;
  RecordingDisplay display;
  log.SetWindow(&display);
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 1500;
  std::vector<std::thread> writers;
  writers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      for (int n = 0; n < kLinesEach; ++n) {
        // Three parts, so a torn append would show as a mixed line.
        log.AddLine("T" + std::to_string(t) + " ", std::to_string(100000 + n),
                    " " + std::string(20, static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& writer : writers) writer.join();

  EXPECT_FALSE(display.overlapped);
  const std::string text = log.Text();
  EXPECT_EQ(display.shown, text);
  EXPECT_LE(text.size(), CActivityLog::kMaxBytes);
  EXPECT_GT(text.size(), CActivityLog::kMaxBytes - 40);
  // The lines reached the display once each, in the log's order (a burst longer than the
  // cap while a refresh runs may drop its oldest lines): no older refresh followed a newer
  // one.
  ASSERT_GE(display.allAppended.size(), text.size());
  EXPECT_EQ(display.allAppended.substr(display.allAppended.size() - text.size()), text);
  int lastSeen[kThreads] = {-1, -1, -1, -1};
  for (const std::string& line : Lines(display.allAppended)) {
    ASSERT_EQ(line.size(), 30u) << line;
    const int t = line[1] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line.substr(10), std::string(20, static_cast<char>('a' + t))) << line;
    const int n = std::stoi(line.substr(3, 6)) - 100000;
    EXPECT_GT(n, lastSeen[t]) << "a line shown twice or out of order";
    lastSeen[t] = n;
  }
  bool someLastShown = false;
  for (int t = 0; t < kThreads; ++t) someLastShown = someLastShown || lastSeen[t] == kLinesEach - 1;
  EXPECT_TRUE(someLastShown);
}

// Lines written before the log exists reach it in order once bound (the oldest dropped
// beyond the hold limit); lines written after it is unbound reach nobody.
TEST(LogRelay, HoldsEarlyLinesForwardsWhileBoundDropsAfter) {
  struct Collected : ILogSink {
    void Log(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
  } target;
  CLogRelay relay;
  for (std::size_t i = 0; i <= CLogRelay::kMaxHeld; ++i) relay.Log("early " + std::to_string(i));
  relay.Bind(&target);
  relay.Log("bound");
  relay.Bind(nullptr);
  relay.Log("after");
  ASSERT_EQ(target.lines.size(), CLogRelay::kMaxHeld + 1);
  EXPECT_EQ(target.lines.front(), "early 1");
  EXPECT_EQ(target.lines[CLogRelay::kMaxHeld - 1], "early " + std::to_string(CLogRelay::kMaxHeld));
  EXPECT_EQ(target.lines.back(), "bound");
}

}  // namespace
}  // namespace skiff
