// ComError: the message text and its fallbacks, the description, how ThrowIfFailed
// fetches error information, reference counting, and the one log line.
#include <atomic>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "device/api/message_text.h"
#include "device/com_error.h"
#include "platform/platform.h"
#include "support/fake_error_info.h"

namespace skiff {
namespace {

using testing::FakeErrorInfo;

const IID kSomeIid = {0xC716830E, 0xA0F4, 0x46DF, {0xB8, 0x2A, 0x54, 0x8C, 0xFB, 0x08, 0x75, 0x5E}};
const IID kOtherIid = {0xC716830F, 0xA0F4, 0x46DF, {0xB8, 0x2A, 0x54, 0x8C, 0xFB, 0x08, 0x75, 0x5E}};

// A device-manager object that may support error information for one interface.
class FakeObject : public ISupportErrorInfo {
 public:
  FakeObject(bool supportsErrorInfo, const IID& iidWithInfo)
      : m_supports(supportsErrorInfo), m_iidWithInfo(iidWithInfo) {}
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;
  virtual ~FakeObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (m_supports && iid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    ++asked;
    return iid == m_iidWithInfo ? S_OK : S_FALSE;
  }
  IUnknown* Unknown() { return static_cast<IUnknown*>(this); }

  int refs = 1;
  int asked = 0;

 private:
  bool m_supports;
  IID m_iidWithInfo;
};

// The system's wording for a code without its line end: each system words its texts
// differently, so the expected message is read from the system's table.
std::string SystemText(HRESULT code) {
  std::string text;
  EXPECT_TRUE(SystemMessageText(code, text)) << std::hex << code;
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
    text.resize(text.size() - 2);
  } else if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  EXPECT_FALSE(text.empty());
  return text;
}

// Leaves an error object for the calling thread, as a failing call would.
void LeaveErrorInfo(std::atomic<int>& alive, std::u16string description) {
  auto* info = new FakeErrorInfo(alive, std::move(description));
  SetErrorInfo(0, info);
  info->Release();
}

// The thread's error object, if one is still waiting (and released).
bool ErrorInfoWaiting() {
  IErrorInfo* info = nullptr;
  const bool waiting = GetErrorInfo(0, &info) == S_OK;
  if (info != nullptr) info->Release();
  return waiting;
}

TEST(ComErrorMessage, SystemTextLosesItsLineEnd) {
  ComError failed(E_FAIL, nullptr);
  EXPECT_EQ(failed.Message(), SystemText(E_FAIL));
  EXPECT_EQ(&failed.Message(), &failed.Message());  // made once, kept
  EXPECT_EQ(ComErrorLine(failed), SystemText(E_FAIL) + " ");
  for (const HRESULT code : {E_INVALIDARG, E_OUTOFMEMORY, E_ACCESSDENIED, E_HANDLE}) {
    const std::string message = ComError(code, nullptr).Message();
    EXPECT_EQ(message, SystemText(code));
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.back(), '\n');
    EXPECT_NE(message.back(), '\r');
  }
}

TEST(ComErrorMessage, FallbacksForCodesWithoutSystemText) {
  EXPECT_EQ(ComError(MakeHresult(0x8004F000u), nullptr).Message(), "IDispatch error #60928");
  EXPECT_EQ(ComError(MakeHresult(0x8004FFFFu), nullptr).Message(), "IDispatch error #65023");
  // The base itself has no dispatch number and is an unknown error.
  EXPECT_EQ(ComError(MakeHresult(0x80040200u), nullptr).Message(), "Unknown error 0x80040200");
  EXPECT_EQ(ComError(MakeHresult(0x8005F123u), nullptr).Message(), "Unknown error 0x8005F123");
  EXPECT_EQ(ComError(MakeHresult(0x00ABCDEFu), nullptr).Message(), "Unknown error 0xABCDEF");
  EXPECT_EQ(ComErrorLine(ComError(MakeHresult(0x8004F000u), nullptr)), "IDispatch error #60928 ");
}

TEST(ComErrorMessage, LineEndTrimming) {
  EXPECT_EQ(WithoutLineEnd("Type mismatch.\r\n"), "Type mismatch.");
  EXPECT_EQ(WithoutLineEnd("ends in LF\n"), "ends in LF");
  EXPECT_EQ(WithoutLineEnd("two\n\n"), "two\n");  // only one line end goes
  EXPECT_EQ(WithoutLineEnd("CR alone\r"), "CR alone\r");
  EXPECT_EQ(WithoutLineEnd("\r\n"), "");
  EXPECT_EQ(WithoutLineEnd("\n"), "\n");  // a one-character text is left as it is
  EXPECT_EQ(WithoutLineEnd(""), "");
}

TEST(ComErrorLineTest, DescriptionFollowsTheMessage) {
  std::atomic<int> alive{0};
  auto* info = new FakeErrorInfo(alive, u"Device is locked");
  {
    ComError error(E_FAIL, info);
    info->Release();  // the error keeps its own reference
    EXPECT_EQ(alive.load(), 1);
    EXPECT_EQ(error.Description(), "Device is locked");
    EXPECT_EQ(ComErrorLine(error), SystemText(E_FAIL) + " Device is locked");

    info->failDescription = true;
    EXPECT_EQ(error.Description(), "");
    EXPECT_EQ(ComErrorLine(error), SystemText(E_FAIL) + " ");

    info->failDescription = false;
    info->throwOutOfMemory = true;
    EXPECT_EQ(ComErrorLine(error), SystemText(E_FAIL) + " ");  // written without it
  }
  EXPECT_EQ(alive.load(), 0);

  // A description with an embedded NUL ends there, as the C text it is.
  auto* withNul = new FakeErrorInfo(alive, std::u16string(u"cut\0here", 8));
  ComError error(E_INVALIDARG, withNul);
  withNul->Release();
  EXPECT_EQ(ComErrorLine(error), SystemText(E_INVALIDARG) + " cut");
}

TEST(ComErrorCopy, CopiesShareTheErrorInfoAndReleaseItOnce) {
  std::atomic<int> alive{0};
  auto* info = new FakeErrorInfo(alive, u"first");
  auto* other = new FakeErrorInfo(alive, u"second");
  {
    ComError a(E_FAIL, info);
    ComError b(E_INVALIDARG, other);
    other->Release();        // b holds the last reference
    const ComError copy(a);  // NOLINT(performance-unnecessary-copy-initialization): the copy is the test
    EXPECT_TRUE(copy.ErrorInfo() == info);
    EXPECT_EQ(copy.Code(), E_FAIL);
    b = a;  // the second error object loses its last reference here
    EXPECT_EQ(alive.load(), 1);
    EXPECT_EQ(b.Code(), E_FAIL);
    EXPECT_EQ(ComErrorLine(b), SystemText(E_FAIL) + " first");
    const ComError& self = b;
    b = self;
    EXPECT_EQ(ComErrorLine(b), SystemText(E_FAIL) + " first");
    info->Release();  // a, copy and b still hold it
    EXPECT_EQ(alive.load(), 1);
  }
  EXPECT_EQ(alive.load(), 0);
}

TEST(ThrowIfFailed, SuccessCodesDoNotRaise) {
  FakeObject object(true, kSomeIid);
  EXPECT_NO_THROW(ThrowIfFailed(S_OK, object.Unknown(), kSomeIid));
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE, object.Unknown(), kSomeIid));
  EXPECT_EQ(object.asked, 0);
}

TEST(ThrowIfFailed, TakesTheErrorInfoOnlyWhenTheObjectSupportsItForTheInterface) {
  std::atomic<int> alive{0};
  FakeObject supporting(true, kSomeIid);
  LeaveErrorInfo(alive, u"The channel is closed");
  try {
    ThrowIfFailed(E_FAIL, supporting.Unknown(), kSomeIid);
    FAIL() << "no ComError";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_FAIL);
    ASSERT_NE(error.ErrorInfo(), nullptr);
    EXPECT_EQ(ComErrorLine(error), SystemText(E_FAIL) + " The channel is closed");
  }
  EXPECT_EQ(alive.load(), 0);        // no reference leaked
  EXPECT_EQ(supporting.refs, 1);     // the support interface was released
  EXPECT_FALSE(ErrorInfoWaiting());  // the thread's error object was taken

  // Another interface of the same object: no error info, and the thread's object stays.
  LeaveErrorInfo(alive, u"unrelated");
  try {
    ThrowIfFailed(E_INVALIDARG, supporting.Unknown(), kOtherIid);
    FAIL() << "no ComError";
  } catch (const ComError& error) {
    EXPECT_EQ(error.ErrorInfo(), nullptr);
    EXPECT_EQ(ComErrorLine(error), SystemText(E_INVALIDARG) + " ");
  }
  EXPECT_EQ(supporting.asked, 2);
  EXPECT_TRUE(ErrorInfoWaiting());

  // An object without ISupportErrorInfo, and no object at all.
  FakeObject plain(false, kSomeIid);
  LeaveErrorInfo(alive, u"unrelated");
  EXPECT_THROW(
      {
        try {
          ThrowIfFailed(E_FAIL, plain.Unknown(), kSomeIid);
        } catch (const ComError& error) {
          EXPECT_EQ(error.ErrorInfo(), nullptr);
          throw;
        }
      },
      ComError);
  EXPECT_EQ(plain.asked, 0);
  EXPECT_TRUE(ErrorInfoWaiting());
  EXPECT_THROW(ThrowIfFailed(E_FAIL, nullptr, kSomeIid), ComError);
  EXPECT_EQ(alive.load(), 0);
}

TEST(ThrowIfFailed, SupportedButNoErrorObjectGivesNone) {
  FakeObject supporting(true, kSomeIid);
  try {
    ThrowIfFailed(E_ACCESSDENIED, supporting.Unknown(), kSomeIid);
    FAIL() << "no ComError";
  } catch (const ComError& error) {
    EXPECT_EQ(error.ErrorInfo(), nullptr);
    EXPECT_EQ(ComErrorLine(error), SystemText(E_ACCESSDENIED) + " ");
  }
}

TEST(ThrowIfNull, NullReferenceIsAnInvalidPointer) {
  int something = 0;
  EXPECT_NO_THROW(ThrowIfNull(&something));
  try {
    ThrowIfNull(nullptr);
    FAIL() << "no ComError";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_POINTER);
    EXPECT_EQ(error.ErrorInfo(), nullptr);
    EXPECT_FALSE(error.Message().empty());
    EXPECT_EQ(ComErrorLine(error), error.Message() + " ");
  }
}

}  // namespace
}  // namespace skiff
