// The log echo on POSIX: standard error stands in for the console output device, except
// when it is the terminal that the console front end draws on.
#include "platform/posix/base/console.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace skiff {

namespace {

std::atomic<bool> g_echoDropped{false};

// Whether both descriptors are the same terminal device.
bool SameTerminal(int a, int b) {
  struct stat first {
  }, second{};
  return isatty(a) && isatty(b) && fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
         S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
}

// Writes all of it, or gives up quietly: nothing can be reported about a failed echo.
void WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

// Standard error may be a pipe whose reader has gone: the write must then fail quietly
// instead of ending the program with SIGPIPE. The signal is blocked for this thread
// during the write and a SIGPIPE it raised is taken back before unblocking.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    m_blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, &m_previous) == 0;
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;
  ~SigpipeGuard() {
    if (!m_blocked) return;
    if (!m_wasPending) {
      sigset_t pipeOnly;
      sigemptyset(&pipeOnly);
      sigaddset(&pipeOnly, SIGPIPE);
      const timespec noWait = {0, 0};
      while (sigtimedwait(&pipeOnly, nullptr, &noWait) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
  }

 private:
  sigset_t m_previous{};
  bool m_wasPending = false;
  bool m_blocked = false;
};

void SetConsoleFrontEndOutput(int fd) {
  g_echoDropped.store(SameTerminal(fd, STDERR_FILENO));
}

void ConsoleEcho(std::string_view text) {
  if (g_echoDropped.load(std::memory_order_relaxed)) return;
  const SigpipeGuard guard;
  // One write for the line and its "\n" keeps echoes from different threads whole.
  char small[512];
  if (text.size() < sizeof small) {
    std::memcpy(small, text.data(), text.size());
    small[text.size()] = '\n';
    WriteAll(small, text.size() + 1);
    return;
  }
  try {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line += '\n';
    WriteAll(line.data(), line.size());
  } catch (const std::bad_alloc&) {
    WriteAll(text.data(), text.size());
    WriteAll("\n", 1);
  }
}

}  // namespace skiff
