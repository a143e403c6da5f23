// The password challenge of a locked handheld and the passwords remembered for it: a
// remembered password answers by itself only when no wrong answer came before (10
// attempts left); otherwise the user is asked. The answer is the SHA-1 digest of the
// password.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "compat/com.h"
#include "core/event.h"
#include "core/log_writer.h"
#include "platform/platform.h"

namespace skiff {

// The profile section of remembered device passwords (value name: the PIN in "%x").
inline constexpr char kSavedPasswordsSection[] = "Saved passwords";

// The failure with which a cancelled password challenge ends, so that the open fails.
inline constexpr HRESULT kChallengeCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

// A PIN as it names a remembered password and shows in the log: "%x" of the 32 bits.
std::string PinText(std::uint32_t pin);

class CPasswordChallenge {
 public:
  // Stands for "no password": the prompt was cancelled, or nothing is remembered. Made of
  // characters no one types into the prompt.
  static constexpr char kNoPassword[] = "\x1b<no-password>\x1b";
  static_assert(sizeof(kNoPassword) == 16, "the no-password sentinel has 15 characters");

  // stopEvent and stopping are the watcher's: a challenge ends as a cancel once the
  // worker stops.
  CPasswordChallenge(IProfile& profile, IPasswordRequester& requester, CLogWriter& log, Event& stopEvent,
                     const std::atomic<bool>& stopping);
  CPasswordChallenge(const CPasswordChallenge&) = delete;
  CPasswordChallenge& operator=(const CPasswordChallenge&) = delete;

  // Answers one challenge for the device with this PIN, seen at this arrival: S_OK with
  // the digest in answer, or kChallengeCancelled when there is no answer. Runs on a
  // device-manager thread while the watcher thread waits in the channel open.
  HRESULT OnChallenge(LONG attemptsRemaining, BYTE answer[20], std::uint32_t pin, std::int32_t arrival);

  // The prompt's answer, from the front end's thread: both fields are stored before the
  // password event is signalled.
  void SetPasswordAnswer(const std::string& password, bool remember);

  // A device pass begins: from here on, a password other than the sentinel can only be
  // one typed during this pass.
  void BeginPass();
  // After an open: stores a password typed during this pass when the user ticked
  // "Remember (insecure)", so that only a password that opened the channel is kept.
  void RememberTypedPassword(std::uint32_t pin);

  // The arrival whose prompt was cancelled is ignored until a pass has seen the device
  // gone; a new connection to the device manager forgets it.
  bool CancelledAt(std::int32_t arrival) const { return m_nCancelledArrival.load() == arrival; }
  void ForgetCancel() { m_nCancelledArrival.store(-1); }

 private:
  // False when there is no answer (cancel, or the worker is stopping).
  bool AskForPassword(LONG attemptsRemaining, std::uint32_t pin, std::int32_t arrival, std::string& password);

  IProfile& m_profile;
  IPasswordRequester& m_requester;
  CLogWriter& m_log;
  Event& m_hStopEvent;
  const std::atomic<bool>& m_bStop;

  // Written by OnChallenge (device-manager thread), read by the watcher thread.
  std::atomic<std::int32_t> m_nCancelledArrival{-1};

  // The password answer. The front end may answer at any moment (a late answer after an
  // abandoned prompt, say) while the watcher thread resets the password at a pass start,
  // so the pair is guarded by a lock; m_hPasswordEvent still carries the wake-up.
  mutable std::mutex m_answerMutex;
  bool m_bRememberPassword = false;
  std::string m_strPassword;
  Event m_hPasswordEvent{EventReset::Automatic};
};

}  // namespace skiff
