// Real peers for integration tests besides the HTTP server: a temporary directory, a test
// certificate authority made with the openssl tool, and a tinyproxy process on loopback.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace skiff::test {

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// A CA and a server certificate it signed for localhost, 127.0.0.1 and ::1.
struct TestCertificates {
  std::string caFile;
  std::string certificateFile;
  std::string keyFile;
};
// Throws when the openssl tool fails.
TestCertificates MakeTestCertificates(const TempDir& dir);

// tinyproxy with its own configuration and log file in a temporary directory, listening
// on a loopback port; stopped (by its process id) when destroyed.
class TinyproxyProcess {
 public:
  // extraConfig: more configuration lines, e.g. "ConnectPort 443\n".
  explicit TinyproxyProcess(const std::string& extraConfig = {});
  ~TinyproxyProcess();
  TinyproxyProcess(const TinyproxyProcess&) = delete;
  TinyproxyProcess& operator=(const TinyproxyProcess&) = delete;
  std::uint16_t Port() const { return m_port; }
  std::string Log() const;
  // True once the log holds text; the proxy may still be writing the line of a request
  // whose answer has already reached the client.
  bool LogContains(const std::string& text) const;

 private:
  TempDir m_dir;
  std::uint16_t m_port = 0;
  pid_t m_pid = -1;
};

}  // namespace skiff::test
