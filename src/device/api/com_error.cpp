// ComError: a failed device-manager call with its code and error information, the
// helpers that raise it, and the one log line that reports it.
#include "device/api/com_error.h"

#include <cstdint>
#include <cstdio>
#include <new>

#include "core/text.h"
#include "device/api/message_text.h"
#include "platform/platform.h"

namespace skiff {

ComError::ComError(HRESULT code, IErrorInfo* errorInfo) : m_code(code), m_errorInfo(errorInfo) {
  if (m_errorInfo != nullptr) m_errorInfo->AddRef();
}

ComError::ComError(const ComError& other)
    : m_code(other.m_code),
      m_errorInfo(other.m_errorInfo),
      m_message(other.m_message),
      m_messageMade(other.m_messageMade) {
  if (m_errorInfo != nullptr) m_errorInfo->AddRef();
}

ComError& ComError::operator=(const ComError& other) {
  if (this == &other) return *this;
  std::string message = other.m_message;  // may throw; nothing is changed yet
  if (other.m_errorInfo != nullptr) other.m_errorInfo->AddRef();
  if (m_errorInfo != nullptr) m_errorInfo->Release();
  m_code = other.m_code;
  m_errorInfo = other.m_errorInfo;
  m_message.swap(message);
  m_messageMade = other.m_messageMade;
  return *this;
}

ComError::~ComError() {
  if (m_errorInfo != nullptr) m_errorInfo->Release();
}

std::string WithoutLineEnd(std::string text) {
  if (text.size() > 1 && text.back() == '\n') {
    text.pop_back();
    if (text.back() == '\r') text.pop_back();
  }
  return text;
}

const std::string& ComError::Message() const {
  if (m_messageMade) return m_message;
  m_messageMade = true;
  try {
    std::string text;
    if (SystemMessageText(m_code, text) && !text.empty()) {
      m_message = WithoutLineEnd(std::move(text));
      return m_message;
    }
    const auto code = static_cast<std::uint32_t>(m_code);
    const auto dispatchNumber = static_cast<std::uint16_t>(code - 0x80040200u);
    char buffer[32];
    if (code >= 0x80040200u && code <= 0x8004FFFFu && dispatchNumber != 0) {
      std::snprintf(buffer, sizeof buffer, "IDispatch error #%d", static_cast<int>(dispatchNumber));
    } else {
      std::snprintf(buffer, sizeof buffer, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
    }
    m_message = buffer;
  } catch (const std::bad_alloc&) {
    m_message.clear();  // no room for a message: it stays empty
  }
  return m_message;
}

std::string ComError::Description() const {
  if (m_errorInfo == nullptr) return {};
  BSTR description = nullptr;
  if (FAILED(m_errorInfo->GetDescription(&description)) || description == nullptr) return {};
  // Read as the C string it is meant to be: up to its first NUL.
  const std::u16string_view units(AsWide(description), SysStringLen(description));
  const std::u16string_view text = units.substr(0, units.find(u'\0'));
  try {
    std::string result = WideToAnsiString(text);
    SysFreeString(description);
    return result;
  } catch (...) {
    SysFreeString(description);
    throw;
  }
}

void ThrowIfFailed(HRESULT hr, IUnknown* object, REFIID iid) {
  if (SUCCEEDED(hr)) return;
  IErrorInfo* errorInfo = nullptr;
  if (object != nullptr) {
    ISupportErrorInfo* support = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
        support != nullptr) {
      if (support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, &errorInfo) != S_OK) {
        errorInfo = nullptr;
      }
      support->Release();
    }
  }
  ComError error(hr, errorInfo);  // takes its own reference
  if (errorInfo != nullptr) errorInfo->Release();
  throw error;
}

void ThrowIfNull(const void* reference) {
  if (reference == nullptr) throw ComError(E_POINTER, nullptr);
}

std::string ComErrorLine(const ComError& error) {
  const std::string& message = error.Message();
  try {
    return message + " " + error.Description();
  } catch (const std::bad_alloc&) {
    // Out of memory while making the description: the line goes out without it.
  }
  try {
    return message + " ";
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace skiff
