// Temporary directories, a test certificate authority from the openssl tool, and a
// tinyproxy process on loopback for the integration tests.
#include "test_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace skiff::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/skiff-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

TestCertificates MakeTestCertificates(const TempDir& dir) {
  TestCertificates result{dir.File("ca.pem"), dir.File("server.pem"), dir.File("server.key")};
  {
    std::ofstream extensions(dir.File("server.ext"));
    extensions << "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n"
                  "basicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n";
  }
  const std::string d = "'" + dir.Path() + "'";
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string commands =
      "cd " + d + " && openssl req -x509 " + key +
      " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Skiff Test CA'"
      " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
      " && openssl req " +
      key +
      " -keyout server.key -out server.csr -subj /CN=localhost"
      " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
      " -out server.pem -days 2 -extfile server.ext";
  const int status = std::system(("(" + commands + ") >/dev/null 2>&1").c_str());
  if (status == -1 || WEXITSTATUS(status) != 0)
    throw std::runtime_error("openssl could not make the test certificates");
  return result;
}

namespace {

std::uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

bool CanConnect(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

TinyproxyProcess::TinyproxyProcess(const std::string& extraConfig) {
  // tinyproxy drops to "nobody" when started as root, and still has to write its log.
  chmod(m_dir.Path().c_str(), 0755);
  const std::string log = m_dir.File("tinyproxy.log");
  std::ofstream(log).flush();
  chmod(log.c_str(), 0666);
  m_port = FreeLoopbackPort();
  const std::string config = m_dir.File("tinyproxy.conf");
  {
    std::ofstream out(config);
    if (geteuid() == 0) out << "User nobody\nGroup nogroup\n";
    out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" << log
        << "\"\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\nDisableViaHeader Yes\n"
        << extraConfig;
  }
  const char* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
  if (posix_spawnp(&m_pid, "tinyproxy", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
    throw std::runtime_error("cannot start tinyproxy");
  // Ready when it accepts connections; a safety limit only.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!CanConnect(m_port)) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      throw std::runtime_error("tinyproxy exited at start:\n" + Log());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
      throw std::runtime_error("tinyproxy did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TinyproxyProcess::~TinyproxyProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
}

std::string TinyproxyProcess::Log() const {
  std::ifstream in(m_dir.File("tinyproxy.log"));
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TinyproxyProcess::LogContains(const std::string& text) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace skiff::test
