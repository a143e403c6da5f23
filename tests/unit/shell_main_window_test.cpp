// The main window's life against fakes: the log is bound and the worker running before
// the window runs, the first-start rule and the title are applied before it, answers and
// clicks reach the worker and the registration, and when the window ends the worker has
// stopped before RunMainWindow returns, with nothing shown after the window is gone.
#include "shell/downloader_shell.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// A device manager that never comes up: the worker retries it on its thread.
class AbsentDeviceManagers : public IDeviceManagerFactory {
 public:
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override {
    *deviceManager = nullptr;
    ++calls;
    return E_FAIL;
  }
  std::atomic<int> calls{0};
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

  std::function<void(IMainWindowHost&)> script = [](IMainWindowHost&) {};
  std::mutex mutex;
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
  std::vector<std::string> logReadyCalls;
  MainWindowParts Make() {
    auto logReady = [this](const ShellLogFn& log) {
      logReadyCalls.push_back(log ? "bound" : "gone");
      if (log) log("settings problem told through the log");
    };
    return MainWindowParts{window,  window, factory, transport, profile, registration, WorkerTiming{10, 10},
                           logReady};
  }
};

TEST(MainWindow, EverythingIsInPlaceBeforeTheWindowRunsAndStoppedAfter) {
  Parts p;
  int callsWhenEnded = -1;
  p.window.script = [&](IMainWindowHost&) {
    // The worker thread is running: it tries the device manager again and again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (p.factory.calls.load() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    EXPECT_GE(p.factory.calls.load(), 3);
    EXPECT_EQ(p.profile.values["General/Version"], "1.3");
    EXPECT_TRUE(p.registration.registered.load());
    // The log is bound: what was told before the run is shown.
    EXPECT_THAT(p.window.Kept(), HasSubstr("settings problem told through the log\r\n"));
  };
  auto parts = p.Make();
  RunMainWindow(parts);
  callsWhenEnded = p.factory.calls.load();
  std::this_thread::sleep_for(50ms);  // five retry periods: a running worker would call again
  EXPECT_EQ(p.factory.calls.load(), callsWhenEnded);
  EXPECT_THAT(p.window.events, ElementsAre("check:on", "title:SkiffHouse Desktop Downloader v1.3", "run",
                                           "ended", "abandon", "destroy"));
  EXPECT_EQ(p.window.shownAfterDestroy, 0);
  EXPECT_THAT(p.logReadyCalls, ElementsAre("bound", "gone"));
}

TEST(MainWindow, LaterStartKeepsTheUserChoiceAndClicksReachTheRegistration) {
  Parts p;
  p.profile.values["General/Version"] = "1.3";
  p.window.script = [&](IMainWindowHost& host) {
    EXPECT_TRUE(host.RunOnStartupClicked(false));
    EXPECT_TRUE(p.registration.registered.load());
    p.registration.failing = true;
    EXPECT_FALSE(host.RunOnStartupClicked(true));  // the box shows the click
    EXPECT_THAT(p.window.Kept(), HasSubstr("Could not remove the program's run-on-startup registration"));
    // An answer with nobody asking is simply kept by the worker.
    host.PasswordAnswered("late", false);
  };
  auto parts = p.Make();
  RunMainWindow(parts);
  EXPECT_EQ(p.window.events.front(), "check:off");
}

}  // namespace
}  // namespace skiff
