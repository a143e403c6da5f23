// The shell's platform-free rules: first start and run on startup, the password prompt
// text, yes/no answers, the second start's request and display-safe log text. The usual
// paths run end to end in tests/e2e/test_desktop.py (Settings, Passwords).
#include "shell/shell_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "support/fake_profile.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Collected : ILogSink {
  void Log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

TEST(FirstStartRule, OnlyTheExactNeverStartedMarkerRegistersAndAFailedStartTriesAgain) {
  for (const char* marker : {"0.0", "", "1.3", "0.00", " 0.0", "garbage"}) {
    testing::InMemoryProfile profile;
    profile.Set("General", "Version", marker);
    testing::FakeRegistration registration;
    Collected log;
    const bool first = std::string(marker) == "0.0";
    EXPECT_EQ(ApplyFirstStartRule(profile, registration, log), first) << marker;
    EXPECT_EQ(registration.calls.size(), first ? 1u : 0u) << marker;
    EXPECT_EQ(profile.Get("General", "Version"), first ? "1.3" : marker);
  }

  testing::InMemoryProfile profile;  // no marker at all reads as "0.0"
  profile.failWrites = true;
  testing::FakeRegistration registration;
  registration.fail = true;
  Collected log;
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));  // the box shows the truth
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_THAT(log.lines[1], HasSubstr("disk full"));
  profile.failWrites = false;  // nothing was stored: the next start is a first start again
  registration.fail = false;
  EXPECT_TRUE(ApplyFirstStartRule(profile, registration, log));
  registration.registered = false;  // the user unticked the box: a later start leaves it
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));
  EXPECT_THAT(registration.calls, ElementsAre(true, true));

  registration.fail = true;  // a failed click leaves the box as clicked and is logged
  EXPECT_TRUE(ToggleRunOnStartup(false, registration, log));
  EXPECT_FALSE(registration.registered);
  EXPECT_THAT(log.lines.back(), HasSubstr("Could not register"));
}

TEST(ShellText, PromptYesNoControlAndDisplaySafeText) {
  EXPECT_EQ(PasswordPromptText(-1, 0xFFFFFFFFu),
            "Please enter password for handheld PIN ffffffff.\r\nYou have -1 attempts remaining.\r\n"
            "Note that device will be wiped if all attempts are used.");
  EXPECT_THAT(PasswordPromptText(1, 0), HasSubstr("PIN 0.\r\n"));
  for (const char* yes : {"y", "YES", " yes\r", "\tY "}) EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  for (const char* no : {"", "no", "yess", "y y", "1"}) EXPECT_FALSE(IsYesAnswer(no)) << no;

  bool show = false;
  EXPECT_EQ(ControlReplyFor("show\r", show), kControlShownReply);
  EXPECT_TRUE(show);
  for (const char* other : {"", "SHOW", "show please"}) {
    EXPECT_EQ(ControlReplyFor(other, show), kControlUnknownReply) << other;
    EXPECT_FALSE(show) << other;
  }

  // Line ends, tabs and UTF-8 stay; controls, also the 8-bit ones, and broken sequences
  // are escaped byte by byte (\233 is 0x9b).
  const std::pair<std::string, std::string> cases[] = {
      {"ok 100%\r\n\tx caf\xc3\xa9 \xf0\x9f\x98\x80", "ok 100%\r\n\tx caf\xc3\xa9 \xf0\x9f\x98\x80"},
      {std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
      {"\xc2\23331m\23331m", "\\xc2\\x9b31m\\x9b31m"},
      {"\xe2\x82", "\\xe2\\x82"},
      {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},  // overlong '/', a surrogate
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(DisplaySafeText(text), shown) << shown;
}

}  // namespace
}  // namespace skiff
