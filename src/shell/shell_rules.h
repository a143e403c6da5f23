// The application shell's own rules, free of any platform: the titles and texts the user
// sees, the first-start rule with the run-on-startup registration, the password prompt
// text, the messages between two starts of the program, and display-safe log text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace skiff {

inline constexpr char kAppTitle[] = "SkiffHouse Desktop Downloader v1.3";
inline constexpr char kAboutCaption[] = "About SkiffhouseDesktop";
inline constexpr char kAboutVersion[] = "SkiffhouseDesktop Version 1.3";
inline constexpr char kAboutMaker[] = "Copyright (C) SkiffHouse Software. All rights reserved.";
inline constexpr char kMakerName[] = "SkiffHouse Software";
inline constexpr char kMakerWeb[] = "https://www.skiffhouse.example/";
inline constexpr char kPasswordCaption[] = "Enter Password";
inline constexpr char kRememberLabel[] = "Remember (insecure)";
inline constexpr char kRunOnStartupLabel[] = "Run On Startup";

// The profile's first-start marker: "General"/"Version" reads "0.0" until the first
// start has written "1.3".
inline constexpr char kGeneralSection[] = "General";
inline constexpr char kVersionName[] = "Version";
inline constexpr char kVersionNeverStarted[] = "0.0";
inline constexpr char kVersionCurrent[] = "1.3";

// The first-start check of the main window's initialisation: on the very first start
// (the marker reads exactly "0.0") writes "1.3" and registers run on startup. Any other
// marker value, the empty one included, leaves everything alone. Failures to write are
// told through log. Returns the run-on-startup state the check box starts with.
bool ApplyFirstStartRule(IProfile& profile, IRunOnStartup& runOnStartup, ILogSink& log);

// The check box's click: the box shows what the user clicked whether or not the
// registration could be changed; a failure is told through log. Returns the new state.
bool ToggleRunOnStartup(bool checked, IRunOnStartup& runOnStartup, ILogSink& log);

// The three-line text of the password prompt, lines ended by "\r\n".
std::string PasswordPromptText(std::int32_t attemptsRemaining, std::uint32_t pin);

// True for the answers a yes/no question takes as yes ("y", "yes", any case, blanks
// around them ignored); everything else, the empty answer included, is no.
bool IsYesAnswer(std::string_view answer);

// ---- Messages between two starts of the program -----------------------------------
// A second start connects to the running one and sends one request line; the running
// one answers with one line and closes.
inline constexpr char kControlShowRequest[] = "show";
inline constexpr char kControlShownReply[] = "shown";
inline constexpr char kControlUnknownReply[] = "unknown";
inline constexpr std::size_t kControlMaxLine = 256;

// The reply to one request line (without its line end).
std::string ControlReplyFor(std::string_view requestLine, bool& showWindow);

// Text from the handheld is shown safely: every control character other than CR, LF and
// TAB, DEL, the 8-bit control range and bytes that are not UTF-8 become "\xNN".
std::string DisplaySafeText(std::string_view text);

}  // namespace skiff
