// The POSIX basic hooks: the console echo on standard error, the system message texts,
// and the ANSI code page being UTF-8.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "platform/platform.h"

namespace skiff {
namespace {

// Points standard error at a temporary file for the test's lifetime.
class CapturedStderr {
 public:
  CapturedStderr() {
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    m_file = std::tmpfile();
    ::dup2(::fileno(m_file), STDERR_FILENO);
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  ~CapturedStderr() {
    ::dup2(m_saved, STDERR_FILENO);
    ::close(m_saved);
    std::fclose(m_file);
  }
  std::string Text() {
    std::string text;
    std::rewind(m_file);
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) text.append(buffer, got);
    return text;
  }

 private:
  int m_saved = -1;
  std::FILE* m_file = nullptr;
};

TEST(ConsoleEcho, WritesTheTextVerbatimAndOneLineFeed) {
  CapturedStderr captured;
  ConsoleEcho("Device count is 0");
  ConsoleEcho("100% %s %n done");
  ConsoleEcho("");
  const std::string longLine(5000, 'x');  // longer than the one-write buffer
  ConsoleEcho(longLine);
  EXPECT_EQ(captured.Text(), "Device count is 0\n100% %s %n done\n\n" + longLine + "\n");
}

bool SigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

TEST(ConsoleEcho, AGoneReaderOrNoConsoleIsIgnoredAndTheProgramLives) {
  const int saved = ::dup(STDERR_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // the reader has gone: a plain write would raise SIGPIPE
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  ConsoleEcho("nobody reads this");
  EXPECT_FALSE(SigpipePending());
  ::close(STDERR_FILENO);
  ConsoleEcho("no console at all");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  CapturedStderr captured;  // and the echo still works afterwards
  ConsoleEcho("back");
  EXPECT_EQ(captured.Text(), "back\n");
}

// A known code has its text with the system's line end; an unknown one leaves the text.
TEST(SystemMessageText, KnownCodesHaveTextWithLineEndUnknownOnesNone) {
  std::string text;
  ASSERT_TRUE(SystemMessageText(HRESULT_FROM_WIN32(ERROR_CANCELLED), text));
  EXPECT_EQ(text, "The operation was canceled by the user.\r\n");
  text = "untouched";
  EXPECT_FALSE(SystemMessageText(CONNECT_E_NOCONNECTION, text));
  EXPECT_FALSE(SystemMessageText(MakeHresult(0x80070000u), text));
  EXPECT_EQ(text, "untouched");
}

TEST(AnsiCodePage, IsUtf8) {
  EXPECT_EQ(WideToAnsiString(u"Gr\u00FC\u00DFe \u20AC"),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC");
  EXPECT_EQ(AnsiToWideString("\xE2\x82\xAC\xFF"), std::u16string(u"\u20AC\uFFFD"));
}

}  // namespace
}  // namespace skiff
