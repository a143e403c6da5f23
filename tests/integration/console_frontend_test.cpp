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
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/app/single_instance.h"

namespace skiff {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

class Pipe {
 public:
  Pipe() { EXPECT_EQ(pipe2(m_fds, O_CLOEXEC), 0); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  int Read() const { return m_fds[0]; }
  int WriteEnd() const { return m_fds[1]; }
  void CloseRead() {
    if (m_fds[0] >= 0) close(m_fds[0]);
    m_fds[0] = -1;
  }
  void CloseWrite() {
    if (m_fds[1] >= 0) close(m_fds[1]);
    m_fds[1] = -1;
  }
  void Send(const std::string& text) const {
    ASSERT_EQ(write(m_fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

 private:
  int m_fds[2] = {-1, -1};
};

// Collects everything the front end prints, on its own thread, so that the front end
// never blocks on a full pipe; tests wait for text to appear.
class OutputReader {
 public:
  explicit OutputReader(int fd) : m_fd(fd), m_thread([this] { Loop(); }) {}
  ~OutputReader() { m_thread.join(); }  // ends when the write end closes

  bool WaitFor(const std::string& text, std::size_t from = 0) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, 10s, [&] { return m_text.find(text, from) != std::string::npos; });
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
  }
  std::size_t Size() { return Text().size(); }

 private:
  void Loop() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(m_fd, buffer, sizeof buffer);
      if (n <= 0) return;
      std::lock_guard<std::mutex> lock(m_mutex);
      m_text.append(buffer, static_cast<std::size_t>(n));
      m_changed.notify_all();
    }
  }
  int m_fd;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_text;
  std::thread m_thread;
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
  std::vector<std::pair<std::string, bool>> Answers() {
    std::lock_guard<std::mutex> lock(mutex);
    return answers;
  }
  std::vector<bool> clicks;
  std::atomic<int> answerCount{0};

 private:
  std::mutex mutex;
  std::vector<std::pair<std::string, bool>> answers;
};

// A front end reading lines from a pipe, run on its own thread as the dialog thread.
struct LinesFixture {
  Pipe input, output;
  CConsoleFrontEnd frontEnd{input.Read(), output.WriteEnd(), CConsoleFrontEnd::InputMode::Lines};
  RecordingHost host;
  CActivityLog log;
  std::unique_ptr<OutputReader> reader;
  std::thread loop;

  LinesFixture() { log.SetWindow(&frontEnd); }
  void Start() {
    reader = std::make_unique<OutputReader>(output.Read());
    loop = std::thread([this] { frontEnd.RunModal(host); });
  }
  // Ends the loop by end of input and waits for it.
  void Finish() {
    input.CloseWrite();
    if (loop.joinable()) loop.join();
    frontEnd.Destroy();
    output.CloseWrite();
    reader.reset();
  }
  ~LinesFixture() { Finish(); }
};

TEST(ConsoleFrontEnd, LinesModeShowsTheLogAtOnceAndFollowsHideAndShow) {
  LinesFixture f;
  f.log.AddLine("kept before start");
  f.Start();
  ASSERT_TRUE(f.reader->WaitFor("[tray] SkiffHouse Desktop Downloader v1.3"));
  ASSERT_TRUE(f.reader->WaitFor("kept before start\n"));
  f.log.AddLine("Opening Channel: ", "SkiffhouseUSB");
  ASSERT_TRUE(f.reader->WaitFor("Opening Channel: SkiffhouseUSB\n"));
  // Handheld text cannot drive the terminal.
  f.log.AddLine("evil \x1b]0;title\x07 text");
  ASSERT_TRUE(f.reader->WaitFor("evil \\x1b]0;title\\x07 text\n"));
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("\x1b")));
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("\r\n")));

  f.input.Send("h\n");
  ASSERT_TRUE(f.reader->WaitFor("[tray]", 60));
  f.log.AddLine("while hidden");
  f.input.Send("a\n");  // a command after the line proves the line was not printed before it
  ASSERT_TRUE(f.reader->WaitFor("SkiffhouseDesktop Version 1.3"));
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("while hidden")));

  const std::size_t before = f.reader->Size();
  f.input.Send("\n");  // shows the window: the whole kept text
  ASSERT_TRUE(f.reader->WaitFor("while hidden\n", before));
  const std::string shown = f.reader->Text().substr(before);
  EXPECT_THAT(shown, HasSubstr("==== SkiffHouse Desktop Downloader v1.3 ===="));
  EXPECT_THAT(shown, HasSubstr("kept before start\nOpening Channel: SkiffhouseUSB\n"));

  f.input.Send("r\nr\nbogus\n");
  ASSERT_TRUE(f.reader->WaitFor("Unknown command: bogus"));
  EXPECT_THAT(f.reader->Text(), HasSubstr("Run On Startup: on\nRun On Startup: off\n"));
  EXPECT_EQ(f.host.clicks, (std::vector<bool>{false, true}));

  f.input.Send("x\n");
  f.loop.join();  // x ends the window without end of input
  f.frontEnd.Destroy();
  EXPECT_FALSE(f.frontEnd.IsAlive());
}

TEST(ConsoleFrontEnd, PromptAnsweredByLinesHandsBackBeforeReturningAndHoldsLogLines) {
  LinesFixture f;
  f.Start();
  ASSERT_TRUE(f.reader->WaitFor("[tray]"));
  std::atomic<bool> returned{false};
  int answersWhenReturned = -1;
  std::thread device([&] {
    f.frontEnd.RequestPassword(7, 0x2A0F);
    answersWhenReturned = f.host.answerCount.load();
    returned = true;
  });
  ASSERT_TRUE(f.reader->WaitFor("Password (one line"));
  EXPECT_THAT(f.reader->Text(),
              HasSubstr("Enter Password\nPlease enter password for handheld PIN 2a0f.\nYou have 7 attempts "
                        "remaining.\nNote that device will be wiped if all attempts are used.\n"));
  f.log.AddLine("arrived during the prompt");
  f.input.Send("my secret\n");
  ASSERT_TRUE(f.reader->WaitFor("Remember (insecure)? [y/N]"));
  EXPECT_FALSE(returned.load());
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("arrived during the prompt")));
  f.input.Send("yes\n");
  device.join();
  EXPECT_EQ(answersWhenReturned, 1);  // answered before RequestPassword returned
  EXPECT_EQ(f.host.Answers(), (std::vector<std::pair<std::string, bool>>{{"my secret", true}}));
  ASSERT_TRUE(f.reader->WaitFor("arrived during the prompt\n"));
  const std::string text = f.reader->Text();
  EXPECT_LT(text.find("Password entered."), text.find("arrived during the prompt"));
  EXPECT_THAT(text, Not(HasSubstr("my secret")));

  // Anything but y/yes is no; an empty password is a password.
  std::thread second([&] { f.frontEnd.RequestPassword(6, 0); });
  ASSERT_TRUE(f.reader->WaitFor("PIN 0.\nYou have 6 attempts"));
  f.input.Send("\nn\n");
  second.join();
  EXPECT_EQ(f.host.Answers().back(), (std::pair<std::string, bool>{"", false}));
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
  ASSERT_TRUE(f.reader->WaitFor("[tray]", 10));
  std::thread device([&] { f.frontEnd.RequestPassword(10, 1); });
  ASSERT_TRUE(f.reader->WaitFor("Password (one line"));
  showRequests.Send("s");
  f.log.AddLine("during the prompt");
  f.input.Send("pw\n");
  ASSERT_TRUE(f.reader->WaitFor("Remember (insecure)"));
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("during the prompt")));
  f.input.Send("n\n");
  device.join();
  ASSERT_TRUE(f.reader->WaitFor("Password entered."));
  const std::size_t entered = f.reader->Text().find("Password entered.");
  ASSERT_TRUE(f.reader->WaitFor("during the prompt\n", entered));
  const std::string after = f.reader->Text().substr(entered);
  EXPECT_THAT(after, HasSubstr("==== SkiffHouse Desktop Downloader v1.3 ===="));
  EXPECT_THAT(after, HasSubstr("before the prompt\nduring the prompt\n"));
  f.Finish();  // before the pipe the loop watches goes away
}

TEST(ConsoleFrontEnd, EscapeLineCancelsAndEndOfInputCancelsAndEnds) {
  LinesFixture f;
  f.Start();
  std::thread device([&] { f.frontEnd.RequestPassword(10, 1); });
  ASSERT_TRUE(f.reader->WaitFor("Password (one line"));
  f.input.Send("\x1b\n");
  device.join();
  EXPECT_EQ(f.host.Answers().back(), (std::pair<std::string, bool>{CDeviceWorker::kNoPassword, false}));
  ASSERT_TRUE(f.reader->WaitFor("Password prompt cancelled."));

  // Escape on the remember question cancels too.
  std::thread remember([&] { f.frontEnd.RequestPassword(9, 1); });
  ASSERT_TRUE(f.reader->WaitFor("You have 9 attempts"));
  f.input.Send("typed\n\x1b\n");
  remember.join();
  EXPECT_EQ(f.host.Answers().back().first, CDeviceWorker::kNoPassword);

  std::thread last([&] { f.frontEnd.RequestPassword(8, 1); });
  ASSERT_TRUE(f.reader->WaitFor("You have 8 attempts"));
  f.input.Send("half typed");  // no line end: end of input takes it as the password line
  f.input.CloseWrite();
  last.join();
  f.loop.join();
  EXPECT_EQ(f.host.Answers().back().first, CDeviceWorker::kNoPassword);
  EXPECT_EQ(f.host.answerCount.load(), 3);
}

TEST(ConsoleFrontEnd, AbandonEndsOpenAndLaterPromptsAtOnceAsACancel) {
  LinesFixture f;
  f.Start();
  std::thread device([&] { f.frontEnd.RequestPassword(10, 5); });
  ASSERT_TRUE(f.reader->WaitFor("Password (one line"));
  const auto start = std::chrono::steady_clock::now();
  f.frontEnd.Abandon();
  device.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(f.host.Answers(),
            (std::vector<std::pair<std::string, bool>>{{CDeviceWorker::kNoPassword, false}}));
  // A later request is not shown and ends at once as a cancel too.
  f.frontEnd.RequestPassword(9, 5);
  EXPECT_EQ(f.host.answerCount.load(), 2);
  EXPECT_EQ(f.host.Answers().back().first, CDeviceWorker::kNoPassword);
  // The loop withdrew the prompt without answering again: the next line is a command.
  ASSERT_TRUE(f.reader->WaitFor("Password prompt cancelled."));
  f.input.Send("a\n");
  ASSERT_TRUE(f.reader->WaitFor("SkiffhouseDesktop Version 1.3")) << f.reader->Text();
  EXPECT_EQ(f.host.answerCount.load(), 2);
  EXPECT_THAT(f.reader->Text(), Not(HasSubstr("You have 9 attempts")));
}

TEST(ConsoleFrontEnd, RequestBeforeTheLoopRunsIsShownWhenItStarts) {
  LinesFixture f;
  std::thread device([&] { f.frontEnd.RequestPassword(10, 0xabc); });
  std::this_thread::sleep_for(50ms);  // let the request queue up before the loop exists
  f.Start();
  ASSERT_TRUE(f.reader->WaitFor("PIN abc."));
  f.input.Send("pw\ny\n");
  device.join();
  EXPECT_EQ(f.host.Answers().back(), (std::pair<std::string, bool>{"pw", true}));
}

// ---- On a terminal ------------------------------------------------------------------

struct TerminalFixture {
  int master = -1, slave = -1;
  Pipe output;
  std::unique_ptr<CConsoleFrontEnd> frontEnd;
  RecordingHost host;
  std::unique_ptr<OutputReader> reader;
  std::thread loop;

  TerminalFixture() {
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    frontEnd = std::make_unique<CConsoleFrontEnd>(slave, output.WriteEnd(), CConsoleFrontEnd::ModeFor(slave));
    reader = std::make_unique<OutputReader>(output.Read());
    loop = std::thread([this] { frontEnd->RunModal(host); });
  }
  void Type(const std::string& keys) const {
    ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Whatever the terminal itself echoed back.
  std::string Echoed() const {
    std::string echoed;
    char buffer[256];
    pollfd pfd{master, POLLIN, 0};
    while (poll(&pfd, 1, 50) > 0) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      echoed.append(buffer, static_cast<std::size_t>(n));
    }
    return echoed;
  }
  ~TerminalFixture() {
    if (loop.joinable()) {
      Type("x");
      loop.join();
    }
    frontEnd.reset();
    output.CloseWrite();
    reader.reset();
    close(master);
    close(slave);
  }
};

TEST(ConsoleFrontEnd, TerminalStartsHiddenAndTakesKeys) {
  TerminalFixture t;
  ASSERT_TRUE(t.reader->WaitFor("(Enter: show window"));
  t.frontEnd->ShowText("line one\r\n", "line one\r\n");
  t.Type("a");
  ASSERT_TRUE(t.reader->WaitFor("About SkiffhouseDesktop"));
  EXPECT_THAT(t.reader->Text(), Not(HasSubstr("line one")));  // hidden: only the tray line
  t.Type("\r");
  ASSERT_TRUE(t.reader->WaitFor("line one\n"));
  t.Type("\x1b[A");  // an arrow key is not Escape and not a command
  t.Type("x");
  t.loop.join();
  EXPECT_TRUE(t.host.clicks.empty());
}

TEST(ConsoleFrontEnd, TerminalPasswordIsMaskedAndEscapeCancels) {
  TerminalFixture t;
  ASSERT_TRUE(t.reader->WaitFor("(Enter: show window"));
  std::thread device([&] { t.frontEnd->RequestPassword(10, 0x10); });
  ASSERT_TRUE(t.reader->WaitFor("Password (Enter accepts, Escape cancels): "));
  t.Type(
      "se\xc3\xa9x\x7f"
      "cret\r");  // é is one character; DEL erases the x
  ASSERT_TRUE(t.reader->WaitFor("Remember (insecure)? [y/N] "));
  t.Type("y");
  device.join();
  EXPECT_EQ(t.host.Answers().back(), (std::pair<std::string, bool>{"se\xc3\xa9"
                                                                   "cret",
                                                                   true}));
  const std::string text = t.reader->Text();
  EXPECT_THAT(text, HasSubstr("****\b \b****"));
  EXPECT_THAT(text, Not(HasSubstr("cret")));
  EXPECT_THAT(t.Echoed(), Not(HasSubstr("cret")));  // the terminal did not echo it either

  std::thread cancelled([&] { t.frontEnd->RequestPassword(9, 0x10); });
  ASSERT_TRUE(t.reader->WaitFor("You have 9 attempts"));
  t.Type("abc\x1b");
  cancelled.join();
  EXPECT_EQ(t.host.Answers().back(), (std::pair<std::string, bool>{CDeviceWorker::kNoPassword, false}));

  std::thread plainNo([&] { t.frontEnd->RequestPassword(8, 0x10); });
  ASSERT_TRUE(t.reader->WaitFor("You have 8 attempts"));
  t.Type("pw\r\r");  // Enter on the question: the default, no
  plainNo.join();
  EXPECT_EQ(t.host.Answers().back(), (std::pair<std::string, bool>{"pw", false}));
}

// ---- One running instance --------------------------------------------------------------

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/skiff-instance-XXXXXX";
    m_path = mkdtemp(pattern);
  }
  ~TempFolder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

TEST(SingleInstance, SecondClaimShowsTheFirstAndSimultaneousClaimsElectOne) {
  TempFolder temp;
  const std::string usb = temp.Path() + "/run/usb.sock";
  // A socket left by a run that died: bound, never listened to.
  {
    CSingleInstance setup(usb);
    std::string error;
    ASSERT_EQ(setup.Claim(1000, error), CSingleInstance::Outcome::Running) << error;
  }
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
  ASSERT_TRUE(f.reader->WaitFor("[tray]", 10));

  // Two more starts at once: neither runs, both get the first one shown.
  std::vector<std::future<CSingleInstance::Outcome>> starts;
  for (int i = 0; i < 2; ++i)
    starts.push_back(std::async(std::launch::async, [&usb] {
      CSingleInstance other(usb);
      std::string otherError;
      return other.Claim(5000, otherError);
    }));
  for (auto& start : starts) EXPECT_EQ(start.get(), CSingleInstance::Outcome::OtherShown);
  ASSERT_TRUE(f.reader->WaitFor("==== SkiffHouse Desktop Downloader v1.3 ===="));

  // Connections that never send their line do not lock later starts out.
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) {
    idle.push_back(socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(connect(idle.back(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  {
    CSingleInstance late(usb);
    std::string lateError;
    EXPECT_EQ(late.Claim(5000, lateError), CSingleInstance::Outcome::OtherShown);
  }
  for (int fd : idle) close(fd);

  // A request that is not "show" is answered and changes nothing.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(write(fd, "exit\n", 5), 5);
  char reply[32] = {};
  ASSERT_GT(read(fd, reply, sizeof reply - 1), 0);
  EXPECT_STREQ(reply, "unknown\n");
  close(fd);

  f.input.Send("x\n");
  f.loop.join();
  first.StopServing();
}

TEST(SingleInstance, RacingClaimsLeaveExactlyOneRunning) {
  TempFolder temp;
  const std::string usb = temp.Path() + "/usb.sock";
  for (int round = 0; round < 5; ++round) {
    std::vector<std::unique_ptr<CSingleInstance>> instances;
    for (int i = 0; i < 4; ++i) instances.push_back(std::make_unique<CSingleInstance>(usb));
    std::vector<std::future<CSingleInstance::Outcome>> claims;
    for (auto& instance : instances)
      claims.push_back(std::async(std::launch::async, [&instance] {
        std::string error;
        // Nobody serves the socket here, so the losers find a silent holder.
        return instance->Claim(300, error);
      }));
    int running = 0;
    for (auto& claim : claims) {
      const auto outcome = claim.get();
      running += outcome == CSingleInstance::Outcome::Running;
      EXPECT_NE(outcome, CSingleInstance::Outcome::Failed);
    }
    EXPECT_EQ(running, 1) << "round " << round;
  }
}

}  // namespace
}  // namespace skiff
