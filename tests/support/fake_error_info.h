// A counted error object with a description, the one fake of IErrorInfo: counts its
// live instances so that leaks and double releases show.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "compat/com.h"

namespace skiff::testing {

class FakeErrorInfo : public IErrorInfo {
 public:
  explicit FakeErrorInfo(std::atomic<int>& alive, std::u16string description = {})
      : m_alive(alive), m_description(std::move(description)) {
    ++m_alive;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const int left = --m_refs;
    if (left == 0) {
      --m_alive;
      delete this;
    }
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    if (throwOutOfMemory) throw std::bad_alloc();
    if (failDescription) return E_FAIL;
    *description = SysAllocStringLen(AsOle(m_description.data()), static_cast<UINT>(m_description.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }

  bool failDescription = false;
  bool throwOutOfMemory = false;  // stands in for running out of memory on the way

 private:
  virtual ~FakeErrorInfo() = default;
  std::atomic<int>& m_alive;
  std::u16string m_description;
  std::atomic<int> m_refs{1};
};

}  // namespace skiff::testing
