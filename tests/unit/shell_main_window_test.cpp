// The main window's life against fakes: the log bound, the worker running, the first-start
// rule and the title applied before the window runs; clicks reach the registration; and
// the worker stopped before RunMainWindow returns, with nothing shown after the window is gone.
#include "shell/downloader_shell.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "core/event.h"
#include "support/fake_http_transport.h"
#include "support/fake_profile.h"

namespace skiff {
namespace {

// A device manager that never comes up: the worker retries it on its thread, between the
// thread's start and end hooks.
struct AbsentDeviceManagers : IDeviceManagerFactory {
  void WatcherThreadStarted() override { Note(++started == 1); }
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override {
    *deviceManager = nullptr;
    Note(started == 1 && ended == 0);
    if (++calls == 3) thirdCall.Set();
    return E_FAIL;
  }
  void WatcherThreadEnding() override { Note(++ended == 1); }
  void Note(bool expected) {
    if (!expected) inOrder = false;
  }
  std::atomic<int> started{0}, calls{0}, ended{0};
  std::atomic<bool> inOrder{true};
  Event thirdCall{EventReset::Manual};
};

// The window: records what happened, in order, and runs a script as its modal run.
struct ScriptedWindow : IMainWindow, IPasswordRequester {
  bool IsAlive() const override { return alive; }
  void ShowText(const std::string& kept, const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex);
    shownAfterDestroy = shownAfterDestroy || !alive;
    lastKept = kept;
    shown.notify_all();
  }
  void SetTitle(const std::string& title) override { Record("title:" + title); }
  void SetRunOnStartupCheck(bool checked) override { Record(checked ? "check:on" : "check:off"); }
  void RunModal(IMainWindowHost& host) override {
    script(host);
    Record("ended");
  }
  void Destroy() override {
    Record("destroy");
    alive = false;
  }
  void RequestPassword(std::int32_t, std::uint32_t) override {}
  void Abandon() override {  // the shell and the worker's stop both abandon
    if (!abandoned.exchange(true)) Record("abandon");
  }
  void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  // A line logged on one thread may be shown by another thread's refresh, just after.
  bool WaitShown(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex);
    return shown.wait_for(lock, std::chrono::seconds(10),
                          [&] { return lastKept.find(text) != std::string::npos; });
  }
  std::function<void(IMainWindowHost&)> script;
  std::mutex mutex;
  std::condition_variable shown;
  std::vector<std::string> events;
  std::string lastKept;
  std::atomic<bool> alive{true}, abandoned{false};
  bool shownAfterDestroy = false;
};

TEST(MainWindow, EverythingIsInPlaceBeforeTheWindowRunsAndStoppedAfter) {
  ScriptedWindow window;
  AbsentDeviceManagers factory;
  testing::FakeHttpTransport transport;
  testing::InMemoryProfile profile;
  testing::FakeRegistration registration;
  CLogRelay earlyLog;
  earlyLog.Log("settings problem told through the log");
  window.script = [&](IMainWindowHost& host) {
    // The worker's thread tries the device manager again and again.
    EXPECT_EQ(factory.thirdCall.Wait(10000), WaitResult::Object0);
    EXPECT_EQ(profile.Get("General", "Version"), "1.3");
    EXPECT_TRUE(window.WaitShown("settings problem told through the log\r\n"));
    EXPECT_FALSE(host.RunOnStartupClicked(true));
    EXPECT_FALSE(registration.registered.load());
    registration.fail = true;
    EXPECT_TRUE(host.RunOnStartupClicked(false));  // the box shows the click
    EXPECT_TRUE(window.WaitShown("Could not register"));
  };
  MainWindowParts parts{window,  window, factory, transport, profile, registration, WorkerTiming{10, 10},
                        earlyLog};
  RunMainWindow(parts);
  EXPECT_EQ(factory.ended.load(), 1);  // the watcher's thread has ended, after its last attempt
  EXPECT_TRUE(factory.inOrder.load());
  EXPECT_THAT(window.events, ::testing::ElementsAre("check:on", "title:SkiffHouse Desktop Downloader v1.3",
                                                    "ended", "abandon", "destroy"));
  EXPECT_FALSE(window.shownAfterDestroy);
}

}  // namespace
}  // namespace skiff
