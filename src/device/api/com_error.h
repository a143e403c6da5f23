// ComError: the exception a failed device-manager call raises, with its HRESULT and the
// call's error information, and the helpers that raise it.
#pragma once

#include <string>

#include "compat/com.h"

namespace skiff {

class ComError {
 public:
  // Takes its own reference to errorInfo (may be null).
  ComError(HRESULT code, IErrorInfo* errorInfo);
  ComError(const ComError& other);
  ComError& operator=(const ComError& other);
  ~ComError();

  HRESULT Code() const { return m_code; }
  IErrorInfo* ErrorInfo() const { return m_errorInfo; }

  // The code's message text, made once and kept: the system's text for the code with a
  // trailing line end removed, else "IDispatch error #%d" or "Unknown error 0x%0lX";
  // empty if even that cannot be made.
  const std::string& Message() const;

  // The error info's description in the ANSI code page; empty when there is none.
  std::string Description() const;

 private:
  HRESULT m_code;
  IErrorInfo* m_errorInfo;
  mutable std::string m_message;
  mutable bool m_messageMade = false;
};

// Raises ComError when hr is negative, with the object's error info when it says it
// supports error information for iid.
void ThrowIfFailed(HRESULT hr, IUnknown* object, REFIID iid);

// Raises ComError(E_POINTER) when the reference is null. Call before every call
// through an interface reference.
void ThrowIfNull(const void* reference);

// The one log line for a caught error: Message() + " " + Description().
std::string ComErrorLine(const ComError& error);

}  // namespace skiff
