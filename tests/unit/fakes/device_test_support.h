// What the device worker's tests share: a log display that records lines, a scripted
// password prompt, an HTTP transport that can hang until cancelled, packet builders, and
// a harness that wires a worker to the fake device manager.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/activity_log.h"
#include "device/worker.h"
#include "fakes/fake_device_manager.h"
#include "fakes/fake_profile.h"
#include "http/http_transport.h"
#include "http/winhttp_errors.h"
#include "platform/platform.h"

namespace skiff::testing {

// Intervals long enough that no pass or retry comes by time-out during a test.
inline constexpr WorkerTiming kEventDrivenTiming{3600000, 3600000};

class RecordingLogDisplay final : public ILogDisplay, public Guarded {
 public:
  bool IsAlive() const override { return true; }
  void ShowText(const std::string& keptText, const std::string& appended) override;

  std::vector<std::string> Lines() const { return Get(&RecordingLogDisplay::m_lines); }
  std::size_t Count(const std::string& line) const {
    return Locked([&] { return static_cast<std::size_t>(std::count(m_lines.begin(), m_lines.end(), line)); });
  }
  bool WaitForLine(const std::string& line, std::size_t count = 1, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] {
      return static_cast<std::size_t>(std::count(m_lines.begin(), m_lines.end(), line)) >= count;
    });
  }

 private:
  std::vector<std::string> m_lines;
};

// The front end's prompt, answering from a script. With the script used up it cancels.
class ScriptedPasswordRequester final : public IPasswordRequester, public Guarded {
 public:
  struct Request {
    std::int32_t attempts;
    std::uint32_t pin;
  };

  void Attach(CDeviceWorker* worker) { m_worker = worker; }
  void PushAnswer(std::string password, bool remember) {
    Push({Kind::Answer, std::move(password), remember});
  }
  void PushCancel() { Push({Kind::Cancel, {}, false}); }
  // Keeps the prompt open until Abandon(), then answers as a cancel does.
  void PushHoldUntilAbandoned() { Push({Kind::Hold, {}, false}); }
  // Returns without handing back any answer (a front end that lost the prompt).
  void PushReturnWithoutAnswer() { Push({Kind::Silent, {}, false}); }

  void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) override;
  void Abandon() override {
    Change([&] { m_abandoned = true; });
  }

  std::vector<Request> Requests() const { return Get(&ScriptedPasswordRequester::m_requests); }
  bool WaitForRequests(std::size_t count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_requests.size() >= count; });
  }
  bool Abandoned() const { return Get(&ScriptedPasswordRequester::m_abandoned); }

 private:
  enum class Kind { Answer, Cancel, Hold, Silent };
  struct Step {
    Kind kind;
    std::string password;
    bool remember;
  };
  void Push(Step step) {
    Change([&] { m_script.push_back(std::move(step)); });
  }

  CDeviceWorker* m_worker = nullptr;
  std::deque<Step> m_script;
  std::vector<Request> m_requests;
  bool m_abandoned = false;
};

// A transport whose calls succeed at once (with no data), or, once armed, hang until
// Cancel().
class HangingHttpTransport final : public IHttpTransport, public Guarded {
 public:
  static constexpr std::uint32_t kCancelled = kErrorOperationCancelled;  // the operation was cancelled

  void ArmHang() {
    Change([&] { m_armed = true; });
  }
  bool WaitForHang(Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [this] { return m_hanging; });
  }
  int CancelCalls() const { return Get(&HangingHttpTransport::m_cancelCalls); }

  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override {
    config = UserProxyConfig{};
    return Step();
  }
  std::uint32_t OpenSession(const WideChar*, std::uint32_t, const WideChar*, const WideChar*,
                            HttpHandle* session) override {
    return Open(session);
  }
  std::uint32_t Connect(HttpHandle, const WideChar*, std::uint16_t, HttpHandle* connection) override {
    return Open(connection);
  }
  std::uint32_t OpenRequest(HttpHandle, const WideChar*, const WideChar*, const WideChar* const*,
                            std::uint32_t, HttpHandle* request) override {
    return Open(request);
  }
  std::uint32_t SendRequest(HttpHandle, const WideChar*, std::uint32_t, const void*, std::uint32_t) override {
    return Step();
  }
  std::uint32_t ReceiveResponse(HttpHandle) override { return Step(); }
  std::uint32_t QueryHeaders(HttpHandle, std::uint32_t, void*, std::uint32_t* bufferBytes) override {
    return Nothing(bufferBytes);
  }
  std::uint32_t ReadData(HttpHandle, void*, std::uint32_t, std::uint32_t* bytesRead) override {
    return Nothing(bytesRead);
  }
  void CloseHandle(HttpHandle) override {}
  void Cancel() override {
    Change([&] {
      ++m_cancelCalls;
      m_cancelled = true;
    });
  }

 private:
  // 0 to go on, or the code of a cancelled call.
  std::uint32_t Step();
  // Handles are addresses inside this block: distinct and never null.
  std::uint32_t Open(HttpHandle* handle) {
    const std::uint32_t code = Step();
    if (code == 0) *handle = &m_handles[m_nextHandle++ % sizeof m_handles];
    return code;
  }
  std::uint32_t Nothing(std::uint32_t* count) {
    const std::uint32_t code = Step();
    if (code == 0) *count = 0;
    return code;
  }

  bool m_armed = false;
  bool m_hanging = false;
  bool m_cancelled = false;
  int m_cancelCalls = 0;
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

// The lines from the first one equal to `first` on (empty when there is none), without
// the arrival lines, which the device manager's thread writes at a moment of its own.
std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& first);
// The lines without "Device connected!", which the device manager's thread writes at a
// moment of its own choosing relative to the pass it starts.
std::vector<std::string> WithoutArrivalLines(std::vector<std::string> lines);
// The log line of a device-manager error with this code and no error information.
std::string ErrorLine(HRESULT code);

// A worker wired to the fakes, its log recorded.
struct WorkerHarness {
  explicit WorkerHarness(WorkerTiming timing = kEventDrivenTiming);
  ~WorkerHarness() {
    if (worker) StopWorker();
  }
  WorkerHarness(const WorkerHarness&) = delete;
  WorkerHarness& operator=(const WorkerHarness&) = delete;

  // Starts the worker and waits until it has registered for device events.
  void StartAndWaitForAdvise();
  // Starts the worker, attaches the device and waits until its client is served; returns
  // the client's channel (null, with a failure, when that does not happen).
  std::shared_ptr<FakeChannel> Serve(const std::shared_ptr<FakeDevice>& device);
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
