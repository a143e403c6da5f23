// The console front end against real pipes, a real pseudo-terminal and a real control
// socket, for what the whole program cannot be steered into in tests/e2e/test_desktop.py:
// log lines held during the prompt, the masked password, idle connections to the running
// instance, and the echo on standard error when nobody reads it.
#include "platform/posix/app/console_frontend.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/app/single_instance.h"
#include "support/test_peers.h"

namespace skiff {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Answer = std::pair<std::string, bool>;

struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

// Answers are read once the request has returned: the hand-off orders them before.
struct Host : IMainWindowHost {
  bool RunOnStartupClicked(bool checked) override { return checked; }
  void PasswordAnswered(const std::string& password, bool remember) override {
    answers.emplace_back(password, remember);
  }
  std::vector<Answer> answers;
};

// A front end on a pseudo-terminal, its loop run on a thread of its own as the dialog
// thread; it starts hidden, and closing the terminal is the end of input that ends it.
struct Terminal {
  Terminal() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Terminal() {
    close(master);
    close(slave);
  }
  int master = -1, slave = -1;
};

struct Console : Terminal {
  Console() : frontEnd(slave, output.fds[1], CConsoleFrontEnd::InputMode::Terminal) {
    log.SetWindow(&frontEnd);
    loop = std::thread([this] { frontEnd.RunModal(host); });
  }
  ~Console() {
    Type("x");
    loop.join();
    frontEnd.Destroy();
  }
  void Type(const std::string& keys) const {
    ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  std::future<void> Ask(std::int32_t attempts, std::uint32_t pin) {
    return std::async(std::launch::async, [=, this] { frontEnd.RequestPassword(attempts, pin); });
  }
  // Reads the output until part shows after from; where it shows.
  std::size_t WaitFor(const std::string& part, std::size_t from = 0) {
    for (pollfd pfd{output.fds[0], POLLIN, 0}; text.find(part, from) == std::string::npos;) {
      char buffer[4096];
      ssize_t n = 0;
      if (poll(&pfd, 1, 10000) != 1 || (n = read(pfd.fd, buffer, sizeof buffer)) <= 0) {
        ADD_FAILURE() << "no \"" << part << "\" in:\n" << text;
        return std::string::npos;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.find(part, from);
  }
  Pipe output;
  CConsoleFrontEnd frontEnd;
  Host host;
  CActivityLog log;
  std::thread loop;
  std::string text;
};

TEST(ConsoleFrontEnd, ThePasswordIsMaskedAndEditedLogLinesWaitUntilThePromptIsAnswered) {
  Console t;
  t.Type("\r");  // shows the window
  std::size_t at = t.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====");
  auto asked = t.Ask(10, 0x10);
  at = t.WaitFor("Password (Enter accepts, Escape cancels): ", at);
  t.log.AddLine("during the prompt");
  t.Type(
      "se\xc3\xa9x\x7f"
      "cret\r");  // é is one character; DEL erases the x
  at = t.WaitFor("Remember (insecure)? [y/N] ", at);
  t.Type("y");
  asked.get();
  at = t.WaitFor("Password entered.", at);
  EXPECT_GT(t.text.find("during the prompt"), at);  // held until the prompt closed
  t.WaitFor("during the prompt\n", at);
  auto cancelled = t.Ask(9, 0x10);
  t.WaitFor("You have 9 attempts", at);
  t.Type("abc\x1b");
  cancelled.get();
  EXPECT_EQ(t.host.answers, (std::vector<Answer>{{"se\xc3\xa9"
                                                  "cret",
                                                  true},
                                                 {CDeviceWorker::kNoPassword, false}}));
  EXPECT_THAT(t.text, HasSubstr("****\b \b****"));
  EXPECT_THAT(t.text, Not(HasSubstr("cret")));
  char echoed[4096] = {};  // the terminal did not echo the keys either
  pollfd pfd{t.master, POLLIN, 0};
  if (poll(&pfd, 1, 0) == 1) {
    EXPECT_GE(read(t.master, echoed, sizeof echoed - 1), 0);
  }
  EXPECT_THAT(std::string(echoed), Not(HasSubstr("cret")));
}

// Second and simultaneous starts and a killed instance run end to end (Instances).
TEST(SingleInstance, IdleConnectionsDoNotLockLaterStartsOut) {
  test::TempDir temp;
  const std::string usb = temp.File("run/usb.sock");
  Console t;
  CSingleInstance first(usb), second(usb);
  std::string error;
  ASSERT_EQ(first.Claim(1000, error), CSingleInstance::Outcome::Running) << error;
  first.Serve(t.frontEnd, [&t] { t.frontEnd.Show(); });
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (usb + ".ctl").copy(address.sun_path, sizeof address.sun_path - 1);
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) {
    idle.push_back(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(connect(idle.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  EXPECT_EQ(second.Claim(5000, error), CSingleInstance::Outcome::OtherShown) << error;
  t.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====");
  for (int fd : idle) close(fd);
  first.StopServing();
}

// Log lines are echoed on standard error in the ANSI code page, UTF-8 here; a reader
// that has gone must not end the program by SIGPIPE.
TEST(ConsoleEcho, WritesUtf8VerbatimAndSurvivesAGoneReaderOrNoConsole) {
  const int saved = dup(STDERR_FILENO);
  Pipe echo, gone;
  dup2(echo.fds[1], STDERR_FILENO);
  ConsoleEcho(WideToAnsiString(u"100% %s Gr\u00FC\u00DFe \u20AC"));
  ConsoleEcho(std::string(5000, 'x'));  // longer than the one-write buffer
  close(std::exchange(gone.fds[0], -1));
  dup2(gone.fds[1], STDERR_FILENO);
  ConsoleEcho("nobody reads this");
  close(STDERR_FILENO);
  ConsoleEcho("no console at all");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(std::exchange(echo.fds[1], -1));
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(echo.fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(text,
            "100% %s Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\n" +
                std::string(5000, 'x') + "\n");
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
}  // namespace skiff
