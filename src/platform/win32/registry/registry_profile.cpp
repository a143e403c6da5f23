// Registry access of the profile and the Run value: each call opens only the access it
// needs, and a value that is not text reads as absent.
#include "platform/win32/registry/registry_profile.h"

#include <vector>

namespace skiff {
namespace {

// Closes a key when it goes out of scope.
class CKey {
 public:
  CKey() = default;
  ~CKey() {
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  HKEY* Out() { return &m_key; }
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// The system's text for a registry error code, for the log.
std::string ErrorText(LONG error) {
  std::string text;
  if (!SystemMessageText(HRESULT_FROM_WIN32(static_cast<DWORD>(error)), text)) {
    text = "error " + std::to_string(error);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

CRegistryProfile::CRegistryProfile(HKEY root, std::string applicationName)
    : m_root(root), m_keyPath(std::string(kCompanyKey) + "\\" + applicationName) {}

std::string CRegistryProfile::GetString(const std::string& section, const std::string& name,
                                        const std::string& defaultValue) {
  CKey key;
  const std::string path = m_keyPath + "\\" + section;
  if (RegOpenKeyExA(m_root, path.c_str(), 0, KEY_QUERY_VALUE, key.Out()) != ERROR_SUCCESS)
    return defaultValue;
  // The value may change between asking its size and reading it: ask again then.
  std::vector<char> data(256);
  for (int tries = 0; tries < 8; ++tries) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LONG result = RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(data.data()), &size);
    if (result == ERROR_MORE_DATA) {
      data.resize(size + 1);
      continue;
    }
    if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return defaultValue;
    // Stored data need not end in a zero, and may end in more than one.
    std::string value(data.data(), size);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
  }
  return defaultValue;
}

bool CRegistryProfile::WriteString(const std::string& section, const std::string& name,
                                   const std::string& value) {
  // A zero inside would cut the stored text short without a word: refuse it.
  if (value.find('\0') != std::string::npos || name.find('\0') != std::string::npos) return false;
  CKey key;
  const std::string path = m_keyPath + "\\" + section;
  if (RegCreateKeyExA(m_root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                      key.Out(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool CRegistryProfile::DeleteEntry(const std::string& section, const std::string& name) {
  CKey key;
  const std::string path = m_keyPath + "\\" + section;
  const LONG opened = RegOpenKeyExA(m_root, path.c_str(), 0, KEY_SET_VALUE, key.Out());
  if (opened == ERROR_FILE_NOT_FOUND) return true;  // nothing to delete
  if (opened != ERROR_SUCCESS) return false;
  const LONG result = RegDeleteValueA(key.Get(), name.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

std::wstring OwnProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    // A full buffer means the path may have been cut: try a larger one.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

CRunKey::CRunKey(HKEY root, std::wstring programPath) : m_root(root), m_programPath(std::move(programPath)) {}

bool CRunKey::IsRunOnStartup() {
  CKey key;
  if (RegOpenKeyExW(m_root, kRunKeyPath, 0, KEY_QUERY_VALUE, key.Out()) != ERROR_SUCCESS) return false;
  const LONG result = RegQueryValueExW(key.Get(), kRunValueName, nullptr, nullptr, nullptr, nullptr);
  return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

bool CRunKey::SetRunOnStartup(bool on) {
  m_lastError.clear();
  CKey key;
  const LONG opened = RegOpenKeyExW(m_root, kRunKeyPath, 0, KEY_SET_VALUE, key.Out());
  if (opened != ERROR_SUCCESS) {
    m_lastError = "cannot open the Run key: " + ErrorText(opened);
    return false;
  }
  if (!on) {
    const LONG result = RegDeleteValueW(key.Get(), kRunValueName);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return true;
    m_lastError = "cannot remove the Run value: " + ErrorText(result);
    return false;
  }
  if (m_programPath.empty()) {
    m_lastError = "the program's own path is unknown";
    return false;
  }
  // Wide text, so that a path outside the ANSI code page is stored as it is.
  const std::wstring quoted = L"\"" + m_programPath + L"\"";
  const LONG result =
      RegSetValueExW(key.Get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(quoted.c_str()),
                     static_cast<DWORD>((quoted.size() + 1) * sizeof(wchar_t)));
  if (result == ERROR_SUCCESS) return true;
  m_lastError = "cannot write the Run value: " + ErrorText(result);
  return false;
}

}  // namespace skiff
