// The console front end against real pipes, a real pseudo-terminal and a real control
// socket, for what the whole program cannot be steered into in tests/e2e/test_desktop.py:
// log lines held during the prompt, the masked password, idle or strange requests to the
// running instance, and the echo on standard error when nobody reads it.
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
  void Send(const std::string& text) const {
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
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

// A front end on the given input, its loop run on a thread of its own as the dialog thread.
struct FrontEnd {
  explicit FrontEnd(int input) : frontEnd(input, output.fds[1], CConsoleFrontEnd::ModeFor(input)) {
    log.SetWindow(&frontEnd);
  }
  ~FrontEnd() {
    if (loop.joinable()) loop.join();
    frontEnd.Destroy();
  }
  void Start() {
    loop = std::thread([this] { frontEnd.RunModal(host); });
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

// Reading lines from a pipe; closing it is the end of input that ends the loop.
struct Lines : Pipe, FrontEnd {
  Lines() : FrontEnd(fds[0]) {}
  ~Lines() {
    close(fds[1]);
    fds[1] = -1;
  }
};

TEST(ConsoleFrontEnd, LinesDuringThePromptAndAShowRequestWaitUntilItIsAnswered) {
  Lines f;
  Pipe showRequests;  // stands for the control socket: a source of the loop
  f.frontEnd.AddSource(showRequests.fds[0], [&] {
    char byte;
    if (read(showRequests.fds[0], &byte, 1) == 1) f.frontEnd.Show();
  });
  f.log.AddLine("before the prompt");
  f.Send("h\n");
  f.Start();
  const std::size_t hidden = f.WaitFor("[tray]", 10);
  auto asked = f.Ask(7, 0x2A0F);
  std::size_t at = f.WaitFor("Password (one line", hidden);
  showRequests.Send("s");
  f.log.AddLine("during the prompt");
  f.Send("my secret\n");
  at = f.WaitFor("Remember (insecure)? [y/N]", at);
  f.Send("yes\n");
  asked.get();
  EXPECT_EQ(f.host.answers, (std::vector<Answer>{{"my secret", true}}));
  at = f.WaitFor("Password entered.", at);
  EXPECT_GT(f.text.find("during the prompt"), at);  // held until the prompt closed
  at = f.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====", at);
  f.WaitFor("before the prompt\nduring the prompt\n", at);
  EXPECT_THAT(f.text, Not(HasSubstr("my secret")));
  f.Send("x\n");
  f.loop.join();  // before the pipe the loop watches goes away
}

TEST(ConsoleFrontEnd, OnATerminalThePasswordIsMaskedEditedAndEscapeCancels) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  {
    FrontEnd t(slave);
    const auto type = [master](const std::string& keys) {
      ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    };
    t.Start();
    auto asked = t.Ask(10, 0x10);
    const std::size_t at = t.WaitFor("Password (Enter accepts, Escape cancels): ");
    type(
        "se\xc3\xa9x\x7f"
        "cret\r");  // é is one character; DEL erases the x
    t.WaitFor("Remember (insecure)? [y/N] ", at);
    type("y");
    asked.get();
    auto cancelled = t.Ask(9, 0x10);
    t.WaitFor("You have 9 attempts", at);
    type("abc\x1b");
    cancelled.get();
    EXPECT_EQ(t.host.answers, (std::vector<Answer>{{"se\xc3\xa9"
                                                    "cret",
                                                    true},
                                                   {CDeviceWorker::kNoPassword, false}}));
    EXPECT_THAT(t.text, HasSubstr("****\b \b****"));
    EXPECT_THAT(t.text, Not(HasSubstr("cret")));
    type("x");
  }
  // The terminal did not echo the keys either.
  char echoed[4096] = {};
  pollfd pfd{master, POLLIN, 0};
  if (poll(&pfd, 1, 0) == 1) {
    EXPECT_GE(read(master, echoed, sizeof echoed - 1), 0);
  }
  EXPECT_THAT(std::string(echoed), Not(HasSubstr("cret")));
  close(master);
  close(slave);
}

// Second and simultaneous starts and a killed instance run end to end (Instances).
TEST(SingleInstance, IdleConnectionsDoNotLockLaterStartsOut) {
  test::TempDir temp;
  const std::string usb = temp.File("run/usb.sock");
  Lines f;
  CSingleInstance first(usb);
  std::string error;
  ASSERT_EQ(first.Claim(1000, error), CSingleInstance::Outcome::Running) << error;
  first.Serve(f.frontEnd, [&f] { f.frontEnd.Show(); });
  f.Send("h\n");
  f.Start();
  const std::size_t hidden = f.WaitFor("[tray]", 10);

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (usb + ".ctl").copy(address.sun_path, sizeof address.sun_path - 1);
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) {
    idle.push_back(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(connect(idle.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  CSingleInstance second(usb);
  EXPECT_EQ(second.Claim(5000, error), CSingleInstance::Outcome::OtherShown) << error;
  f.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====", hidden);
  for (int fd : idle) close(fd);
  f.Send("x\n");
  f.loop.join();
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
