// The password challenge of a locked handheld: a remembered password answers by itself
// only when no wrong answer came before (10 attempts left); otherwise the user is asked.
// The answer is the SHA-1 digest of the password.
#include "device/worker.h"

#include <cstdio>

#include "device/sha1.h"

namespace skiff {

std::string PinText(std::uint32_t pin) {
  char text[9];
  std::snprintf(text, sizeof(text), "%x", static_cast<unsigned int>(pin));
  return text;
}

namespace {

void AnswerWith(const std::string& password, BYTE answer[20]) {
  // The whole password is digested, however long; the device takes the digest of
  // exactly what the user typed.
  Sha1Digest(password.data(), password.size(), answer, kSha1DigestBytes);
}

}  // namespace

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnChallenge(LONG attemptsRemaining, BYTE answer[20]) {
  CallbackScope scope(m_callbacks);
  if (!scope.Entered()) return kChallengeCancelled;
  ConsoleEcho("raw_OnChallenge: " + std::to_string(attemptsRemaining));
  if (answer == nullptr) return E_POINTER;

  const std::string entry = PinText(m_dwPin.load());
  if (attemptsRemaining == 10) {
    const std::string remembered = m_profile.GetString(kSavedPasswordsSection, entry, kNoPassword);
    if (remembered != kNoPassword) {
      // Not copied to m_strPassword: the pass must not store it again.
      AnswerWith(remembered, answer);
      return S_OK;
    }
  }
  // With any other count an answer was refused: a remembered password is neither used
  // nor kept.
  m_profile.DeleteEntry(kSavedPasswordsSection, entry);

  std::string password;
  if (!AskForPassword(attemptsRemaining, password)) return kChallengeCancelled;
  AnswerWith(password, answer);
  return S_OK;
}

bool CDeviceWorker::AskForPassword(LONG attemptsRemaining, std::string& password) {
  if (m_bStop.load()) return false;
  // Only an answer to this request counts, not one left over from an earlier prompt.
  m_hPasswordEvent.Reset();
  m_requester.RequestPassword(attemptsRemaining, m_dwPin.load());
  // The requester answers before it returns, so this wait normally ends at once; it
  // also ends when the worker stops, whether or not an abandoned prompt answered.
  const WaitResult result = WaitForAny(&m_hPasswordEvent, &m_hStopEvent, kInfinite);
  if (result != WaitResult::Object0 || m_bStop.load()) return false;
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    password = m_strPassword;
  }
  if (password == kNoPassword) {
    Log("User pressed cancel");
    // Ignore this device until a pass has seen it gone.
    m_nCancelledArrival.store(m_nArrival.load());
    return false;
  }
  return true;
}

void CDeviceWorker::RememberTypedPassword() {
  std::string password;
  bool remember = false;
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    password = m_strPassword;
    remember = m_bRememberPassword;
  }
  if (remember && password != kNoPassword) {
    m_profile.WriteString(kSavedPasswordsSection, PinText(m_dwPin.load()), password);
  }
}

}  // namespace skiff
