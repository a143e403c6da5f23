// The password hand-off between a blocked requesting thread and the window's thread:
// one prompt at a time in request order, the answer handed over before the requester
// goes on, and the exit that withdraws a shown prompt and cancels the rest.
#include "shell/password_handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/worker.h"

namespace skiff {
namespace {

// The window's thread: woken by the hand-off, it waits here for the next request.
class Window {
 public:
  std::function<void()> WakeFunction() {
    return [this] {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_wakes;
      m_woken.notify_all();
    };
  }
  // Waits for a wake-up, then takes the next request.
  PasswordQuestion Next(CPasswordHandOff& handOff) {
    PasswordQuestion question;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_woken.wait(lock, [&] { return m_wakes > 0 && handOff.TakeNext(question); });
    return question;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_woken;
  int m_wakes = 0;
};

// Records each answer with whether the requesting thread had already gone on.
class Host : public IMainWindowHost {
 public:
  bool RunOnStartupClicked(bool checked) override { return checked; }
  void PasswordAnswered(const std::string& password, bool remember) override {
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back(password + (remember ? "+remember" : "") + (returned ? " late" : ""));
  }
  std::mutex mutex;
  std::vector<std::string> answers;
  std::atomic<bool> returned{false};
};

TEST(PasswordHandOff, RequestsAreShownOneAtATimeAndAnsweredBeforeTheRequesterGoesOn) {
  Window window;
  Host host;
  CPasswordHandOff handOff(window.WakeFunction());
  handOff.SetHost(&host);

  std::thread first([&] {
    handOff.RequestPassword(10, 0x2a0f);
    host.returned = true;
  });
  const PasswordQuestion shown = window.Next(handOff);
  EXPECT_EQ(shown.attemptsRemaining, 10);
  EXPECT_EQ(shown.pin, 0x2a0fu);
  std::thread second([&] {
    handOff.RequestPassword(9, 0x2a0f);
    host.returned = true;
  });
  PasswordQuestion ignored;
  EXPECT_FALSE(handOff.TakeNext(ignored));  // the first is still shown
  handOff.Answer("secret", true);
  first.join();
  host.returned = false;

  EXPECT_EQ(window.Next(handOff).attemptsRemaining, 9);
  EXPECT_FALSE(handOff.IsShownWithdrawn());
  handOff.Answer(CDeviceWorker::kNoPassword, false);
  second.join();
  EXPECT_EQ(host.answers, (std::vector<std::string>{"secret+remember", CDeviceWorker::kNoPassword}));
}

TEST(PasswordHandOff, ExitWithdrawsTheShownPromptAndCancelsEveryOtherRequest) {
  Window window;
  Host host;
  CPasswordHandOff handOff(window.WakeFunction());
  handOff.SetHost(&host);

  std::thread requester([&] { handOff.RequestPassword(3, 1); });
  window.Next(handOff);
  handOff.Abandon();
  requester.join();  // let go at once, the cancel handed over by the requester itself
  EXPECT_TRUE(handOff.IsShownWithdrawn());
  handOff.Answer("typed too late", false);  // the window closes its prompt: nothing more is handed over
  EXPECT_FALSE(handOff.HasShown());

  handOff.RequestPassword(2, 1);  // after the exit: a cancel at once, nothing shown
  PasswordQuestion ignored;
  EXPECT_FALSE(handOff.TakeNext(ignored));
  EXPECT_EQ(host.answers, (std::vector<std::string>{CDeviceWorker::kNoPassword, CDeviceWorker::kNoPassword}));
}

}  // namespace
}  // namespace skiff
