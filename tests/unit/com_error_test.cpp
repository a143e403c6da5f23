// The COM vocabulary (the VARIANT conversions property values go through, the per-thread
// error object) and ComError: message fallbacks, description, reference counting, how
// ThrowIfFailed fetches error information, and the one log line.
#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "device/api/message_text.h"
#include "device/com_error.h"
#include "platform/platform.h"

namespace skiff {
namespace {

// An error object that counts its live instances, so that leaks and double releases show.
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
  bool throwOutOfMemory = false;

 private:
  virtual ~FakeErrorInfo() = default;
  std::atomic<int>& m_alive;
  std::u16string m_description;
  std::atomic<int> m_refs{1};
};

// A device-manager object that may support error information for one interface.
struct FakeObject : ISupportErrorInfo {
  FakeObject(bool withSupport, const IID& iid) : supports(withSupport), iidWithInfo(iid) {}
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
    return iid == iidWithInfo ? S_OK : S_FALSE;
  }
  bool supports;
  IID iidWithInfo;
  int refs = 1, asked = 0;
};

const IID kSomeIid = {0xC716830E, 0xA0F4, 0x46DF, {0xB8, 0x2A, 0x54, 0x8C, 0xFB, 0x08, 0x75, 0x5E}};

// ASCII text in and out of a BSTR.
BSTR MakeBstr(const std::string& ascii) {
  const std::u16string wide(ascii.begin(), ascii.end());
  return SysAllocStringLen(AsOle(wide.data()), static_cast<UINT>(wide.size()));
}

std::string Narrow(BSTR text) {
  return {AsWide(text), AsWide(text) + SysStringLen(text)};
}

// The system's wording for a code without its line end: each system words its texts
// differently, so the expected message is read from the system's table.
std::string SystemText(HRESULT code) {
  std::string text;
  EXPECT_TRUE(SystemMessageText(code, text)) << std::hex << code;
  EXPECT_NE(text.find('\n'), std::string::npos);
  return WithoutLineEnd(text);
}

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

// Property values arrive as text or numbers: text in range converts, in place too (the
// text is released, or AddressSanitizer reports a leak); anything else fails untouched.
TEST(VariantChangeType, TextToI4AndBack) {
  const std::pair<const char*, HRESULT> cases[] = {
      {" -2147483648 ", S_OK},   {"+0000000000012", S_OK},        {"1 2", DISP_E_TYPEMISMATCH},
      {"", DISP_E_TYPEMISMATCH}, {"4294967296", DISP_E_OVERFLOW}, {"2147483648", DISP_E_OVERFLOW}};
  for (const auto& [text, expected] : cases) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = MakeBstr(text);
    EXPECT_EQ(VariantChangeType(&value, &value, 0, VT_I4), expected) << text;
    EXPECT_EQ(value.vt, expected == S_OK ? VT_I4 : VT_BSTR);
    if (expected == S_OK) {
      VARIANT back;
      VariantInit(&back);
      ASSERT_EQ(VariantChangeType(&back, &value, 0, VT_BSTR), S_OK);
      EXPECT_EQ(Narrow(back.bstrVal), std::to_string(std::stol(text)));
      VariantClear(&back);
    }
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
  }
}

TEST(ComError, MessageIsTheSystemTextOrAFallbackWithoutLineEnd) {
  const ComError failed(E_FAIL, nullptr);
  EXPECT_EQ(failed.Message(), SystemText(E_FAIL));
  EXPECT_EQ(ComErrorLine(failed), SystemText(E_FAIL) + " ");
  EXPECT_EQ(ComError(MakeHresult(0x8004F000u), nullptr).Message(), "IDispatch error #60928");
  // The dispatch base itself has no number; codes are written without padding.
  EXPECT_EQ(ComError(MakeHresult(0x80040200u), nullptr).Message(), "Unknown error 0x80040200");
  EXPECT_EQ(ComError(MakeHresult(0x00ABCDEFu), nullptr).Message(), "Unknown error 0xABCDEF");
  EXPECT_EQ(WithoutLineEnd("two\r\n\n"), "two\r\n");  // only one line end goes
  EXPECT_EQ(WithoutLineEnd("CR alone\r"), "CR alone\r");
  EXPECT_EQ(WithoutLineEnd("\n"), "\n");  // a one-character text is left as it is
}

TEST(ComError, DescriptionFollowsTheMessageAndCopiesShareOneReference) {
  std::atomic<int> alive{0};
  auto* info = new FakeErrorInfo(alive, std::u16string(u"Device is locked\0here", 21));
  auto* other = new FakeErrorInfo(alive, u"second");
  {
    ComError a(E_FAIL, info);
    info->Release();  // the error keeps its own reference
    ComError b(E_INVALIDARG, other);
    other->Release();
    // A description with an embedded NUL ends there, as the C text it is.
    EXPECT_EQ(ComErrorLine(a), SystemText(E_FAIL) + " Device is locked");
    const ComError copy(a);  // NOLINT(performance-unnecessary-copy-initialization): the copy is the test
    b = a;                   // the second error object loses its last reference here
    EXPECT_EQ(alive.load(), 1);
    const ComError& self = b;
    b = self;
    EXPECT_EQ(ComErrorLine(b), SystemText(E_FAIL) + " Device is locked");
    EXPECT_TRUE(copy.ErrorInfo() == info);

    info->failDescription = true;
    EXPECT_EQ(ComErrorLine(a), SystemText(E_FAIL) + " ");
    info->failDescription = false;
    info->throwOutOfMemory = true;
    EXPECT_EQ(ComErrorLine(a), SystemText(E_FAIL) + " ");  // written without it
  }
  EXPECT_EQ(alive.load(), 0);
}

TEST(ThrowIfFailed, TakesTheErrorInfoOnlyWhenTheObjectSupportsItForTheInterface) {
  const auto thrown = [](HRESULT hr, FakeObject* object, const IID& iid) {
    try {
      ThrowIfFailed(hr, object, iid);
    } catch (const ComError& error) {
      EXPECT_EQ(error.Code(), hr);
      return ComErrorLine(error);
    }
    return std::string("no ComError");
  };
  std::atomic<int> alive{0};
  FakeObject supporting(true, kSomeIid);
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, &supporting, kSomeIid));
  EXPECT_EQ(thrown(E_ACCESSDENIED, &supporting, kSomeIid), SystemText(E_ACCESSDENIED) + " ");  // none left
  LeaveErrorInfo(alive, u"replaced");
  LeaveErrorInfo(alive, u"The channel is closed");
  EXPECT_EQ(alive.load(), 1);                                   // replacing released the first
  std::thread other([] { EXPECT_FALSE(ErrorInfoWaiting()); });  // each thread has its own
  other.join();
  EXPECT_EQ(thrown(E_FAIL, &supporting, kSomeIid), SystemText(E_FAIL) + " The channel is closed");
  EXPECT_EQ(alive.load(), 0);     // taken from the thread, no reference leaked
  EXPECT_EQ(supporting.refs, 1);  // the support interface was released
  EXPECT_EQ(supporting.asked, 2);

  // Another interface, an object without support, no object: the thread's object stays.
  FakeObject plain(false, kSomeIid);
  for (FakeObject* object : {&supporting, &plain, static_cast<FakeObject*>(nullptr)}) {
    LeaveErrorInfo(alive, u"unrelated");
    EXPECT_EQ(thrown(E_INVALIDARG, object, object == &supporting ? IID_ISupportErrorInfo : kSomeIid),
              SystemText(E_INVALIDARG) + " ");
    EXPECT_TRUE(ErrorInfoWaiting());
  }
  EXPECT_EQ(plain.asked, 0);
  EXPECT_EQ(alive.load(), 0);

  HRESULT code = S_OK;
  try {
    ThrowIfNull(&code);
    ThrowIfNull(nullptr);
  } catch (const ComError& error) {
    code = error.Code();
  }
  EXPECT_EQ(code, E_POINTER);
}

}  // namespace
}  // namespace skiff
