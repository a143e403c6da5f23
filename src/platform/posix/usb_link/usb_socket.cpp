// The USB link's Unix socket: default path, listening, connecting and frame sending.
#include "platform/posix/usb_link/usb_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace skiff {

std::string DefaultUsbSocketPath() {
  if (const char* explicitPath = std::getenv("SKIFFHOUSE_USB_SOCKET");
      explicitPath != nullptr && *explicitPath) {
    return explicitPath;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
    return std::string(runtime) + "/skiffhouse/usb.sock";
  }
  return "/tmp/skiffhouse-" + std::to_string(::getuid()) + "/usb.sock";
}

namespace usblink {

namespace {

std::string ErrnoText(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

bool MakeAddress(const std::string& path, sockaddr_un* address, std::string* reason) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) {
    *reason = "socket path is empty or longer than " + std::to_string(sizeof address->sun_path - 1) +
              " bytes: " + path;
    return false;
  }
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

// The socket's folder: made with 0700 when missing. A folder that exists is used as it
// is when it belongs to this user (it may be a shared temporary folder named by the
// user); one owned by someone else is refused, since they could swap the socket.
bool PrepareFolder(const std::string& path, std::string* reason) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string folder = path.substr(0, slash);
  if (::mkdir(folder.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    *reason = ErrnoText("cannot create the folder", folder, errno);
    return false;
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *reason = "not a folder: " + folder;
    return false;
  }
  if (info.st_uid != ::getuid() && info.st_uid != 0) {
    *reason = "the folder " + folder + " belongs to another user";
    return false;
  }
  return true;
}

int NewSocket() {
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

}  // namespace

void ListeningSocket::Remove() {
  if (fd < 0) return;
  ::close(fd);
  fd = -1;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode)
    ::unlink(path.c_str());
}

ListenStatus ListenOnUsbSocket(const std::string& path, ListeningSocket* socket, std::string* reason) {
  sockaddr_un address{};
  if (!MakeAddress(path, &address, reason)) return ListenStatus::Failed;
  if (!PrepareFolder(path, reason)) return ListenStatus::Failed;

  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      *reason = "a file that is not a socket is in the way: " + path;
      return ListenStatus::Failed;
    }
    // A socket file: live when a listener answers, stale otherwise.
    const int probe = NewSocket();
    if (probe < 0) {
      *reason = ErrnoText("cannot create a socket for", path, errno);
      return ListenStatus::Failed;
    }
    const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int probeError = errno;
    ::close(probe);
    if (live) {
      *reason = "another program is already listening on " + path;
      return ListenStatus::AlreadyServed;
    }
    if (probeError != ECONNREFUSED && probeError != ENOENT) {
      *reason = ErrnoText("cannot check the socket", path, probeError);
      return ListenStatus::Failed;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      *reason = ErrnoText("cannot remove the stale socket", path, errno);
      return ListenStatus::Failed;
    }
  }

  const int fd = NewSocket();
  if (fd < 0) {
    *reason = ErrnoText("cannot create a socket for", path, errno);
    return ListenStatus::Failed;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    *reason = ErrnoText("cannot bind", path, error);
    // Another listener may have bound it between the check and here.
    return error == EADDRINUSE ? ListenStatus::AlreadyServed : ListenStatus::Failed;
  }
  struct stat bound {};
  // Before listen(), nobody can connect, so the mode is right before anyone can use it.
  if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &bound) != 0 || ::listen(fd, 16) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    *reason = ErrnoText("cannot listen on", path, error);
    return ListenStatus::Failed;
  }
  socket->fd = fd;
  socket->path = path;
  socket->device = bound.st_dev;
  socket->inode = bound.st_ino;
  return ListenStatus::Listening;
}

int ConnectToUsbSocket(const std::string& path, std::string* reason) {
  sockaddr_un address{};
  if (!MakeAddress(path, &address, reason)) return -1;
  const int fd = NewSocket();
  if (fd < 0) {
    *reason = ErrnoText("cannot create a socket for", path, errno);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    *reason = ErrnoText("cannot connect to", path, error);
    return -1;
  }
  return fd;
}

bool SendFrame(int fd, FrameKind kind, const void* body, std::size_t length, std::string* reason) {
  if (length > kMaxFrameBody) {
    if (reason != nullptr) *reason = "frame body of " + std::to_string(length) + " bytes is too long";
    return false;
  }
  std::uint8_t header[kFrameHeaderSize];
  EncodeFrameHeader(header, kind, static_cast<std::uint16_t>(length));
  iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(body), length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = length != 0 ? 2 : 1;
  std::size_t left = sizeof header + length;
  while (left != 0) {
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (reason != nullptr) {
        *reason = errno == EAGAIN || errno == EWOULDBLOCK
                      ? "the peer does not take data (send timed out)"
                      : std::string("send failed: ") + std::strerror(errno);
      }
      return false;
    }
    left -= static_cast<std::size_t>(sent);
    // A partial send: skip what went out and send the rest.
    auto skip = static_cast<std::size_t>(sent);
    while (skip != 0 && message.msg_iovlen != 0) {
      iovec& first = message.msg_iov[0];
      if (skip < first.iov_len) {
        first.iov_base = static_cast<std::uint8_t*>(first.iov_base) + skip;
        first.iov_len -= skip;
        skip = 0;
      } else {
        skip -= first.iov_len;
        ++message.msg_iov;
        --message.msg_iovlen;
      }
    }
  }
  return true;
}

}  // namespace usblink
}  // namespace skiff
