// ComError: message fallbacks, description, reference counting, how ThrowIfFailed takes
// the thread's error object, and the one log line. The VARIANT conversions are checked
// through the property values in device_worker_test.
#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/api/com_error.h"
#include "device/api/message_text.h"
#include "platform/platform.h"

namespace skiff {
namespace {

using ::testing::AnyOf;

// An error object that counts its live instances, so that leaks and double releases show.
struct FakeErrorInfo : IErrorInfo {
  FakeErrorInfo(std::atomic<int>& counter, std::u16string text)
      : alive(counter), description(std::move(text)) {
    ++alive;
  }
  virtual ~FakeErrorInfo() { --alive; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const int left = --refs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override {
    if (throwOutOfMemory) throw std::bad_alloc();
    if (failDescription) return E_FAIL;
    *text = SysAllocStringLen(AsOle(description.data()), static_cast<UINT>(description.size()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }
  std::atomic<int>& alive;
  std::u16string description;
  std::atomic<int> refs{1};
  bool failDescription = false, throwOutOfMemory = false;
};

// A device-manager object that may support error information for IErrorInfo's own IID.
struct FakeObject : ISupportErrorInfo {
  explicit FakeObject(bool withSupport) : supports(withSupport) {}
  virtual ~FakeObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = supports && iid == IID_ISupportErrorInfo ? static_cast<ISupportErrorInfo*>(this) : nullptr;
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    ++asked;
    return iid == IID_IErrorInfo ? S_OK : S_FALSE;
  }
  bool supports;
  int refs = 1, asked = 0;
};

// Leaves an error object for the calling thread, as a failing call would.
void LeaveErrorInfo(std::atomic<int>& alive, std::u16string description) {
  auto* info = new FakeErrorInfo(alive, std::move(description));
  SetErrorInfo(0, info);
  info->Release();
}

// Takes (and releases) the thread's error object: whether one was waiting.
bool ErrorInfoWaiting() {
  IErrorInfo* info = nullptr;
  const bool waiting = GetErrorInfo(0, &info) == S_OK;
  if (info != nullptr) info->Release();
  return waiting;
}

const HRESULT kNoText = MakeHresult(0x8004F000u);

TEST(ComError, MessageOrFallbackThenDescriptionAndCopiesShareOneReference) {
  // The system's wording of E_FAIL: the native message table words it as Windows does,
  // Wine in its own way. The lines below use a code no system has a text for.
  EXPECT_THAT(ComErrorLine(ComError(E_FAIL, nullptr)), AnyOf("Unspecified error ", "Call failed. "));
  EXPECT_EQ(ComError(kNoText, nullptr).Message(), "IDispatch error #60928");
  // The dispatch base itself has no number; codes are written without padding.
  EXPECT_EQ(ComError(MakeHresult(0x80040200u), nullptr).Message(), "Unknown error 0x80040200");
  EXPECT_EQ(ComError(MakeHresult(0x00ABCDEFu), nullptr).Message(), "Unknown error 0xABCDEF");
  EXPECT_EQ(WithoutLineEnd("two\r\n\n"), "two\r\n");  // only one line end goes
  EXPECT_EQ(WithoutLineEnd("CR alone\r"), "CR alone\r");
  EXPECT_EQ(WithoutLineEnd("\n"), "\n");  // a one-character text is left as it is

  std::atomic<int> alive{0};
  auto* info = new FakeErrorInfo(alive, std::u16string(u"Device is locked\0here", 21));
  auto* other = new FakeErrorInfo(alive, u"second");
  {
    ComError a(kNoText, info);
    info->Release();  // the error keeps its own reference
    ComError b(E_INVALIDARG, other);
    other->Release();
    // A description with an embedded NUL ends there, as the C text it is.
    EXPECT_EQ(ComErrorLine(a), "IDispatch error #60928 Device is locked");
    const ComError copy(a);  // NOLINT(performance-unnecessary-copy-initialization): the copy is the test
    b = a;                   // the second error object loses its last reference here
    EXPECT_EQ(alive.load(), 1);
    const ComError& self = b;
    b = self;
    EXPECT_EQ(ComErrorLine(b), "IDispatch error #60928 Device is locked");
    EXPECT_TRUE(copy.ErrorInfo() == info);

    info->failDescription = true;
    EXPECT_EQ(ComErrorLine(a), "IDispatch error #60928 ");
    info->failDescription = false;
    info->throwOutOfMemory = true;
    EXPECT_EQ(ComErrorLine(a), "IDispatch error #60928 ");  // written without it
  }
  EXPECT_EQ(alive.load(), 0);
}

TEST(ThrowIfFailed, TakesTheThreadsErrorInfoOnlyWhenTheObjectSupportsItForTheInterface) {
  std::atomic<int> alive{0};
  FakeObject supporting(true), plain(false);
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, &supporting, IID_IErrorInfo));
  LeaveErrorInfo(alive, u"replaced by the next one, and released");
  std::thread([] { EXPECT_FALSE(ErrorInfoWaiting()); }).join();  // each thread has its own
  const struct {
    FakeObject* object;
    const IID& iid;
    bool left, taken;
  } cases[] = {{&supporting, IID_IErrorInfo, true, true},
               {&supporting, IID_IErrorInfo, false, false},
               {&supporting, IID_IUnknown, true, false},
               {&plain, IID_IErrorInfo, true, false},
               {nullptr, IID_IErrorInfo, true, false}};
  for (const auto& c : cases) {
    if (c.left) LeaveErrorInfo(alive, u"The channel is closed");
    std::string line;
    try {
      ThrowIfFailed(kNoText, c.object, c.iid);
    } catch (const ComError& error) {
      line = ComErrorLine(error);
    }
    EXPECT_EQ(line, std::string("IDispatch error #60928") + (c.taken ? " The channel is closed" : " "));
    EXPECT_EQ(ErrorInfoWaiting(), c.left && !c.taken);  // taken from the thread, or left there
    EXPECT_EQ(alive.load(), 0);                         // no reference leaked
  }
  EXPECT_EQ(supporting.refs, 1);  // the support interface was released each time
  EXPECT_EQ(plain.asked, 0);
}

}  // namespace
}  // namespace skiff
