// The self-pipe for signals: the handler only writes one byte, everything else happens
// on the front end's thread.
#include "platform/posix/app/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace skiff {

namespace {

volatile sig_atomic_t g_writeFd = -1;
constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (g_writeFd >= 0) {
    [[maybe_unused]] const ssize_t ignored = write(g_writeFd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

CSignalPipe::CSignalPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  m_readFd = fds[0];
  g_writeFd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kHandled) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

CSignalPipe::~CSignalPipe() {
  for (int sig : kHandled) signal(sig, SIG_DFL);
  const int writeFd = g_writeFd;
  g_writeFd = -1;
  if (writeFd >= 0) close(writeFd);
  if (m_readFd >= 0) close(m_readFd);
}

std::vector<int> CSignalPipe::Drain() {
  std::vector<int> signals;
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = read(m_readFd, buffer, sizeof buffer);
    if (n > 0) {
      signals.insert(signals.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return signals;
}

}  // namespace skiff
