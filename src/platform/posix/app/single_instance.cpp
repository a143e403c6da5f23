// The single-instance lock and the control socket. flock makes the choice between two
// starts atomic; a dead instance's lock goes with its process, its socket is replaced.
#include "platform/posix/app/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/posix/app/xdg_paths.h"

namespace skiff {

std::string ControlReplyFor(std::string_view requestLine, bool& showWindow) {
  if (!requestLine.empty() && requestLine.back() == '\r') requestLine.remove_suffix(1);
  showWindow = requestLine == kControlShowRequest;
  return showWindow ? kControlShownReply : kControlUnknownReply;
}

namespace {

constexpr std::size_t kMaxClients = 8;

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CSingleInstance::CSingleInstance(const std::string& usbSocketPath)
    : m_controlPath(usbSocketPath + ".ctl"), m_lockPath(usbSocketPath + ".lock") {}

CSingleInstance::~CSingleInstance() {
  StopServing();
  if (m_listenFd >= 0) {
    close(m_listenFd);
    unlink(m_controlPath.c_str());
  }
  if (m_lockFd >= 0) close(m_lockFd);  // releases the lock last
}

bool CSingleInstance::TryLock(std::string& error) {
  if (m_lockFd < 0) {
    const auto slash = m_lockPath.find_last_of('/');
    if (slash != std::string::npos && slash > 0) MakeFolders(m_lockPath.substr(0, slash), 0700);
    m_lockFd = open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0) {
      error = "cannot open the lock file " + m_lockPath + ": " + std::strerror(errno);
      return false;
    }
  }
  if (flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) error = "cannot lock " + m_lockPath + ": " + std::strerror(errno);
  return false;
}

bool CSingleInstance::Listen(std::string& error) {
  sockaddr_un address;
  if (!MakeAddress(m_controlPath, address)) {
    error = "the control socket path is too long: " + m_controlPath;
    return false;
  }
  // Whoever holds the lock owns the socket path; what is there is left from a dead run.
  unlink(m_controlPath.c_str());
  m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_listenFd < 0) {
    error = std::string("cannot create the control socket: ") + std::strerror(errno);
    return false;
  }
  const mode_t oldMask = umask(077);  // the socket is born 0600
  const int bound = bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  umask(oldMask);
  if (bound != 0 || listen(m_listenFd, 8) != 0) {
    error = "cannot listen on " + m_controlPath + ": " + std::strerror(bound != 0 ? bindError : errno);
    close(m_listenFd);
    m_listenFd = -1;
    return false;
  }
  return true;
}

CSingleInstance::Outcome CSingleInstance::Claim(int timeoutMs, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    error.clear();
    if (TryLock(error)) return Listen(error) ? Outcome::Running : Outcome::Failed;
    if (!error.empty()) return Outcome::Failed;
    // The holder may be starting (not listening yet) or ending (no longer listening):
    // ask it, and if it cannot answer, try the lock again.
    if (AskRunningInstanceToShow(m_controlPath, std::min(RemainingMs(deadline), 1000)))
      return Outcome::OtherShown;
    if (RemainingMs(deadline) == 0) return Outcome::OtherSilent;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void CSingleInstance::Serve(IPollSources& loop, std::function<void()> onShow) {
  if (m_listenFd < 0) return;
  m_loop = &loop;
  m_onShow = std::move(onShow);
  loop.AddSource(m_listenFd, [this] { Accept(); });
}

void CSingleInstance::StopServing() {
  if (!m_loop) return;
  while (!m_clients.empty()) CloseClient(m_clients.begin()->first);
  m_loop->RemoveSource(m_listenFd);
  m_loop = nullptr;
}

void CSingleInstance::Accept() {
  for (;;) {
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    // Connections that never finish their line must not lock later starts out: one
    // of them gives way.
    if (m_clients.size() >= kMaxClients) CloseClient(m_clients.begin()->first);
    m_clients[fd];
    m_loop->AddSource(fd, [this, fd] { OnClientReadable(fd); });
  }
}

void CSingleInstance::OnClientReadable(int fd) {
  auto& received = m_clients[fd];
  char buffer[256];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    CloseClient(fd);
    return;
  }
  received.append(buffer, static_cast<std::size_t>(n));
  const auto end = received.find('\n');
  if (end == std::string::npos) {
    if (received.size() > kControlMaxLine) CloseClient(fd);
    return;
  }
  bool show = false;
  const std::string reply = ControlReplyFor(std::string_view(received).substr(0, end), show) + "\n";
  // One short line into an empty socket buffer: it fits, and a peer that does not read
  // it loses only its own answer.
  [[maybe_unused]] const ssize_t written = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  CloseClient(fd);
  if (show && m_onShow) m_onShow();
}

void CSingleInstance::CloseClient(int fd) {
  if (m_loop) m_loop->RemoveSource(fd);
  m_clients.erase(fd);
  close(fd);
}

bool AskRunningInstanceToShow(const std::string& controlPath, int timeoutMs) {
  sockaddr_un address;
  if (!MakeAddress(controlPath, address)) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool shown = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = std::string(kControlShowRequest) + "\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      std::string reply;
      while (reply.find('\n') == std::string::npos && reply.size() < kControlMaxLine) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[64];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
      }
      shown = reply == std::string(kControlShownReply) + "\n";
    }
  }
  close(fd);
  return shown;
}

}  // namespace skiff
