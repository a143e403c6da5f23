// The password prompt's question, with the PIN as the log and the profile name it.
#include "shell/shell_texts.h"

#include <cstdio>

#include "device/password_challenge.h"

namespace skiff {

std::string PasswordPromptText(std::int32_t attemptsRemaining, std::uint32_t pin) {
  char attempts[16];
  std::snprintf(attempts, sizeof attempts, "%d", static_cast<int>(attemptsRemaining));
  return std::string("Please enter password for handheld PIN ") + PinText(pin) + ".\r\nYou have " + attempts +
         " attempts remaining.\r\nNote that device will be wiped if all attempts are used.";
}

}  // namespace skiff
