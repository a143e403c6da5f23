// The texts the user sees, on every platform: the title, the About box, the labels of
// the main window and the password prompt, and the prompt's three-line question.
#pragma once

#include <cstdint>
#include <string>

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

// The three-line text of the password prompt, lines ended by "\r\n".
std::string PasswordPromptText(std::int32_t attemptsRemaining, std::uint32_t pin);

}  // namespace skiff
