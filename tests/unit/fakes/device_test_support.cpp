// The shared pieces of the device worker's tests.
#include "fakes/device_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "device/com_error.h"

namespace skiff::testing {

// ---- log display -------------------------------------------------------------------------

void RecordingLogDisplay::ShowText(const std::string& /*keptText*/, const std::string& appended) {
  std::string line = appended;
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.resize(line.size() - 2);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back(std::move(line));
  m_changed.notify_all();
}

std::vector<std::string> RecordingLogDisplay::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

std::size_t RecordingLogDisplay::Count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<std::size_t>(std::count(m_lines.begin(), m_lines.end(), line));
}

bool RecordingLogDisplay::WaitFor(const std::function<bool(const std::vector<std::string>&)>& done,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return done(m_lines); });
}

bool RecordingLogDisplay::WaitForLine(const std::string& line, std::size_t count,
                                      std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&](const std::vector<std::string>& lines) {
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line)) >= count;
      },
      timeout);
}

// ---- password prompt -----------------------------------------------------------------------

void ScriptedPasswordRequester::PushAnswer(std::string password, bool remember) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script.push_back({Kind::Answer, std::move(password), remember});
}

void ScriptedPasswordRequester::PushCancel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script.push_back({Kind::Cancel, {}, false});
}

void ScriptedPasswordRequester::PushHoldUntilAbandoned() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script.push_back({Kind::Hold, {}, false});
}

void ScriptedPasswordRequester::PushReturnWithoutAnswer() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_script.push_back({Kind::Silent, {}, false});
}

void ScriptedPasswordRequester::RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) {
  Step step{Kind::Cancel, {}, false};
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_requests.push_back({attemptsRemaining, pin});
    m_changed.notify_all();
    if (!m_abandoned && !m_script.empty()) {
      step = m_script.front();
      m_script.pop_front();
    }
    if (step.kind == Kind::Hold) {
      m_changed.wait(lock, [this] { return m_abandoned; });
      step.kind = Kind::Cancel;
    }
  }
  switch (step.kind) {
    case Kind::Answer:
      m_worker->SetPasswordAnswer(step.password, step.remember);
      break;
    case Kind::Cancel:
    case Kind::Hold:
      m_worker->SetPasswordAnswer(CDeviceWorker::kNoPassword, false);
      break;
    case Kind::Silent:
      break;
  }
}

void ScriptedPasswordRequester::Abandon() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_abandoned = true;
  m_changed.notify_all();
}

std::vector<ScriptedPasswordRequester::Request> ScriptedPasswordRequester::Requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

bool ScriptedPasswordRequester::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

bool ScriptedPasswordRequester::Abandoned() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_abandoned;
}

// ---- HTTP transport --------------------------------------------------------------------------

void HangingHttpTransport::ArmHang() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_armed = true;
}

bool HangingHttpTransport::WaitForHang(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [this] { return m_hanging; });
}

int HangingHttpTransport::CancelCalls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_cancelCalls;
}

std::uint32_t HangingHttpTransport::Step() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_armed && !m_cancelled) {
    m_hanging = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_cancelled; });
  }
  return m_cancelled ? kCancelled : 0;
}

std::uint32_t HangingHttpTransport::GetUserProxyConfig(UserProxyConfig& config) {
  config = UserProxyConfig{};
  return Step();
}

std::uint32_t HangingHttpTransport::OpenSession(const WideChar*, std::uint32_t, const WideChar*,
                                                const WideChar*, HttpHandle* session) {
  const std::uint32_t code = Step();
  if (code == 0) *session = NextHandle();
  return code;
}

std::uint32_t HangingHttpTransport::Connect(HttpHandle, const WideChar*, std::uint16_t,
                                            HttpHandle* connection) {
  const std::uint32_t code = Step();
  if (code == 0) *connection = NextHandle();
  return code;
}

std::uint32_t HangingHttpTransport::OpenRequest(HttpHandle, const WideChar*, const WideChar*,
                                                const WideChar* const*, std::uint32_t, HttpHandle* request) {
  const std::uint32_t code = Step();
  if (code == 0) *request = NextHandle();
  return code;
}

std::uint32_t HangingHttpTransport::SendRequest(HttpHandle, const WideChar*, std::uint32_t, const void*,
                                                std::uint32_t) {
  return Step();
}

std::uint32_t HangingHttpTransport::ReceiveResponse(HttpHandle) {
  return Step();
}

std::uint32_t HangingHttpTransport::QueryHeaders(HttpHandle, std::uint32_t, void*,
                                                 std::uint32_t* bufferBytes) {
  const std::uint32_t code = Step();
  if (code == 0) *bufferBytes = 0;
  return code;
}

std::uint32_t HangingHttpTransport::ReadData(HttpHandle, void*, std::uint32_t, std::uint32_t* bytesRead) {
  const std::uint32_t code = Step();
  if (code == 0) *bytesRead = 0;
  return code;
}

void HangingHttpTransport::CloseHandle(HttpHandle) {}

void HangingHttpTransport::Cancel() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_cancelCalls;
  m_cancelled = true;
  m_changed.notify_all();
}

// ---- packets and lines -----------------------------------------------------------------------

std::vector<std::uint8_t> MakePacket(std::uint16_t type, std::uint16_t sequence, std::string_view payload) {
  // Sized once and filled in place (growing it by insert trips a false array-bounds
  // warning of the optimiser).
  std::vector<std::uint8_t> bytes(6 + payload.size());
  const std::uint16_t fields[3] = {type, sequence, static_cast<std::uint16_t>(payload.size())};
  for (std::size_t i = 0; i < 3; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(fields[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(fields[i] >> 8);
  }
  for (std::size_t i = 0; i < payload.size(); ++i) bytes[6 + i] = static_cast<std::uint8_t>(payload[i]);
  return bytes;
}

ParsedPacket ParsePacket(const std::vector<std::uint8_t>& bytes) {
  ParsedPacket packet{};
  if (bytes.size() < 6) return packet;
  packet.type = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
  packet.sequence = static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8));
  packet.length = static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8));
  packet.payload.assign(bytes.begin() + 6, bytes.end());
  return packet;
}

std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& first) {
  const auto start = std::find(lines.begin(), lines.end(), first);
  return std::vector<std::string>(start, lines.end());
}

std::vector<std::string> WithoutArrivalLines(std::vector<std::string> lines) {
  lines.erase(std::remove(lines.begin(), lines.end(), std::string("Device connected!")), lines.end());
  return lines;
}

std::string ErrorLine(HRESULT code) {
  return ComErrorLine(ComError(code, nullptr));
}

// ---- harness ---------------------------------------------------------------------------------

WorkerHarness::WorkerHarness(WorkerTiming timing) {
  log.SetWindow(&display);
  worker = std::make_unique<CDeviceWorker>(factory, transport, profile, requester, timing);
  worker->SetLog(&log);
  requester.Attach(worker.get());
}

WorkerHarness::~WorkerHarness() {
  if (worker) StopWorker();
  worker.reset();
}

void WorkerHarness::StartAndWaitForAdvise() {
  worker->Start();
  ASSERT_TRUE(manager.WaitForAdvise()) << "the worker never registered for device events";
}

void WorkerHarness::StopWorker() {
  std::promise<void> stopped;
  std::future<void> done = stopped.get_future();
  std::thread stopper([&] {
    worker->Stop();
    stopped.set_value();
  });
  if (done.wait_for(kSafetyTimeout) != std::future_status::ready) {
    ADD_FAILURE() << "Stop() did not return";
    std::fprintf(stderr, "Stop() did not return within the safety time-out; ending the run\n");
    std::_Exit(1);
  }
  stopper.join();
}

}  // namespace skiff::testing
