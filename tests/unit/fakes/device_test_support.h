// What the device worker's tests share: a log display that records lines, a scripted
// password prompt, an HTTP transport that can hang until cancelled, packet builders, and
// a harness that wires a worker to the fake device manager.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/activity_log.h"
#include "device/worker.h"
#include "fakes/fake_device_manager.h"
#include "fakes/fake_profile.h"
#include "http/http_transport.h"
#include "platform/platform.h"

namespace skiff::testing {

// Intervals long enough that no pass or retry comes by time-out during a test.
inline constexpr WorkerTiming kEventDrivenTiming{3600000, 3600000};

class RecordingLogDisplay final : public ILogDisplay {
 public:
  bool IsAlive() const override { return true; }
  void ShowText(const std::string& keptText, const std::string& appended) override;

  std::vector<std::string> Lines() const;
  std::size_t Count(const std::string& line) const;
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& done,
               std::chrono::milliseconds timeout = kSafetyTimeout) const;
  bool WaitForLine(const std::string& line, std::size_t count = 1,
                   std::chrono::milliseconds timeout = kSafetyTimeout) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_lines;
};

// The front end's prompt, answering from a script. With the script used up it cancels.
class ScriptedPasswordRequester final : public IPasswordRequester {
 public:
  struct Request {
    std::int32_t attempts;
    std::uint32_t pin;
  };

  void Attach(CDeviceWorker* worker) { m_worker = worker; }
  void PushAnswer(std::string password, bool remember);
  void PushCancel();
  // Keeps the prompt open until Abandon(), then answers as a cancel does.
  void PushHoldUntilAbandoned();
  // Returns without handing back any answer (a front end that lost the prompt).
  void PushReturnWithoutAnswer();

  void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) override;
  void Abandon() override;

  std::vector<Request> Requests() const;
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout = kSafetyTimeout) const;
  bool Abandoned() const;

 private:
  enum class Kind { Answer, Cancel, Hold, Silent };
  struct Step {
    Kind kind;
    std::string password;
    bool remember;
  };

  CDeviceWorker* m_worker = nullptr;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<Step> m_script;
  std::vector<Request> m_requests;
  bool m_abandoned = false;
};

// A transport whose calls succeed at once, or, once armed, hang until Cancel().
class HangingHttpTransport final : public IHttpTransport {
 public:
  static constexpr std::uint32_t kCancelled = 12017;  // the operation was cancelled

  void ArmHang();
  bool WaitForHang(std::chrono::milliseconds timeout = kSafetyTimeout) const;
  int CancelCalls() const;

  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override;
  std::uint32_t OpenSession(const WideChar* userAgent, std::uint32_t accessType, const WideChar* proxyName,
                            const WideChar* proxyBypass, HttpHandle* session) override;
  std::uint32_t Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                        HttpHandle* connection) override;
  std::uint32_t OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                            const WideChar* const* acceptTypes, std::uint32_t flags,
                            HttpHandle* request) override;
  std::uint32_t SendRequest(HttpHandle request, const WideChar* headers, std::uint32_t headersLength,
                            const void* body, std::uint32_t bodyLength) override;
  std::uint32_t ReceiveResponse(HttpHandle request) override;
  std::uint32_t QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                             std::uint32_t* bufferBytes) override;
  std::uint32_t ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) override;
  void CloseHandle(HttpHandle handle) override;
  void Cancel() override;

 private:
  // 0 to go on, or the code of a cancelled call.
  std::uint32_t Step();

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  bool m_armed = false;
  bool m_hanging = false;
  bool m_cancelled = false;
  int m_cancelCalls = 0;
  // Handles are addresses inside this block: distinct and never null.
  HttpHandle NextHandle() { return &m_handles[m_nextHandle++ % sizeof m_handles]; }
  char m_handles[64] = {};
  std::size_t m_nextHandle = 0;
};

// A packet as the handheld sends it: header and payload, nothing more.
std::vector<std::uint8_t> MakePacket(std::uint16_t type, std::uint16_t sequence, std::string_view payload);
struct ParsedPacket {
  std::uint16_t type;
  std::uint16_t sequence;
  std::uint16_t length;
  std::string payload;
};
ParsedPacket ParsePacket(const std::vector<std::uint8_t>& bytes);

// The lines from the first one equal to `first` on (empty when there is none).
std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& first);
// The lines without "Device connected!", which the device manager's thread writes at a
// moment of its own choosing relative to the pass it starts.
std::vector<std::string> WithoutArrivalLines(std::vector<std::string> lines);
// The log line of a device-manager error with this code and no error information.
std::string ErrorLine(HRESULT code);

// A worker wired to the fakes, its log recorded.
struct WorkerHarness {
  explicit WorkerHarness(WorkerTiming timing = kEventDrivenTiming);
  ~WorkerHarness();
  WorkerHarness(const WorkerHarness&) = delete;
  WorkerHarness& operator=(const WorkerHarness&) = delete;

  // Starts the worker and waits until it has registered for device events.
  void StartAndWaitForAdvise();
  // Stops the worker with a safety net: a Stop() still running after the safety
  // time-out fails the test and ends the run, since a hung thread cannot be recovered.
  void StopWorker();
  std::vector<std::string> Lines() const { return display.Lines(); }

  FakeDeviceManager manager;
  FakeDeviceManagerFactory factory{manager};
  HangingHttpTransport transport;
  InMemoryProfile profile;
  ScriptedPasswordRequester requester;
  RecordingLogDisplay display;
  CActivityLog log;
  std::unique_ptr<CDeviceWorker> worker;
};

}  // namespace skiff::testing
