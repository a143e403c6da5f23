// The password hand-off between a blocked requesting thread and the window's thread:
// one prompt at a time in request order, the answer handed over before the requester
// goes on, and the exit that withdraws a shown prompt and cancels the rest.
#include "shell/password_handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/worker.h"

namespace skiff {
namespace {

// The window's thread, woken by the hand-off, and the host that records each answer with
// whether the requesting thread had already gone on.
struct WindowAndHost : IMainWindowHost {
  // Waits for a wake-up, then takes the next request.
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
  const PasswordQuestion shown = window.Next(handOff);
  EXPECT_EQ(shown.attemptsRemaining, 10);
  EXPECT_EQ(shown.pin, 0x2a0fu);
  std::thread second = request(9);
  PasswordQuestion ignored;
  EXPECT_FALSE(handOff.TakeNext(ignored));  // the first is still shown
  handOff.Answer("secret", true);
  first.join();
  window.returned = false;
  EXPECT_EQ(window.Next(handOff).attemptsRemaining, 9);
  EXPECT_FALSE(handOff.IsShownWithdrawn());
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
