// The program's places on POSIX and the atomic file write that every settings write uses.
#include "platform/posix/app/xdg_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace skiff {

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  return {};
}

std::string DefaultProfilePath() {
  const std::string base = ConfigHome();
  return base.empty() ? std::string() : base + "/SkiffHouse/SkiffHouse.ini";
}

std::string DefaultAutostartPath() {
  const std::string base = ConfigHome();
  return base.empty() ? std::string() : base + "/autostart/SkiffHouse.desktop";
}

std::string SelfExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

bool MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), mode)) return false;
  if (mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

std::string Reason(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, unsigned mode,
                         std::string& error) {
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string pattern = path + ".XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = Reason("cannot create a file in the folder", errno);
    return false;
  }
  const auto fail = [&](const char* what) {
    const int saved = errno;
    close(fd);
    unlink(temp.data());
    error = Reason(what, saved);
    return false;
  };
  if (fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail("cannot set the file mode");
  if (!WriteAll(fd, content)) return fail("cannot write");
  if (fsync(fd) != 0) return fail("cannot flush to disk");
  if (close(fd) != 0) {
    const int saved = errno;
    unlink(temp.data());
    error = Reason("cannot close", saved);
    return false;
  }
  if (rename(temp.data(), path.c_str()) != 0) {
    const int saved = errno;
    unlink(temp.data());
    error = Reason("cannot replace the file", saved);
    return false;
  }
  // The rename itself reaches the disk only with the folder.
  const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

}  // namespace skiff
