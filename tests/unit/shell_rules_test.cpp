// The shell's platform-free rules: first start and run on startup, the password prompt
// text, yes/no answers, the second start's request and display-safe log text.
#include "shell/shell_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <vector>

namespace skiff {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class MapProfile : public IProfile {
 public:
  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& def) override {
    const auto found = values.find(section + "/" + name);
    return found == values.end() ? def : found->second;
  }
  bool WriteString(const std::string& section, const std::string& name, const std::string& value) override {
    if (failWrites) return false;
    values[section + "/" + name] = value;
    ++writes;
    return true;
  }
  bool DeleteEntry(const std::string& section, const std::string& name) override {
    return values.erase(section + "/" + name) > 0;
  }
  std::map<std::string, std::string> values;
  bool failWrites = false;
  int writes = 0;
};

class FakeRegistration : public IRunOnStartup {
 public:
  bool IsRunOnStartup() override { return registered; }
  bool SetRunOnStartup(bool on) override {
    calls.push_back(on);
    if (fail) return false;
    registered = on;
    return true;
  }
  std::string LastError() const override { return fail ? "disk full" : ""; }
  bool registered = false;
  bool fail = false;
  std::vector<bool> calls;
};

struct Collected : ILogSink {
  void Log(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

TEST(FirstStartRule, OnlyTheExactNeverStartedMarkerWritesTheMarkerAndRegisters) {
  MapProfile profile;  // no marker at all reads as "0.0"
  FakeRegistration registration;
  Collected log;
  EXPECT_TRUE(ApplyFirstStartRule(profile, registration, log));
  EXPECT_EQ(profile.values["General/Version"], "1.3");
  EXPECT_THAT(registration.calls, ElementsAre(true));
  EXPECT_THAT(log.lines, IsEmpty());
  // The next start leaves everything alone, even after the user unticked the box.
  registration.registered = false;
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));
  EXPECT_THAT(registration.calls, ElementsAre(true));
  EXPECT_EQ(profile.writes, 1);

  for (const std::string marker : {"0.0", "", "1.3", "0.00", " 0.0", "0.0 ", "2.0", "garbage"}) {
    MapProfile other;
    other.values["General/Version"] = marker;
    FakeRegistration untouched;
    Collected unused;
    EXPECT_EQ(ApplyFirstStartRule(other, untouched, unused), marker == "0.0") << "marker '" << marker << "'";
    EXPECT_EQ(untouched.calls.size(), marker == "0.0" ? 1u : 0u) << "marker '" << marker << "'";
    EXPECT_EQ(other.values["General/Version"], marker == "0.0" ? "1.3" : marker);
  }
}

TEST(FirstStartRule, FailedWritesAreLoggedAndTheBoxShowsTheTruth) {
  MapProfile profile;
  profile.failWrites = true;
  FakeRegistration registration;
  registration.fail = true;
  Collected log;
  EXPECT_FALSE(ApplyFirstStartRule(profile, registration, log));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_THAT(log.lines[0], HasSubstr("first-start marker"));
  EXPECT_THAT(log.lines[1], HasSubstr("run on startup"));
  EXPECT_THAT(log.lines[1], HasSubstr("disk full"));
  // Nothing stored: the next start is a first start again and tries once more.
  profile.failWrites = false;
  registration.fail = false;
  EXPECT_TRUE(ApplyFirstStartRule(profile, registration, log));
  EXPECT_EQ(profile.values["General/Version"], "1.3");
}

TEST(RunOnStartupToggle, ShowsWhatWasClickedAndLogsFailures) {
  FakeRegistration registration;
  registration.registered = true;
  Collected log;
  EXPECT_FALSE(ToggleRunOnStartup(true, registration, log));
  EXPECT_FALSE(registration.registered);
  EXPECT_TRUE(ToggleRunOnStartup(false, registration, log));
  EXPECT_TRUE(registration.registered);
  EXPECT_THAT(log.lines, IsEmpty());

  registration.fail = true;
  EXPECT_FALSE(ToggleRunOnStartup(true, registration, log));  // the box follows the click
  EXPECT_TRUE(registration.registered);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_THAT(log.lines[0], HasSubstr("Could not remove"));
  EXPECT_THAT(registration.calls, ElementsAre(false, true, false));
}

TEST(PasswordPrompt, ThreeLinesWithHexPinAndSignedAttempts) {
  EXPECT_EQ(PasswordPromptText(10, 0x2A0F),
            "Please enter password for handheld PIN 2a0f.\r\nYou have 10 attempts remaining.\r\n"
            "Note that device will be wiped if all attempts are used.");
  const std::tuple<std::int32_t, std::uint32_t, const char*> cases[] = {
      {1, 0, "PIN 0.\r\nYou have 1 attempts remaining."},
      {3, 255, "PIN ff."},
      {-1, 0xFFFFFFFFu, "PIN ffffffff.\r\nYou have -1 attempts"},
      {5, 0x80000000u, "PIN 80000000."},
  };
  for (const auto& [attempts, pin, part] : cases)
    EXPECT_THAT(PasswordPromptText(attempts, pin), HasSubstr(part));
}

TEST(YesNoAnswer, OnlyYAndYesMeanYes) {
  for (const char* yes : {"y", "Y", "yes", "YES", " yes\r", "\tY "}) EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  for (const char* no : {"", "n", "no", "yess", "ye", "y y", "1", "true"})
    EXPECT_FALSE(IsYesAnswer(no)) << no;
}

TEST(ControlProtocol, OnlyShowShows) {
  bool show = false;
  EXPECT_EQ(ControlReplyFor("show", show), kControlShownReply);
  EXPECT_TRUE(show);
  EXPECT_EQ(ControlReplyFor("show\r", show), kControlShownReply);
  EXPECT_TRUE(show);
  for (const char* other : {"", "SHOW", "show please", "exit", "x"}) {
    EXPECT_EQ(ControlReplyFor(other, show), kControlUnknownReply) << other;
    EXPECT_FALSE(show) << other;
  }
}

TEST(DisplaySafeText, EscapesControlsButKeepsLineEndsTabsAndUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text 100%\r\n\tx", "plain text 100%\r\n\tx"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\x1b[2Jcleared", "\\x1b[2Jcleared"},
      {std::string("a\0b\x07\x7f", 5), "a\\x00b\\x07\\x7f"},
      // The 8-bit controls, written in UTF-8 or bare, and broken sequences.
      {"\xc2\23331m", "\\xc2\\x9b31m"},  // \233 is 0x9b
      {"\23331m", "\\x9b31m"},
      {"\xc3", "\\xc3"},
      {"\xe2\x82", "\\xe2\\x82"},
      {"\xc0\xaf", "\\xc0\\xaf"},                    // overlong '/'
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(DisplaySafeText(text), shown) << shown;
}

}  // namespace
}  // namespace skiff
