// The password prompt on the worker's real path: a simulated handheld locked with a
// password attaches over TCP to the stand-in device manager inside skiffhouse.exe, whose
// challenge reaches the window's prompt; the driver answers as a user would type.
// Winsock before windows.h, which otherwise brings the old socket header.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <sstream>

#include "handheld_link.h"
#include "window_driver.h"

namespace skiff::test {
namespace {

constexpr int kLog = 1001;
constexpr int kPassword = 1002;
constexpr int kPrompt = 1003;
constexpr int kRemember = 1004;
constexpr char kCaption[] = "Enter Password";

std::uint16_t FreePort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  return ntohs(address.sin_port);
}

// The stand-in registered in the prefix for the test's duration (the program creates
// its device manager by class id, from the machine's classes).
class StandInRegistration {
 public:
  StandInRegistration() : m_dll(LoadLibraryA(WindowsPath(SKIFF_STANDIN_DLL).c_str())) {
    if (m_dll) m_registered = Call("DllRegisterServer") == S_OK;
  }
  ~StandInRegistration() {
    if (m_registered) Call("DllUnregisterServer");
    if (m_dll) FreeLibrary(m_dll);
  }
  bool Registered() const { return m_registered; }

 private:
  HRESULT Call(const char* name) {
    const auto function =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(m_dll, name)));
    return function ? function() : E_FAIL;
  }
  HMODULE m_dll;
  bool m_registered = false;
};

// One handheld attach: served on a thread of its own until the desktop has opened the
// channel (or refused it).
class LockedHandheld {
 public:
  LockedHandheld(std::uint16_t port, std::uint32_t pin) {
    handheld::HandheldConfig config;
    config.tcpPort = port;
    config.password = "secret";
    // The open ends by itself, so that a failed test does not wait for ever.
    config.openTimeoutMs = 20000;
    config.properties.push_back(
        usblink::DeviceProperty::MakeInteger("BBPIN", static_cast<std::int32_t>(pin)));
    m_link = std::make_unique<handheld::HandheldLink>(config, m_diagnostics);
    std::string error;
    // The program's device manager starts listening when the watcher has created it.
    m_attached = WaitUntil([&] { return m_link->Attach(&error); });
    if (m_attached) m_open = std::async(std::launch::async, [this] { return m_link->WaitForOpen(); });
  }
  ~LockedHandheld() {
    if (m_open.valid()) m_open.wait();
    m_link->Detach();
  }
  bool Attached() const { return m_attached; }
  // How the open ended.
  handheld::Outcome Opened() { return m_open.valid() ? m_open.get() : handheld::Outcome::TimedOut; }

 private:
  std::ostringstream m_diagnostics;
  std::unique_ptr<handheld::HandheldLink> m_link;
  bool m_attached = false;
  std::future<handheld::Outcome> m_open;
};

std::string PromptFor(const char* pin, int attempts) {
  return std::string("Please enter password for handheld PIN ") + pin + ".\r\nYou have " +
         std::to_string(attempts) +
         " attempts remaining.\r\nNote that device will be wiped if all attempts are used.";
}

// After a cancel the program leaves the handheld alone until a device pass has found
// it gone: the log's newest line says so.
bool PassSawNoDevice(HWND main) {
  return WaitUntil([&] {
    const std::string log = ControlText(main, kLog);
    return log.ends_with("Device count is 0\r\n");
  });
}

// Keys as they arrive at the focused password box: each character, then Enter.
void TypeAndPressEnter(HWND prompt, const std::string& text) {
  const HWND box = GetDlgItem(prompt, kPassword);
  for (const char c : text) PostMessageA(box, WM_CHAR, static_cast<unsigned char>(c), 1);
  PostMessageA(box, WM_KEYDOWN, VK_RETURN, 0x001C0001);
}

class PasswordPrompt : public ::testing::Test {
 protected:
  void SetUp() override {
    EnterTestDesktop();
    EndStrayInstances();
    ForgetSettings();
  }
  void TearDown() override { EndStrayInstances(); }
};

TEST_F(PasswordPrompt, CancelWrongRightRememberedAndEndingWhileOpen) {
  StandInRegistration standIn;
  ASSERT_TRUE(standIn.Registered());
  const std::uint16_t port = FreePort();
  RunningProgram program("SKIFFHOUSE_USB_PORT=" + std::to_string(port) +
                         ";SKIFFHOUSE_TEST_WATCH_MS=100;SKIFFHOUSE_TEST_RETRY_MS=100");
  const HWND main = program.MainWindow();
  ASSERT_NE(main, nullptr);

  {
    // Cancel, with the box ticked first: the open fails, nothing is remembered.
    LockedHandheld handheld(port, 0x2a0f);
    ASSERT_TRUE(handheld.Attached());
    const HWND prompt = program.Dialog(kCaption);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(ControlText(prompt, kPrompt), PromptFor("2a0f", 10));
    const LONG_PTR style = GetWindowLongPtrA(prompt, GWL_STYLE);
    EXPECT_EQ(style & WS_SYSMENU, 0);
    EXPECT_NE(GetWindowLongPtrA(prompt, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);  // stays on top
    EXPECT_NE(GetWindowLongPtrA(GetDlgItem(prompt, kPassword), GWL_STYLE) & ES_PASSWORD, 0);
    EXPECT_EQ(ControlText(prompt, kRemember), "Remember (insecure)");
    Click(prompt, kRemember);
    ASSERT_TRUE(
        WaitUntil([&] { return SendDlgItemMessageA(prompt, kRemember, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
    Click(prompt, IDCANCEL);
    EXPECT_EQ(handheld.Opened(), handheld::Outcome::Cancelled);
    EXPECT_EQ(Setting("Saved passwords", "2a0f"), "");
  }
  ASSERT_TRUE(PassSawNoDevice(main));
  {
    // A wrong password costs an attempt; the right one, remembered, opens the channel.
    LockedHandheld handheld(port, 0x2a0f);
    ASSERT_TRUE(handheld.Attached());
    HWND prompt = program.Dialog(kCaption);
    ASSERT_NE(prompt, nullptr);
    TypeAndPressEnter(prompt, "wrong");
    ASSERT_TRUE(WaitUntil([&] {
      prompt = program.Dialog(kCaption, 100);
      return prompt && ControlText(prompt, kPrompt) == PromptFor("2a0f", 9);
    }));
    Click(prompt, kRemember);
    ASSERT_TRUE(
        WaitUntil([&] { return SendDlgItemMessageA(prompt, kRemember, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
    TypeAndPressEnter(prompt, "secret");
    EXPECT_EQ(handheld.Opened(), handheld::Outcome::Ok);
    EXPECT_TRUE(WaitUntil([] { return Setting("Saved passwords", "2a0f") == "secret"; }));
  }
  {
    // The remembered password answers by itself: no prompt.
    LockedHandheld handheld(port, 0x2a0f);
    ASSERT_TRUE(handheld.Attached());
    EXPECT_EQ(handheld.Opened(), handheld::Outcome::Ok);
  }
  {
    // Ending the program while the prompt is open ends the prompt as a cancel.
    LockedHandheld handheld(port, 0xffffffff);
    ASSERT_TRUE(handheld.Attached());
    const HWND prompt = program.Dialog(kCaption);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(ControlText(prompt, kPrompt), PromptFor("ffffffff", 10));
    PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitForExit(2000), 0);
    const handheld::Outcome outcome = handheld.Opened();
    EXPECT_TRUE(outcome == handheld::Outcome::Cancelled || outcome == handheld::Outcome::Detached)
        << handheld::OutcomeText(outcome);
    EXPECT_EQ(Setting("Saved passwords", "ffffffff"), "");
  }
}

}  // namespace
}  // namespace skiff::test
