// Sleeping on a word on Linux: a private futex.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include "platform/platform.h"

namespace skiff {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the futex word is the atomic's own storage");

void WaitOnWord(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint32_t timeoutMs) {
  timespec limit{static_cast<time_t>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000000L};
  // EAGAIN (the word changed first), EINTR and ETIMEDOUT all mean: look again.
  ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, expected, timeoutMs == 0xFFFFFFFFu ? nullptr : &limit,
            nullptr, 0);
}

void WakeWordWaiters(std::atomic<std::uint32_t>& word) {
  ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 0x7FFFFFFF, nullptr, nullptr, 0);
}

}  // namespace skiff
