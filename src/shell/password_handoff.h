// The password hand-off between the thread that meets a locked handheld and the window's
// thread that shows the prompt: request, answer, withdraw and abandon, for every front end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace skiff {

// What the window shows for one request.
struct PasswordQuestion {
  std::int32_t attemptsRemaining = 0;
  std::uint32_t pin = 0;
};

// Request() blocks the requesting thread, as a synchronous message to the window would,
// until the window's thread has answered, or the program ends. The window is told by
// its wake function (a byte in a pipe, a posted window message) and then, on its own
// thread, takes the request, shows it and answers it. No lock is held while the host
// or the wake function runs, so both may take their own locks or wait on the window.
class CPasswordHandOff : public IPasswordRequester {
 public:
  // wake: any thread; makes the window's thread call TakeNext() / IsShownWithdrawn() soon.
  explicit CPasswordHandOff(std::function<void()> wake);
  CPasswordHandOff(const CPasswordHandOff&) = delete;
  CPasswordHandOff& operator=(const CPasswordHandOff&) = delete;

  // Where answers go from now on (the host's PasswordAnswered: the worker stores the
  // password and the remember flag, then signals its password event); null when the
  // window is gone. The host outlives every request made while it is set.
  void SetHost(IMainWindowHost* host);

  // IPasswordRequester, any thread: returns once the answer (or, when abandoned, a
  // cancel) has been handed to the host: the password, the remember flag, then the event.
  void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) override;
  // Any thread: the program ends. Open and later requests end at once as a cancel; a
  // prompt already shown is withdrawn (IsShownWithdrawn() turns true).
  void Abandon() override;

  // ---- The window's thread ----
  // Takes the oldest waiting request to show; false when none waits. One at a time: the
  // shown one is answered (or found withdrawn) before the next is taken.
  bool TakeNext(PasswordQuestion& question);
  // True while a request is shown (taken and not answered here).
  bool HasShown() const;
  // The shown request was ended elsewhere (the program is ending): close the prompt and
  // call Answer(), which then hands nothing over.
  bool IsShownWithdrawn() const;
  // Answers the shown request: hands the answer to the host, then lets the requesting
  // thread go. A withdrawn request gets nothing.
  void Answer(const std::string& password, bool remember);

 private:
  struct Request {
    PasswordQuestion question;
    bool answered = false;   // an answer (or the abandon) has been decided
    bool delivered = false;  // the answer has been handed to the host
  };

  const std::function<void()> m_wake;
  mutable std::mutex m_mutex;
  std::condition_variable m_done;
  std::deque<std::shared_ptr<Request>> m_queue;
  std::shared_ptr<Request> m_shown;
  IMainWindowHost* m_host = nullptr;
  bool m_abandoned = false;
};

}  // namespace skiff
