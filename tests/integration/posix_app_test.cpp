// The POSIX program's parts on real files, pipes, a pseudo-terminal and a control socket,
// for what tests/e2e/test_desktop.py cannot steer the whole program into: the INI profile's
// rewrites, modes and damaged files; autostart quoting; the console's masked password and
// held lines; a killed run's control socket, simultaneous starts and idle connections; the
// standard-error echo nobody reads.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/app/autostart.h"
#include "platform/posix/app/console_frontend.h"
#include "platform/posix/app/console_rules.h"
#include "platform/posix/app/ini_profile.h"
#include "platform/posix/app/single_instance.h"
#include "support/temporary_folder.h"

namespace skiff {
namespace {

using ::testing::HasSubstr;
using namespace std::string_literals;

std::string ReadFile(const std::string& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A profile whose reports are collected.
struct ReportedProfile : ILogSink {
  explicit ReportedProfile(const std::string& path) : profile(path, this) {}
  void Log(const std::string& line) override { reports += line + "\n"; }
  std::string reports;
  CIniProfile profile;
};

TEST(ConsoleRules, YesNoAnswersControlRepliesAndDisplaySafeText) {
  for (const char* yes : {"y", "YES", " yes\r", "\tY "}) EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  for (const char* no : {"", "no", "yess", "y y", "1"}) EXPECT_FALSE(IsYesAnswer(no)) << no;

  bool show = false;
  EXPECT_EQ(ControlReplyFor("show please", show), kControlUnknownReply);
  EXPECT_FALSE(show);
  EXPECT_EQ(ControlReplyFor("show\r", show), kControlShownReply);
  EXPECT_TRUE(show);

  // Line ends, tabs and UTF-8 stay; controls, also the 8-bit ones (\233 is 0x9b), overlong
  // and surrogate sequences and one cut at the end are escaped byte by byte.
  EXPECT_EQ(DisplaySafeText(
                "ok\r\n\tcaf\xc3\xa9 \xf0\x9f\x98\x80 \0\x7f\xc2\23331m\23331m\xc0\xaf\xed\xa0\x80\xe2\x82"s),
            "ok\r\n\tcaf\xc3\xa9 \xf0\x9f\x98\x80 "
            "\\x00\\x7f\\xc2\\x9b31m\\x9b31m\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82");
}

TEST(IniProfile, WriteChangesOneEntryKeepsEverythingElseMakesTheFilePrivateAndLosesNothing) {
  testing::TemporaryFolder temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  // A CR that is not the line end's own makes its line damage, not an entry: a rewrite
  // that dropped it would turn the line into an entry that hides the one written.
  WriteFile(path,
            "; by hand\r\n[general]\r\nVersion=1.3\r\nOther=kept\r\n\r\n[Saved passwords]\r\nff=first\r\n"
            "ab=old\r\r\n[Someone else's]\r\nx=y\r\n");
  chmod(path.c_str(), 0644);
  chmod(temp.Path().c_str(), 01777);  // a shared folder, as /tmp is
  ReportedProfile p(path);
  // Sections and names are matched without regard to case, as the registry does.
  EXPECT_EQ(p.profile.GetString("General", "version", "0.0"), "1.3");
  EXPECT_EQ(p.profile.GetString("Saved passwords", "ab", "none"), "none");
  EXPECT_THAT(p.reports, ::testing::AllOf(HasSubstr("damaged"), HasSubstr("line 8")));

  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ab", "new"));
  ASSERT_TRUE(p.profile.WriteString("Saved passwords", "ff", "pass word=with equals"));
  ASSERT_TRUE(p.profile.DeleteEntry("General", "Other"));
  EXPECT_EQ(ReadFile(path),
            "; by hand\n[general]\nVersion=1.3\n\n[Saved passwords]\nff=pass word=with equals\n"
            "ab=old\r\r\nab=new\n[Someone else's]\nx=y\n");
  EXPECT_EQ(ModeOf(path), 0600u);          // a file that holds passwords is private again
  EXPECT_EQ(ModeOf(temp.Path()), 01777u);  // and the shared folder stays open to its users

  // Values that cannot be kept on one line are refused, and the file is untouched.
  const std::string before = ReadFile(path);
  EXPECT_FALSE(p.profile.WriteString("Saved passwords", "2", "two\nlines"));
  EXPECT_FALSE(p.profile.WriteString("Saved passwords", "a=b", "x"));
  EXPECT_FALSE(p.profile.WriteString("Bad]section", "a", "x"));
  EXPECT_EQ(ReadFile(path), before);

  // Two threads writing at once lose no entry; the next start reads what was written.
  const auto write = [&p](char t) {
    for (int i = 0; i < 10; ++i) p.profile.WriteString("Saved passwords", t + std::to_string(i), "pw");
  };
  std::thread other(write, 'a');
  write('b');
  other.join();
  for (const char* name : {"ab", "a0", "a9", "b0", "b9"})
    EXPECT_NE(CIniProfile(path).GetString("Saved passwords", name, "none"), "none") << name;
}

TEST(IniProfile, DamagedFilesReadAsDefaultsNeverThrowAndUnreadableOnesAreNeverOverwritten) {
  testing::TemporaryFolder temp;
  const std::string path = temp.Path() + "/SkiffHouse.ini";
  for (const auto& content : {
           std::string("\0\0\x01\xff garbage\n\0", 14),
           std::string("[General\nVersion=1.3\n"),  // the section line is broken, so is what follows it
           std::string("[]\n=novalue\n") + std::string(40, '\n') + "[General]\n\xff\xfe=\x01\n",
       }) {
    SCOPED_TRACE(::testing::PrintToString(content));
    WriteFile(path, content);
    ReportedProfile p(path);
    EXPECT_EQ(p.profile.GetString("General", "Version", "0.0"), "0.0");
    EXPECT_THAT(p.reports, HasSubstr("damaged"));
    EXPECT_TRUE(p.profile.WriteString("General", "Version", "1.3"));  // writing still works
  }

  // A folder where the file should be: it cannot be read, whoever runs the test.
  const std::string folder = temp.Path() + "/folder.ini";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  WriteFile(folder + "/keep", "precious");
  ReportedProfile unreadable(folder);
  EXPECT_EQ(unreadable.profile.GetString("General", "Version", "0.0"), "0.0");
  EXPECT_THAT(unreadable.reports, HasSubstr("Cannot read"));
  EXPECT_FALSE(unreadable.profile.WriteString("General", "Version", "1.3"));
  EXPECT_FALSE(unreadable.profile.DeleteEntry("General", "Version"));
  EXPECT_THAT(unreadable.reports, HasSubstr("was not written"));
  EXPECT_EQ(ReadFile(folder + "/keep"), "precious");
}

TEST(AutostartEntry, ExecQuotesReservedCharactersAsDesktopEntriesRequire) {
  // Inside quotes ", `, $ and \ take a backslash; then the string escape doubles every
  // backslash, and % becomes %%.
  EXPECT_EQ(DesktopExecValue("/home/a b/skiffhouse"), "\"/home/a b/skiffhouse\"");
  EXPECT_EQ(DesktopExecValue("/o'k/$x\"y`z\\"), "\"/o'k/\\\\$x\\\\\"y\\\\`z\\\\\\\\\"");
  EXPECT_EQ(DesktopExecValue("/100%/run"), "/100%%/run");
}

using ::testing::Not;
using Answer = std::pair<std::string, bool>;

// Two descriptors closed at the end: a pipe (read, write) or a terminal (main side, other).
struct Fds {
  explicit Fds(bool terminal) {
    EXPECT_EQ(terminal ? openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) : pipe2(fds, O_CLOEXEC), 0);
  }
  ~Fds() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2] = {-1, -1};
};

struct Host : IMainWindowHost {
  bool RunOnStartupClicked(bool checked) override { return checked; }
  void PasswordAnswered(const std::string& password, bool remember) override {
    answers.emplace_back(password, remember);
  }
  std::vector<Answer> answers;
};

// A front end on a pseudo-terminal, run on its own thread as the dialog thread; hidden.
struct Console {
  void Start() {  // after the sources of the loop are added
    log.SetWindow(&frontEnd);
    loop = std::thread([this] { frontEnd.RunModal(host); });
  }
  ~Console() {
    Type("x");
    if (loop.joinable()) loop.join();
    frontEnd.Destroy();
  }
  void Type(const std::string& keys) const {
    ASSERT_EQ(write(terminal.fds[0], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
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
  Fds terminal{true}, output{false};
  CConsoleFrontEnd frontEnd{terminal.fds[1], output.fds[1], CConsoleFrontEnd::InputMode::Terminal};
  Host host;
  CActivityLog log;
  std::thread loop;
  std::string text;
};

TEST(ConsoleFrontEnd, ThePasswordIsMaskedAndEditedLogLinesWaitUntilThePromptIsAnswered) {
  Console t;
  t.Start();
  t.Type("\r");  // shows the window
  std::size_t at = t.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====");
  auto asked = t.Ask(10, 0x10);
  at = t.WaitFor("Password (Enter accepts, Escape cancels): ", at);
  t.log.AddLine("during the prompt");
  t.Type("se\u00e9x\177cret\r");  // é is one character; DEL erases the x
  at = t.WaitFor("Remember (insecure)? [y/N] ", at);
  t.Type("y");
  asked.get();
  at = t.WaitFor("Password entered.", at);
  EXPECT_GT(t.text.find("during the prompt"), at);  // held until the prompt closed
  t.WaitFor("during the prompt\n", at);
  auto cancelled = t.Ask(9, 0x10);
  at = t.WaitFor("You have 9 attempts", at);
  t.Type("\r");  // nothing typed: nothing is sent, and the prompt says why
  at = t.WaitFor("Empty password: it would use up an attempt.", at);
  t.Type("abc\x1b");
  cancelled.get();
  EXPECT_EQ(t.host.answers,
            (std::vector<Answer>{{"se\u00e9cret", true}, {CDeviceWorker::kNoPassword, false}}));
  EXPECT_THAT(t.text, HasSubstr("****\b \b****"));
  EXPECT_THAT(t.text, Not(HasSubstr("cret")));
  char echoed[4096] = {};  // the terminal did not echo the keys either
  pollfd pfd{t.terminal.fds[0], POLLIN, 0};
  if (poll(&pfd, 1, 0) == 1) {
    EXPECT_GE(read(t.terminal.fds[0], echoed, sizeof echoed - 1), 0);
  }
  EXPECT_THAT(std::string(echoed), Not(HasSubstr("cret")));
}

TEST(ConsoleFrontEnd, TheTrayLineFitsEightyColumnsAndComesBackAfterAPromptWhileHidden) {
  Console t;
  t.Start();
  std::size_t at = t.WaitFor("[tray] ");
  const std::size_t end = t.WaitFor("\n", at);
  EXPECT_LT(end - at, 80u) << t.text;
  auto asked = t.Ask(10, 0x10);
  at = t.WaitFor("Password (Enter accepts, Escape cancels): ", end);
  t.Type("pw\rn");
  asked.get();
  at = t.WaitFor("Password entered.\n", at);
  t.WaitFor("[tray] ", at);
}

CSingleInstance::Outcome ClaimAgain(const std::string& usb) {
  CSingleInstance other(usb);
  std::string error;
  return other.Claim(5000, error);
}

TEST(SingleInstance, AKilledRunIsTakenOverAndLaterStartsShowTheFirstEvenPastIdleConnections) {
  testing::TemporaryFolder temp;
  const std::string usb = temp.File("run/usb.sock");
  Console t;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (usb + ".ctl").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(ClaimAgain(usb), CSingleInstance::Outcome::Running);
  // A control socket left by a run that was killed: bound, never listened to.
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(stale);

  CSingleInstance first(usb);
  std::string error;
  ASSERT_EQ(first.Claim(1000, error), CSingleInstance::Outcome::Running) << error;
  first.Serve(t.frontEnd, [&t] { t.frontEnd.Show(); });
  t.Start();
  // Two starts at once: neither runs, both get the first one shown.
  std::vector<std::future<CSingleInstance::Outcome>> starts;
  starts.reserve(2);
  for (int i = 0; i < 2; ++i) starts.push_back(std::async(std::launch::async, ClaimAgain, usb));
  for (auto& start : starts) EXPECT_EQ(start.get(), CSingleInstance::Outcome::OtherShown);
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) {
    idle.push_back(socket(AF_UNIX, SOCK_STREAM, 0));
    EXPECT_EQ(connect(idle.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  EXPECT_EQ(ClaimAgain(usb), CSingleInstance::Outcome::OtherShown);
  t.WaitFor("==== SkiffHouse Desktop Downloader v1.3 ====");
  for (int fd : idle) close(fd);
  t.Type("x");
  t.loop.join();  // serving ends on the loop's thread, or after it
  first.StopServing();
}

// Log lines are echoed in the ANSI code page, UTF-8 here; a gone reader is no SIGPIPE.
TEST(ConsoleEcho, WritesUtf8VerbatimAndSurvivesAGoneReader) {
  const int saved = dup(STDERR_FILENO);
  Fds echo(false), gone(false);
  dup2(echo.fds[1], STDERR_FILENO);
  ConsoleEcho(WideToAnsiString(u"100% %s Gr\u00FC\u00DFe \u20AC"));
  ConsoleEcho(std::string(5000, 'x'));  // longer than the one-write buffer
  close(std::exchange(gone.fds[0], -1));
  dup2(gone.fds[1], STDERR_FILENO);
  ConsoleEcho("nobody reads this");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(std::exchange(echo.fds[1], -1));
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(echo.fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(text, "100% %s Gr\u00FC\u00DFe \u20AC\n" + std::string(5000, 'x') + "\n");
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
}  // namespace skiff
