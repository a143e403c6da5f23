// The USB link's Unix socket: default path, listening, accepting and connecting.
#include "platform/posix/usb_link/usb_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/common/usb_link/socket_layer.h"

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

class CUnixListener final : public IUsbListener {
 public:
  CUnixListener(int fd, std::string path, dev_t device, ino_t inode)
      : m_fd(fd), m_path(std::move(path)), m_device(device), m_inode(inode) {}
  CUnixListener(const CUnixListener&) = delete;
  CUnixListener& operator=(const CUnixListener&) = delete;

  // Unlinks the path only while it still names this very socket, so a newer listener's
  // socket is never taken away.
  ~CUnixListener() override {
    ::close(m_fd);
    struct stat info {};
    if (::lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
      ::unlink(m_path.c_str());
  }

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_fd); }

  std::unique_ptr<IUsbStream> Accept(unsigned sendMs, std::string* refusal) override {
    const int fd = AcceptSocket(m_fd, sendMs);
    if (fd < 0) return nullptr;
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0 && peer.uid != ::getuid()) {
      *refusal = "refused a handheld of another user (uid " + std::to_string(peer.uid) + ")";
      ::close(fd);
      return nullptr;
    }
    return MakeSocketStream(fd);
  }

  std::string Name() const override { return m_path; }

 private:
  const int m_fd;
  const std::string m_path;
  const dev_t m_device;
  const ino_t m_inode;
};

class CUnixEndpoint final : public IUsbEndpoint {
 public:
  explicit CUnixEndpoint(std::string path) : m_path(std::move(path)) {}
  ListenStatus Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) override;

 private:
  const std::string m_path;
};

}  // namespace

ListenStatus CUnixEndpoint::Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) {
  const std::string& path = m_path;
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
  *listener = std::make_unique<CUnixListener>(fd, path, bound.st_dev, bound.st_ino);
  return ListenStatus::Listening;
}

std::unique_ptr<IUsbEndpoint> UnixSocketEndpoint(std::string path) {
  return std::make_unique<CUnixEndpoint>(std::move(path));
}

std::unique_ptr<IUsbStream> ConnectToUsbSocket(const std::string& path, std::string* reason) {
  sockaddr_un address{};
  if (!MakeAddress(path, &address, reason)) return nullptr;
  const int fd = NewSocket();
  if (fd < 0) {
    *reason = ErrnoText("cannot create a socket for", path, errno);
    return nullptr;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    *reason = ErrnoText("cannot connect to", path, error);
    return nullptr;
  }
  return MakeSocketStream(fd);
}

}  // namespace usblink
}  // namespace skiff
