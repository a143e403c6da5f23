// The main window's life against fakes: the log is bound and the worker running before
// the window runs, the first-start rule and the title are applied before it, answers and
// clicks reach the worker and the registration, and when the window ends the worker has
// stopped before RunMainWindow returns, with nothing shown after the window is gone.
#include "shell/downloader_shell.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/fake_http_transport.h"

namespace skiff {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A device manager that never comes up: the worker retries it on its thread, between
// the thread's start and end hooks.
class AbsentDeviceManagers : public IDeviceManagerFactory {
 public:
  void WatcherThreadStarted() override { Note(started == 0 && calls == 0 && ended == 0, started); }
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override {
    *deviceManager = nullptr;
    Note(started == 1 && ended == 0, calls);
    return E_FAIL;
  }
  void WatcherThreadEnding() override { Note(started == 1 && ended == 0, ended); }
  void Note(bool inOrder, std::atomic<int>& counter) {
    if (!inOrder) outOfOrder = true;
    ++counter;
  }
  std::atomic<int> started{0}, calls{0}, ended{0};
  std::atomic<bool> outOfOrder{false};
};

class MapProfile : public IProfile {
 public:
  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& def) override {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = values.find(section + "/" + name);
    return found == values.end() ? def : found->second;
  }
  bool WriteString(const std::string& section, const std::string& name, const std::string& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    values[section + "/" + name] = value;
    return true;
  }
  bool DeleteEntry(const std::string& section, const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex);
    return values.erase(section + "/" + name) > 0;
  }
  std::mutex mutex;
  std::map<std::string, std::string> values;
};

class FakeRegistration : public IRunOnStartup {
 public:
  bool IsRunOnStartup() override { return registered; }
  bool SetRunOnStartup(bool on) override {
    registered = on;
    return !failing;
  }
  std::atomic<bool> registered{false};
  bool failing = false;
};

// The window: records what happened, in order, and runs a script as its modal run.
class ScriptedWindow : public IMainWindow, public IPasswordRequester {
 public:
  bool IsAlive() const override { return alive; }
  void ShowText(const std::string& kept, const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!alive) ++shownAfterDestroy;
    lastKept = kept;
    shown.notify_all();
  }
  void SetTitle(const std::string& title) override { Record("title:" + title); }
  void SetRunOnStartupCheck(bool checked) override { Record(checked ? "check:on" : "check:off"); }
  void RunModal(IMainWindowHost& host) override {
    Record("run");
    script(host);
    Record("ended");
  }
  void Destroy() override {
    Record("destroy");
    alive = false;
  }
  void RequestPassword(std::int32_t, std::uint32_t) override {}
  // The shell and the worker's stop both abandon; once is what the order shows.
  void Abandon() override {
    if (!abandoned.exchange(true)) Record("abandon");
  }
  std::atomic<bool> abandoned{false};

  void Record(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  std::string Kept() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastKept;
  }
  // A line logged on one thread may be shown by another thread's refresh, just after.
  bool WaitShown(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex);
    return shown.wait_for(lock, 10s, [&] { return lastKept.find(text) != std::string::npos; });
  }

  std::function<void(IMainWindowHost&)> script = [](IMainWindowHost&) {};
  std::mutex mutex;
  std::condition_variable shown;
  std::vector<std::string> events;
  std::string lastKept;
  std::atomic<bool> alive{true};
  int shownAfterDestroy = 0;
};

struct Parts {
  ScriptedWindow window;
  AbsentDeviceManagers factory;
  testing::FakeHttpTransport transport;
  MapProfile profile;
  FakeRegistration registration;
  CLogRelay earlyLog;
  MainWindowParts Make() {
    earlyLog.Log("settings problem told through the log");
    return MainWindowParts{window,  window, factory, transport, profile, registration, WorkerTiming{10, 10},
                           earlyLog};
  }
};

TEST(MainWindow, EverythingIsInPlaceBeforeTheWindowRunsAndStoppedAfter) {
  Parts p;
  p.window.script = [&](IMainWindowHost&) {
    // The worker thread is running: it tries the device manager again and again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (p.factory.calls.load() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    EXPECT_GE(p.factory.calls.load(), 3);
    EXPECT_EQ(p.profile.values["General/Version"], "1.3");
    EXPECT_TRUE(p.registration.registered.load());
    // The log is bound: what was told before the run is shown.
    EXPECT_TRUE(p.window.WaitShown("settings problem told through the log\r\n"));
  };
  auto parts = p.Make();
  RunMainWindow(parts);
  // The watcher thread has ended, after its last attempt.
  EXPECT_EQ(p.factory.ended.load(), 1);
  EXPECT_FALSE(p.factory.outOfOrder.load());
  EXPECT_THAT(p.window.events, ElementsAre("check:on", "title:SkiffHouse Desktop Downloader v1.3", "run",
                                           "ended", "abandon", "destroy"));
  EXPECT_EQ(p.window.shownAfterDestroy, 0);
}

TEST(MainWindow, LaterStartKeepsTheUserChoiceAndClicksReachTheRegistration) {
  Parts p;
  p.profile.values["General/Version"] = "1.3";
  p.window.script = [&](IMainWindowHost& host) {
    EXPECT_TRUE(host.RunOnStartupClicked(false));
    EXPECT_TRUE(p.registration.registered.load());
    p.registration.failing = true;
    EXPECT_FALSE(host.RunOnStartupClicked(true));  // the box shows the click
    EXPECT_TRUE(p.window.WaitShown("Could not remove the program's run-on-startup registration"));
    // An answer with nobody asking is simply kept by the worker.
    host.PasswordAnswered("late", false);
  };
  auto parts = p.Make();
  RunMainWindow(parts);
  EXPECT_EQ(p.window.events.front(), "check:off");
}

}  // namespace
}  // namespace skiff
