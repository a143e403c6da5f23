// The POSIX basic hooks: the console echo on standard error, the system message texts,
// and the ANSI code page being UTF-8.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "platform/platform.h"

namespace skiff {
namespace {

// What write puts on standard error, pointed at a temporary file meanwhile.
std::string StderrOf(const std::function<void()>& write) {
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  std::FILE* file = std::tmpfile();
  ::dup2(::fileno(file), STDERR_FILENO);
  write();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text(static_cast<std::size_t>(::lseek(::fileno(file), 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(::fileno(file), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  std::fclose(file);
  return text;
}

TEST(ConsoleEcho, WritesTheTextVerbatimAndOneLineFeedAndSurvivesAGoneReader) {
  const std::string longLine(5000, 'x');  // longer than the one-write buffer
  EXPECT_EQ(StderrOf([&] {
              ConsoleEcho("100% %s %n done");
              ConsoleEcho("");
              ConsoleEcho(longLine);
            }),
            "100% %s %n done\n\n" + longLine + "\n");

  const int saved = ::dup(STDERR_FILENO);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);  // the reader has gone: a plain write would raise SIGPIPE and end the program
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  ConsoleEcho("nobody reads this");
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  ::close(STDERR_FILENO);
  ConsoleEcho("no console at all");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_EQ(StderrOf([] { ConsoleEcho("back"); }), "back\n");
}

TEST(SystemMessageText, KnownCodesHaveTextWithLineEndUnknownOnesLeaveItAlone) {
  std::string text;
  ASSERT_TRUE(SystemMessageText(HRESULT_FROM_WIN32(ERROR_CANCELLED), text));
  EXPECT_EQ(text, "The operation was canceled by the user.\r\n");
  text = "untouched";
  EXPECT_FALSE(SystemMessageText(CONNECT_E_NOCONNECTION, text));
  EXPECT_FALSE(SystemMessageText(MakeHresult(0x80070000u), text));
  EXPECT_EQ(text, "untouched");
  // The ANSI code page is UTF-8.
  EXPECT_EQ(WideToAnsiString(u"Gr\u00FC\u00DFe \u20AC"),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC");
  EXPECT_EQ(AnsiToWideString("\xE2\x82\xAC\xFF"), std::u16string(u"\u20AC\uFFFD"));
}

}  // namespace
}  // namespace skiff
