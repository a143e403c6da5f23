// The password hand-off: a queue of blocked requests, one shown at a time, answered on
// the window's thread or ended as a cancel when the program ends.
#include "shell/password_handoff.h"

#include <algorithm>
#include <utility>

#include "device/worker.h"

namespace skiff {

CPasswordHandOff::CPasswordHandOff(std::function<void()> wake) : m_wake(std::move(wake)) {}

void CPasswordHandOff::SetHost(IMainWindowHost* host) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_host = host;
}

void CPasswordHandOff::RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) {
  auto request = std::make_shared<Request>();
  request->question = {attemptsRemaining, pin};
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_abandoned) {
    m_queue.push_back(request);
    lock.unlock();
    if (m_wake) m_wake();
    lock.lock();
    m_done.wait(lock, [&] { return request->delivered || (m_abandoned && !request->answered); });
    if (request->delivered) return;
    m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), request), m_queue.end());
  }
  // The program is ending: the request ends at once as a cancel, handed over here
  // because the window's thread may no longer run. A prompt shown for it is withdrawn.
  request->answered = true;
  IMainWindowHost* const host = m_host;
  lock.unlock();
  if (m_wake) m_wake();
  if (host) host->PasswordAnswered(CDeviceWorker::kNoPassword, false);
}

void CPasswordHandOff::Abandon() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_abandoned = true;
  }
  m_done.notify_all();
  if (m_wake) m_wake();
}

bool CPasswordHandOff::TakeNext(PasswordQuestion& question) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_shown) return false;
  while (!m_queue.empty()) {
    std::shared_ptr<Request> next = std::move(m_queue.front());
    m_queue.pop_front();
    if (next->answered) continue;
    m_shown = std::move(next);
    question = m_shown->question;
    return true;
  }
  return false;
}

bool CPasswordHandOff::HasShown() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_shown != nullptr;
}

bool CPasswordHandOff::IsShownWithdrawn() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_shown && m_shown->answered;
}

void CPasswordHandOff::Answer(const std::string& password, bool remember) {
  std::shared_ptr<Request> request;
  IMainWindowHost* host = nullptr;
  bool deliver = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    request = std::move(m_shown);
    m_shown.reset();
    if (!request) return;
    deliver = !request->answered;
    request->answered = true;
    host = m_host;
  }
  // Both fields before the event (the host's order), and all of it before the requesting
  // thread is let go.
  if (deliver && host) host->PasswordAnswered(password, remember);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    request->delivered = true;
  }
  m_done.notify_all();
}

}  // namespace skiff
