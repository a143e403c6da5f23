// The shared pieces of the device worker's tests.
#include "fakes/device_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "device/com_error.h"

namespace skiff::testing {

void RecordingLogDisplay::ShowText(const std::string& /*keptText*/, const std::string& appended) {
  // One refresh may carry several lines.
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = appended.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(appended.substr(start, end - start));
  Change([&] { m_lines.insert(m_lines.end(), lines.begin(), lines.end()); });
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
    if (step.kind == Kind::Hold) m_changed.wait(lock, [this] { return m_abandoned; });
  }
  if (step.kind == Kind::Answer) m_worker->SetPasswordAnswer(step.password, step.remember);
  if (step.kind == Kind::Cancel || step.kind == Kind::Hold)
    m_worker->SetPasswordAnswer(CDeviceWorker::kNoPassword, false);
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

std::vector<std::uint8_t> MakePacket(std::uint16_t type, std::uint16_t sequence, std::string_view payload) {
  // Sized once and filled in place (growing it by insert trips a false array-bounds
  // warning of the optimiser).
  std::vector<std::uint8_t> bytes(6 + payload.size());
  const std::uint16_t fields[3] = {type, sequence, static_cast<std::uint16_t>(payload.size())};
  for (std::size_t i = 0; i < 3; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(fields[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(fields[i] >> 8);
  }
  std::copy(payload.begin(), payload.end(), bytes.begin() + 6);
  return bytes;
}

ParsedPacket ParsePacket(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 6) return {};
  auto field = [&](std::size_t at) { return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)); };
  return {field(0), field(2), field(4), std::string(bytes.begin() + 6, bytes.end())};
}

std::vector<std::string> LinesFrom(const std::vector<std::string>& lines, const std::string& first) {
  const std::vector<std::string> own = WithoutArrivalLines(lines);
  return std::vector<std::string>(std::find(own.begin(), own.end(), first), own.end());
}

std::vector<std::string> WithoutArrivalLines(std::vector<std::string> lines) {
  lines.erase(std::remove(lines.begin(), lines.end(), std::string("Device connected!")), lines.end());
  return lines;
}

std::string ErrorLine(HRESULT code) {
  return ComErrorLine(ComError(code, nullptr));
}

WorkerHarness::WorkerHarness(WorkerTiming timing) {
  log.SetWindow(&display);
  worker = std::make_unique<CDeviceWorker>(factory, transport, profile, requester, timing);
  worker->SetLog(&log);
  requester.Attach(worker.get());
}

void WorkerHarness::StartAndWaitForAdvise() {
  worker->Start();
  ASSERT_TRUE(manager.WaitForAdvise()) << "the worker never registered for device events";
}

std::shared_ptr<FakeChannel> WorkerHarness::Serve(const std::shared_ptr<FakeDevice>& device) {
  StartAndWaitForAdvise();
  manager.Attach(device);
  if (!device->WaitForChannel(1) || !display.WaitForLine("Client successfully connected")) {
    ADD_FAILURE() << "no client was served";
    return nullptr;
  }
  return device->LastChannel();
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
