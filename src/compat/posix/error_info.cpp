// The calling thread's error object: the last error information a failed call left
// behind, handed to the caller once and then forgotten.
#include "compat_platform.h"

namespace {

// Holds one reference; releases it when the thread ends with an error object still set.
struct ThreadErrorSlot {
  IErrorInfo* info = nullptr;
  ThreadErrorSlot() = default;
  ThreadErrorSlot(const ThreadErrorSlot&) = delete;
  ThreadErrorSlot& operator=(const ThreadErrorSlot&) = delete;
  ~ThreadErrorSlot() {
    if (info != nullptr) info->Release();
  }
};

thread_local ThreadErrorSlot t_errorSlot;

}  // namespace

HRESULT SetErrorInfo(ULONG /*reserved*/, IErrorInfo* pErrorInfo) {
  if (pErrorInfo != nullptr) pErrorInfo->AddRef();
  IErrorInfo* previous = t_errorSlot.info;
  t_errorSlot.info = pErrorInfo;
  if (previous != nullptr) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG /*reserved*/, IErrorInfo** ppErrorInfo) {
  if (ppErrorInfo == nullptr) return E_INVALIDARG;
  *ppErrorInfo = t_errorSlot.info;  // the slot's reference passes to the caller
  t_errorSlot.info = nullptr;
  return *ppErrorInfo != nullptr ? S_OK : S_FALSE;
}
