// The real skiffhouse.exe under Wine, driven through window messages as a user's clicks
// arrive: the tray icon, "Hide", "Exit", the check box, About, the ways out, a second
// start; the registry of the test's prefix is read afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include "window_driver.h"

namespace skiff::test {
namespace {

constexpr int kHide = 1000;
constexpr int kLog = 1001;
constexpr int kRunOnStartup = 1005;
constexpr UINT kTrayNotify = WM_USER + 2;
constexpr WPARAM kTrayId = 132;
constexpr char kTitle[] = "SkiffHouse Desktop Downloader v1.3";
// Every way out ends the process this soon.
constexpr DWORD kExitMs = 2000;

bool Visible(HWND window) {
  return IsWindowVisible(window) != FALSE;
}

bool Checked(HWND dialog, int id) {
  return SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void DoubleClickTray(HWND main) {
  SendMessageA(main, kTrayNotify, kTrayId, WM_LBUTTONDBLCLK);
}

class Win32Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    EnterTestDesktop();
    EndStrayInstances();
    ForgetSettings();
  }
  void TearDown() override { EndStrayInstances(); }
};

TEST_F(Win32Shell, FirstStartTrayHideAboutCheckBoxAndExit) {
  // Attempts to reach the device manager come quickly and each logs its failure.
  RunningProgram program("SKIFFHOUSE_TEST_RETRY_MS=100");
  const HWND main = program.MainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(GetClassLongPtrA(main, GCL_STYLE), 0x2808);
  // Hidden at its first paint; only the tray icon is left.
  ASSERT_TRUE(WaitUntil([&] { return !Visible(main); }));
  EXPECT_TRUE(WaitUntil([&] { return TrayIconShown(main); }));
  EXPECT_EQ(Text(main), kTitle);
  EXPECT_EQ(ControlText(main, kHide), "Hide");
  EXPECT_EQ(ControlText(main, IDOK), "Exit");
  EXPECT_EQ(ControlText(main, kRunOnStartup), "Run On Startup");

  // The first start registered the program, quoted, and marked itself started.
  EXPECT_EQ(Setting("General", "Version"), "1.3");
  EXPECT_EQ(RunValue(), "\"" + ProgramWindowsPath() + "\"");
  EXPECT_TRUE(Checked(main, kRunOnStartup));

  // Single clicks and the right button do nothing; a double click shows the window.
  for (const LPARAM mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP, WM_MOUSEMOVE})
    SendMessageA(main, kTrayNotify, kTrayId, mouse);
  EXPECT_FALSE(Visible(main));
  SendMessageA(main, kTrayNotify, kTrayId + 1, WM_LBUTTONDBLCLK);
  EXPECT_FALSE(Visible(main));
  DoubleClickTray(main);
  EXPECT_TRUE(Visible(main));
  EXPECT_EQ(GetForegroundWindow(), main);

  // The log: whole "\r\n" lines, more than the box shows, the newest in view.
  const HWND log = GetDlgItem(main, kLog);
  ASSERT_TRUE(WaitUntil([&] { return SendMessageA(log, EM_GETLINECOUNT, 0, 0) > 60; }));
  // New lines keep coming: the position is read between two equal readings of the text.
  std::string text;
  short lastLineTop = -1;
  RECT box;
  GetClientRect(log, &box);
  ASSERT_TRUE(WaitUntil([&] {
    text = Text(log);
    lastLineTop = static_cast<short>(HIWORD(SendMessageA(log, EM_POSFROMCHAR, text.size() - 3, 0)));
    return Text(log) == text;
  }));
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_GT(SendMessageA(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  EXPECT_GE(lastLineTop, 0);
  EXPECT_LT(lastLineTop, box.bottom);

  // A restarted taskbar has forgotten the icon: its broadcast brings it back.
  RemoveTrayIcon(main);
  ASSERT_FALSE(TrayIconShown(main));
  SendMessageA(main, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_TRUE(TrayIconShown(main));

  // "Hide" hides the window and keeps the icon.
  Click(main, kHide);
  ASSERT_TRUE(WaitUntil([&] { return !Visible(main); }));
  EXPECT_TRUE(TrayIconShown(main));
  DoubleClickTray(main);

  // About from the system menu's command.
  PostMessageA(main, WM_SYSCOMMAND, 0x0010, 0);
  const HWND about = program.Dialog("About SkiffhouseDesktop");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(DialogTexts(about), (std::vector<std::string>{"SkiffhouseDesktop Version 1.3",
                                                          "Copyright (C) SkiffHouse Software", "OK"}));
  Click(about, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));

  // The check box removes and restores the registration.
  Click(main, kRunOnStartup);
  ASSERT_TRUE(WaitUntil([&] { return !Checked(main, kRunOnStartup); }));
  EXPECT_TRUE(WaitUntil([] { return RunValue().empty(); }));
  Click(main, kRunOnStartup);
  ASSERT_TRUE(WaitUntil([&] { return Checked(main, kRunOnStartup); }));
  EXPECT_EQ(RunValue(), "\"" + ProgramWindowsPath() + "\"");

  Click(main, IDOK);
  EXPECT_EQ(program.WaitForExit(kExitMs), 0);
  EXPECT_FALSE(TrayIconShown(main));
}

TEST_F(Win32Shell, EscapeCloseBoxAndAltF4EndTheProgram) {
  struct WayOut {
    const char* name;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  // As the keys and the close box arrive: Escape at the focused control, Alt+F4 as a
  // system key, the close box as its system command.
  for (const WayOut& way : {WayOut{"Escape", WM_KEYDOWN, VK_ESCAPE, 0x00010001},
                            WayOut{"Alt+F4", WM_SYSKEYDOWN, VK_F4, 0x203E0001},
                            WayOut{"close box", WM_SYSCOMMAND, SC_CLOSE, 0}}) {
    SCOPED_TRACE(way.name);
    RunningProgram program;
    const HWND main = program.MainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !Visible(main); }));
    DoubleClickTray(main);
    ASSERT_TRUE(TrayIconShown(main));
    const HWND target = way.message == WM_KEYDOWN ? GetDlgItem(main, kHide) : main;
    PostMessageA(target, way.message, way.wParam, way.lParam);
    EXPECT_EQ(program.WaitForExit(kExitMs), 0);
    EXPECT_FALSE(TrayIconShown(main));
  }
}

TEST_F(Win32Shell, SecondStartShowsTheRunningWindowAndWritesNothing) {
  RunningProgram first;
  const HWND main = first.MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return !Visible(main); }));
  // A second start that wrote anything would register the program again here.
  SetSetting("General", "Version", "0.0");
  DeleteRunValue();

  RunningProgram second;
  EXPECT_EQ(second.WaitForExit(10000), 0);
  EXPECT_TRUE(Visible(main));
  // It stays shown: its next paint no longer hides it.
  RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  SendMessageA(main, WM_NULL, 0, 0);
  EXPECT_TRUE(Visible(main));
  EXPECT_EQ(Setting("General", "Version"), "0.0");
  EXPECT_EQ(RunValue(), "");

  Click(main, IDOK);
  EXPECT_EQ(first.WaitForExit(kExitMs), 0);
}

}  // namespace
}  // namespace skiff::test
