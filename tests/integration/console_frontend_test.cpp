// The console front end against real pipes and a real pseudo-terminal: the log shown and
// hidden, commands, the password prompt with its hand-back order, held lines, cancel by
// Escape, end of input and abandon; and the single-instance lock with its control socket.
#include "platform/posix/app/console_frontend.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/app/single_instance.h"
#include "support/test_peers.h"

namespace skiff {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using Answer = std::pair<std::string, bool>;
const Answer kCancelled{CDeviceWorker::kNoPassword, false};

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe2(m_fds, O_CLOEXEC), 0); }
  ~Pipe() { CloseRead(), CloseWrite(); }
  int Read() const { return m_fds[0]; }
  int WriteEnd() const { return m_fds[1]; }
  void CloseRead() { Close(m_fds[0]); }
  void CloseWrite() { Close(m_fds[1]); }
  void Send(const std::string& text) const {
    ASSERT_EQ(write(m_fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

 private:
  static void Close(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int m_fds[2] = {-1, -1};
};

class RecordingHost : public IMainWindowHost {
 public:
  bool RunOnStartupClicked(bool checked) override {
    clicks.push_back(checked);
    return !checked;
  }
  void PasswordAnswered(const std::string& password, bool remember) override {
    std::lock_guard<std::mutex> lock(mutex);
    answers.emplace_back(password, remember);
    ++answerCount;
  }
  std::vector<Answer> Answers() {
    std::lock_guard<std::mutex> lock(mutex);
    return answers;
  }
  Answer Last() { return Answers().back(); }
  std::vector<bool> clicks;
  std::atomic<int> answerCount{0};

 private:
  std::mutex mutex;
  std::vector<Answer> answers;
};

// A front end on the given input, run on its own thread as the dialog thread.
struct FrontEndFixture {
  explicit FrontEndFixture(int inputFd, std::optional<CConsoleFrontEnd::InputMode> mode = {})
      : frontEnd(inputFd, output.WriteEnd(), mode.value_or(CConsoleFrontEnd::ModeFor(inputFd))) {
    log.SetWindow(&frontEnd);
  }
  // Runs the loop; everything it prints is collected on a thread of its own, so that
  // the front end never blocks on a full pipe.
  void Start() {
    reader = std::thread([this] {
      char buffer[4096];
      for (ssize_t n; (n = read(output.Read(), buffer, sizeof buffer)) > 0;) {
        std::lock_guard<std::mutex> lock(mutex);
        text.append(buffer, static_cast<std::size_t>(n));
        changed.notify_all();
      }
    });
    loop = std::thread([this] { frontEnd.RunModal(host); });
  }
  // A password request from the device's thread; the future gives the number of answers
  // the host had when the request returned.
  std::future<int> Ask(std::int32_t attempts, std::uint32_t pin) {
    return std::async(std::launch::async, [=, this] {
      frontEnd.RequestPassword(attempts, pin);
      return host.answerCount.load();
    });
  }
  bool WaitFor(const std::string& part, std::size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return text.find(part, from) != std::string::npos; });
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
  // After the loop has ended.
  void Finish() {
    if (loop.joinable()) loop.join();
    frontEnd.Destroy();
    output.CloseWrite();
    if (reader.joinable()) reader.join();  // ends when the write end closes
  }

  Pipe output;
  CConsoleFrontEnd frontEnd;
  RecordingHost host;
  CActivityLog log;
  std::thread reader, loop;
  std::mutex mutex;
  std::condition_variable changed;
  std::string text;
};

// Reading lines from a pipe; the loop ends by end of input.
struct InputPipe {
  Pipe input;
};
struct LinesFixture : InputPipe, FrontEndFixture {
  LinesFixture() : FrontEndFixture(input.Read(), CConsoleFrontEnd::InputMode::Lines) {}
  ~LinesFixture() {
    input.CloseWrite();
    Finish();
  }
};

TEST(ConsoleFrontEnd, LinesModeShowsTheLogAtOnceAndFollowsHideAndShow) {
  LinesFixture f;
  f.log.AddLine("kept before start");
  f.Start();
  ASSERT_TRUE(f.WaitFor("[tray] SkiffHouse Desktop Downloader v1.3"));
  ASSERT_TRUE(f.WaitFor("kept before start\n"));
  f.log.AddLine("Opening Channel: ", "SkiffhouseUSB");
  ASSERT_TRUE(f.WaitFor("Opening Channel: SkiffhouseUSB\n"));
  // Handheld text cannot drive the terminal.
  f.log.AddLine("evil \x1b]0;title\x07 text");
  ASSERT_TRUE(f.WaitFor("evil \\x1b]0;title\\x07 text\n"));
  EXPECT_THAT(f.Text(), Not(HasSubstr("\x1b")));
  EXPECT_THAT(f.Text(), Not(HasSubstr("\r\n")));

  f.input.Send("h\n");
  ASSERT_TRUE(f.WaitFor("[tray]", 60));
  f.log.AddLine("while hidden");
  f.input.Send("a\n");  // a command after the line proves the line was not printed before it
  ASSERT_TRUE(f.WaitFor("SkiffhouseDesktop Version 1.3"));
  EXPECT_THAT(f.Text(), Not(HasSubstr("while hidden")));

  const std::size_t before = f.Text().size();
  f.input.Send("\n");  // shows the window: the whole kept text
  ASSERT_TRUE(f.WaitFor("while hidden\n", before));
  const std::string shown = f.Text().substr(before);
  EXPECT_THAT(shown, HasSubstr("==== SkiffHouse Desktop Downloader v1.3 ===="));
  EXPECT_THAT(shown, HasSubstr("kept before start\nOpening Channel: SkiffhouseUSB\n"));

  f.input.Send("r\nr\nbogus\n");
  ASSERT_TRUE(f.WaitFor("Unknown command: bogus"));
  EXPECT_THAT(f.Text(), HasSubstr("Run On Startup: on\nRun On Startup: off\n"));
  EXPECT_EQ(f.host.clicks, (std::vector<bool>{false, true}));

  f.input.Send("x\n");
  f.loop.join();  // x ends the window without end of input
  f.frontEnd.Destroy();
  EXPECT_FALSE(f.frontEnd.IsAlive());
}

TEST(ConsoleFrontEnd, PromptAnsweredByLinesHandsBackBeforeReturningAndHoldsLogLines) {
  LinesFixture f;
  // A request that may come before the loop runs is shown once it starts.
  auto asked = f.Ask(7, 0x2A0F);
  f.Start();
  ASSERT_TRUE(f.WaitFor("Password (one line"));
  EXPECT_THAT(f.Text(),
              HasSubstr("Enter Password\nPlease enter password for handheld PIN 2a0f.\nYou have 7 "
                        "attempts remaining.\nNote that device will be wiped if all attempts are used.\n"));
  f.log.AddLine("arrived during the prompt");
  f.input.Send("my secret\n");
  ASSERT_TRUE(f.WaitFor("Remember (insecure)? [y/N]"));
  EXPECT_NE(asked.wait_for(0ms), std::future_status::ready);
  EXPECT_THAT(f.Text(), Not(HasSubstr("arrived during the prompt")));
  f.input.Send("yes\n");
  EXPECT_EQ(asked.get(), 1) << "answered before RequestPassword returned";
  EXPECT_EQ(f.host.Answers(), (std::vector<Answer>{{"my secret", true}}));
  ASSERT_TRUE(f.WaitFor("arrived during the prompt\n"));
  const std::string text = f.Text();
  EXPECT_LT(text.find("Password entered."), text.find("arrived during the prompt"));
  EXPECT_THAT(text, Not(HasSubstr("my secret")));

  // Anything but y/yes is no; an empty password is a password.
  auto second = f.Ask(6, 0);
  ASSERT_TRUE(f.WaitFor("PIN 0.\nYou have 6 attempts"));
  f.input.Send("\nn\n");
  second.get();
  EXPECT_EQ(f.host.Last(), (Answer{"", false}));
}

TEST(ConsoleFrontEnd, ShowRequestedDuringThePromptShowsTheWholeWindowAfterIt) {
  LinesFixture f;
  Pipe showRequests;  // stands for the control socket: a source of the loop
  f.frontEnd.AddSource(showRequests.Read(), [&] {
    char byte;
    if (read(showRequests.Read(), &byte, 1) == 1) f.frontEnd.Show();
  });
  f.log.AddLine("before the prompt");
  f.input.Send("h\n");
  f.Start();
  ASSERT_TRUE(f.WaitFor("[tray]", 10));
  auto asked = f.Ask(10, 1);
  ASSERT_TRUE(f.WaitFor("Password (one line"));
  showRequests.Send("s");
  f.log.AddLine("during the prompt");
  f.input.Send("pw\n");
  ASSERT_TRUE(f.WaitFor("Remember (insecure)"));
  EXPECT_THAT(f.Text(), Not(HasSubstr("during the prompt")));
  f.input.Send("n\n");
  asked.get();
  ASSERT_TRUE(f.WaitFor("Password entered."));
  const std::size_t entered = f.Text().find("Password entered.");
  ASSERT_TRUE(f.WaitFor("during the prompt\n", entered));
  const std::string after = f.Text().substr(entered);
  EXPECT_THAT(after, HasSubstr("==== SkiffHouse Desktop Downloader v1.3 ===="));
  EXPECT_THAT(after, HasSubstr("before the prompt\nduring the prompt\n"));
  f.input.CloseWrite();
  f.Finish();  // before the pipe the loop watches goes away
}

TEST(ConsoleFrontEnd, EscapeLineCancelsAndEndOfInputCancelsAndEnds) {
  LinesFixture f;
  f.Start();
  // Escape on the password line, then on the remember question.
  for (const auto& [attempts, keys] : {std::pair{10, "\x1b\n"}, std::pair{9, "typed\n\x1b\n"}}) {
    auto asked = f.Ask(attempts, 1);
    ASSERT_TRUE(f.WaitFor("You have " + std::to_string(attempts) + " attempts"));
    f.input.Send(keys);
    asked.get();
    EXPECT_EQ(f.host.Last(), kCancelled) << keys;
  }
  ASSERT_TRUE(f.WaitFor("Password prompt cancelled."));

  auto last = f.Ask(8, 1);
  ASSERT_TRUE(f.WaitFor("You have 8 attempts"));
  f.input.Send("half typed");  // no line end: end of input takes it as the password line
  f.input.CloseWrite();
  last.get();
  f.loop.join();
  EXPECT_EQ(f.host.Last(), kCancelled);
  EXPECT_EQ(f.host.answerCount, 3);
}

// The hand-off's own rules are tested with it; here the loop closes a withdrawn prompt.
TEST(ConsoleFrontEnd, AbandonWithdrawsTheOpenPromptAndTheNextLineIsACommand) {
  LinesFixture f;
  f.Start();
  auto asked = f.Ask(10, 5);
  ASSERT_TRUE(f.WaitFor("Password (one line"));
  f.frontEnd.Abandon();
  asked.get();
  f.frontEnd.RequestPassword(9, 5);  // not shown: the program is ending
  // The loop withdrew the prompt without answering again: the next line is a command.
  ASSERT_TRUE(f.WaitFor("Password prompt cancelled."));
  f.input.Send("a\n");
  ASSERT_TRUE(f.WaitFor("SkiffhouseDesktop Version 1.3")) << f.Text();
  EXPECT_EQ(f.host.answerCount, 2);
  EXPECT_THAT(f.Text(), Not(HasSubstr("You have 9 attempts")));
}

// ---- On a terminal ------------------------------------------------------------------

struct Terminal {
  Terminal() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~Terminal() { close(master), close(slave); }
  int master = -1, slave = -1;
};

struct TerminalFixture : Terminal, FrontEndFixture {
  TerminalFixture() : FrontEndFixture(slave) { Start(); }
  ~TerminalFixture() {
    if (loop.joinable()) Type("x");
    Finish();
  }
  void Type(const std::string& keys) const {
    ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Whatever the terminal itself echoed back.
  std::string Echoed() const {
    std::string echoed;
    char buffer[256];
    pollfd pfd{master, POLLIN, 0};
    for (ssize_t n; poll(&pfd, 1, 50) > 0 && (n = read(master, buffer, sizeof buffer)) > 0;) {
      echoed.append(buffer, static_cast<std::size_t>(n));
    }
    return echoed;
  }
};

TEST(ConsoleFrontEnd, TerminalStartsHiddenTakesKeysMasksThePasswordAndEscapeCancels) {
  TerminalFixture t;
  ASSERT_TRUE(t.WaitFor("(Enter: show window"));
  t.frontEnd.ShowText("line one\r\n", "line one\r\n");
  t.Type("a");
  ASSERT_TRUE(t.WaitFor("About SkiffhouseDesktop"));
  EXPECT_THAT(t.Text(), Not(HasSubstr("line one")));  // hidden: only the tray line
  t.Type("\r");
  ASSERT_TRUE(t.WaitFor("line one\n"));
  const std::size_t before = t.Text().size();
  t.Type("\x1b[Aa");  // an arrow key is not Escape and not a command
  ASSERT_TRUE(t.WaitFor("About SkiffhouseDesktop", before));

  auto asked = t.Ask(10, 0x10);
  ASSERT_TRUE(t.WaitFor("Password (Enter accepts, Escape cancels): "));
  t.Type(
      "se\xc3\xa9x\x7f"
      "cret\r");  // é is one character; DEL erases the x
  ASSERT_TRUE(t.WaitFor("Remember (insecure)? [y/N] "));
  t.Type("y");
  asked.get();
  EXPECT_EQ(t.host.Last(), (Answer{"se\xc3\xa9"
                                   "cret",
                                   true}));
  EXPECT_THAT(t.Text(), HasSubstr("****\b \b****"));
  EXPECT_THAT(t.Text(), Not(HasSubstr("cret")));
  EXPECT_THAT(t.Echoed(), Not(HasSubstr("cret")));  // the terminal did not echo it either

  const struct {
    int attempts;
    const char* keys;
    Answer expected;
  } more[] = {{9, "abc\x1b", kCancelled}, {8, "pw\r\r", {"pw", false}} /* Enter on the question: no */};
  for (const auto& c : more) {
    auto again = t.Ask(c.attempts, 0x10);
    ASSERT_TRUE(t.WaitFor("You have " + std::to_string(c.attempts) + " attempts"));
    t.Type(c.keys);
    again.get();
    EXPECT_EQ(t.host.Last(), c.expected) << c.attempts;
  }
  t.Type("x");
  t.loop.join();
  EXPECT_TRUE(t.host.clicks.empty());
}

// ---- One running instance --------------------------------------------------------------

int ConnectTo(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

CSingleInstance::Outcome ClaimAgain(const std::string& usb, int timeoutMs) {
  CSingleInstance other(usb);
  std::string error;
  return other.Claim(timeoutMs, error);
}

TEST(SingleInstance, SecondClaimShowsTheFirstAndSimultaneousClaimsElectOne) {
  test::TempDir temp;
  const std::string usb = temp.File("run/usb.sock");
  ASSERT_EQ(ClaimAgain(usb, 1000), CSingleInstance::Outcome::Running);
  // A socket left by a run that died: bound, never listened to.
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string control = usb + ".ctl";
  control.copy(address.sun_path, control.size());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);

  LinesFixture f;
  CSingleInstance first(usb);
  std::string error;
  ASSERT_EQ(first.Claim(1000, error), CSingleInstance::Outcome::Running) << error;
  first.Serve(f.frontEnd, [&f] { f.frontEnd.Show(); });
  f.input.Send("h\n");
  f.Start();
  ASSERT_TRUE(f.WaitFor("[tray]", 10));

  // Two more starts at once: neither runs, both get the first one shown.
  std::vector<std::future<CSingleInstance::Outcome>> starts;
  for (int i = 0; i < 2; ++i) starts.push_back(std::async(std::launch::async, ClaimAgain, usb, 5000));
  for (auto& start : starts) EXPECT_EQ(start.get(), CSingleInstance::Outcome::OtherShown);
  ASSERT_TRUE(f.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ===="));

  // Connections that never send their line do not lock later starts out.
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(ConnectTo(address));
  EXPECT_EQ(ClaimAgain(usb, 5000), CSingleInstance::Outcome::OtherShown);
  for (int fd : idle) close(fd);

  // A request that is not "show" is answered and changes nothing.
  const int fd = ConnectTo(address);
  ASSERT_EQ(write(fd, "exit\n", 5), 5);
  char reply[32] = {};
  ASSERT_GT(read(fd, reply, sizeof reply - 1), 0);
  EXPECT_STREQ(reply, "unknown\n");
  close(fd);

  f.input.Send("x\n");
  f.loop.join();
  first.StopServing();
}

}  // namespace
}  // namespace skiff
