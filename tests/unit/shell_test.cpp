// The application shell's platform-free rules and the password hand-off between a blocked
// requesting thread and the window's thread. The main window's life around the worker runs
// end to end in tests/e2e/test_desktop.py (Settings, Exit) and under Wine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/worker.h"
#include "shell/first_start.h"
#include "shell/password_handoff.h"
#include "shell/shell_texts.h"
#include "support/fake_profile.h"
#include "support/recording_log.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::string_literals;

using Collected = testing::CollectingSink;

TEST(FirstStartRule, OnlyTheExactNeverStartedMarkerRegistersAndAFailedStartTriesAgain) {
  for (const char* marker : {"0.0", "", "1.3", "0.00", " 0.0", "garbage"}) {
    testing::InMemoryProfile profile;
    profile.Set("General", "Version", marker);
    testing::FakeRegistration registration;
    Collected log;
    const bool first = std::string(marker) == "0.0";
    EXPECT_EQ(ApplyFirstStartRule(profile, registration, log), first) << marker;
    EXPECT_EQ(registration.calls.size(), first ? 1u : 0u) << marker;
    EXPECT_EQ(profile.Get("General", "Version"), first ? "1.3" : marker);
  }

  testing::InMemoryProfile profile;  // no marker at all reads as "0.0"
  testing::FakeRegistration registration;
  Collected log;
  profile.failWrites = registration.fail = true;
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));  // the box shows the truth
  ASSERT_EQ(log.Count(), 2u);
  EXPECT_THAT(log.Last(), HasSubstr("disk full"));
  profile.failWrites = registration.fail = false;  // nothing stored: the next start is a first one
  EXPECT_TRUE(ApplyFirstStartRule(profile, registration, log));
  registration.registered = false;  // the user unticked the box: a later start leaves it
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));
  EXPECT_THAT(registration.calls, ElementsAre(true, true));
}

TEST(ShellText, PasswordPromptNamesThePinInHexAndTheAttemptsAsGiven) {
  EXPECT_THAT(PasswordPromptText(-1, 0xFFFFFFFFu), HasSubstr("PIN ffffffff.\r\nYou have -1 attempts"));
  EXPECT_THAT(PasswordPromptText(1, 0), HasSubstr("PIN 0.\r\n"));
}

// The window's thread, woken by the hand-off, and the host that records each answer with
// whether the requesting thread had already gone on.
struct WindowAndHost : IMainWindowHost {
  PasswordQuestion Next(CPasswordHandOff& handOff) {
    PasswordQuestion question;
    std::unique_lock<std::mutex> lock(mutex);
    woken.wait(lock, [&] { return wakes > 0 && handOff.TakeNext(question); });
    return question;
  }
  bool RunOnStartupClicked(bool checked) override { return checked; }
  void PasswordAnswered(const std::string& password, bool remember) override {
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back(password + (remember ? "+remember" : "") + (returned ? " late" : ""));
  }
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
  std::vector<std::string> answers;
  std::atomic<bool> returned{false};
};

TEST(PasswordHandOff, OnePromptAtATimeAnsweredBeforeTheRequesterGoesOnUntilTheExit) {
  WindowAndHost window;
  CPasswordHandOff handOff([&window] {
    std::lock_guard<std::mutex> lock(window.mutex);
    ++window.wakes;
    window.woken.notify_all();
  });
  handOff.SetHost(&window);
  const auto request = [&](std::int32_t attempts) {
    return std::thread([&handOff, &window, attempts] {
      handOff.RequestPassword(attempts, 0x2a0f);
      window.returned = true;
    });
  };

  std::thread first = request(10);
  EXPECT_EQ(window.Next(handOff).pin, 0x2a0fu);
  std::thread second = request(9);
  PasswordQuestion ignored;
  EXPECT_FALSE(handOff.TakeNext(ignored));  // the first is still shown
  handOff.Answer("secret", true);
  first.join();
  window.returned = false;
  EXPECT_EQ(window.Next(handOff).attemptsRemaining, 9);
  handOff.Answer(CDeviceWorker::kNoPassword, false);
  second.join();
  window.returned = false;

  // The exit lets a shown request go at once: the cancel is handed over by the requester
  // itself, and the window's late answer hands nothing more over.
  std::thread third = request(8);
  EXPECT_EQ(window.Next(handOff).attemptsRemaining, 8);
  handOff.Abandon();
  third.join();
  EXPECT_TRUE(handOff.IsShownWithdrawn());
  handOff.Answer("typed too late", false);
  EXPECT_FALSE(handOff.HasShown());
  window.returned = false;
  handOff.RequestPassword(7, 1);  // after the exit: a cancel at once, nothing shown
  EXPECT_FALSE(handOff.TakeNext(ignored));
  EXPECT_EQ(window.answers,
            (std::vector<std::string>{"secret+remember", CDeviceWorker::kNoPassword,
                                      CDeviceWorker::kNoPassword, CDeviceWorker::kNoPassword}));
}

}  // namespace
}  // namespace skiff
