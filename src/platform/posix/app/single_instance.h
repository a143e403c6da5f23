// One running program per user and USB-link socket: a lock file held with flock decides
// which start runs, and a control socket beside the USB-link socket lets a second start
// ask the running one to show its window.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/posix/app/poll_sources.h"

namespace skiff {

// ---- Messages between two starts of the program -----------------------------------
// A second start connects to the running one and sends one request line; the running
// one answers with one line and closes.
inline constexpr char kControlShowRequest[] = "show";
inline constexpr char kControlShownReply[] = "shown";
inline constexpr char kControlUnknownReply[] = "unknown";
inline constexpr std::size_t kControlMaxLine = 256;

// The reply to one request line (without its line end).
std::string ControlReplyFor(std::string_view requestLine, bool& showWindow);

class CSingleInstance {
 public:
  enum class Outcome {
    Running,      // this start is the one that runs; it holds the lock and listens
    OtherShown,   // another instance runs and was asked to show its window
    OtherSilent,  // another instance holds the lock but did not answer in time
    Failed,       // the lock or the control socket could not be set up (see error)
  };

  // usbSocketPath: the USB-link socket; the control socket is "<it>.ctl" and the lock
  // file "<it>.lock", in the same folder.
  explicit CSingleInstance(const std::string& usbSocketPath);
  ~CSingleInstance();  // closes connections; the running instance removes its socket
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;

  // Decides this start's part. A lock file or control socket left by an instance that
  // died is taken over. Waits at most timeoutMs for a running instance to answer.
  Outcome Claim(int timeoutMs, std::string& error);

  // Serves "show" requests of later starts on loop's thread; onShow runs for each.
  void Serve(IPollSources& loop, std::function<void()> onShow);
  // Stops serving (before the loop goes away).
  void StopServing();

  const std::string& ControlPath() const { return m_controlPath; }

 private:
  bool TryLock(std::string& error);
  bool Listen(std::string& error);
  void Accept();
  void OnClientReadable(int fd);
  void CloseClient(int fd);

  const std::string m_controlPath;
  const std::string m_lockPath;
  int m_lockFd = -1;
  int m_listenFd = -1;
  IPollSources* m_loop = nullptr;
  std::function<void()> m_onShow;
  std::map<int, std::string> m_clients;  // connection -> what it has sent so far
};

// A second start's request: connects to the running instance's control socket, sends
// "show" and waits for the reply. True when the running instance answered "shown".
bool AskRunningInstanceToShow(const std::string& controlPath, int timeoutMs);

}  // namespace skiff
