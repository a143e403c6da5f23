// Sleeping on a word on Windows: WaitOnAddress.
#include <windows.h>

#include "platform/platform.h"

namespace skiff {

void WaitOnWord(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint32_t timeoutMs) {
  // The time-out, a wake-up and a spurious return all mean: look again.
  WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &expected, sizeof expected, timeoutMs);
}

void WakeWordWaiters(std::atomic<std::uint32_t>& word) {
  WakeByAddressAll(&word);
}

}  // namespace skiff
