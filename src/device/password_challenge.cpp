// The password challenge: the remembered password when no wrong answer came before,
// otherwise the user's, answered with its SHA-1 digest.
#include "device/password_challenge.h"

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

CPasswordChallenge::CPasswordChallenge(IProfile& profile, IPasswordRequester& requester, CLogWriter& log,
                                       Event& stopEvent, const std::atomic<bool>& stopping)
    : m_profile(profile), m_requester(requester), m_log(log), m_hStopEvent(stopEvent), m_bStop(stopping) {}

HRESULT CPasswordChallenge::OnChallenge(LONG attemptsRemaining, BYTE answer[20], std::uint32_t pin,
                                        std::int32_t arrival) {
  m_log.Log(LogTo::ConsoleOnly, "raw_OnChallenge: " + std::to_string(attemptsRemaining));
  if (answer == nullptr) return E_POINTER;

  const std::string entry = PinText(pin);
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
  if (!AskForPassword(attemptsRemaining, pin, arrival, password)) return kChallengeCancelled;
  AnswerWith(password, answer);
  return S_OK;
}

bool CPasswordChallenge::AskForPassword(LONG attemptsRemaining, std::uint32_t pin, std::int32_t arrival,
                                        std::string& password) {
  if (m_bStop.load()) return false;
  // Only an answer to this request counts, not one left over from an earlier prompt.
  m_hPasswordEvent.Reset();
  m_requester.RequestPassword(attemptsRemaining, pin);
  // The requester answers before it returns, so this wait normally ends at once; it
  // also ends when the worker stops, whether or not an abandoned prompt answered.
  const WaitResult result = WaitForAny(&m_hPasswordEvent, &m_hStopEvent, kInfinite);
  if (result != WaitResult::Object0 || m_bStop.load()) return false;
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    password = m_strPassword;
  }
  if (password == kNoPassword) {
    m_log.Log(LogTo::LogAndConsole, "User pressed cancel");
    // Ignore this device until a pass has seen it gone.
    m_nCancelledArrival.store(arrival);
    return false;
  }
  return true;
}

void CPasswordChallenge::SetPasswordAnswer(const std::string& password, bool remember) {
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    m_strPassword = password;
    m_bRememberPassword = remember;
  }
  m_hPasswordEvent.Set();
}

void CPasswordChallenge::BeginPass() {
  std::lock_guard<std::mutex> lock(m_answerMutex);
  m_strPassword = kNoPassword;
}

void CPasswordChallenge::RememberTypedPassword(std::uint32_t pin) {
  std::string password;
  bool remember = false;
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    password = m_strPassword;
    remember = m_bRememberPassword;
  }
  if (remember && password != kNoPassword)
    m_profile.WriteString(kSavedPasswordsSection, PinText(pin), password);
}

}  // namespace skiff
