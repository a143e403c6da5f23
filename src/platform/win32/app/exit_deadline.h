// The program's last word on exit: once the main window has ended, the process ends
// within a bounded time even when the watcher thread cannot be woken.
#pragma once

#include <windows.h>

namespace skiff {

// How long the orderly stop may take after the window has ended. The stop wakes every
// wait it owns; what it cannot cut short is a synchronous WinHTTP call on a stalled
// server, which Wine keeps waiting after the request handle is closed.
constexpr DWORD kExitDeadlineMs = 1500;

// Starts the count: unless the process has ended by then, it is ended after
// deadlineMs with exit code 0. Nothing is left to save at that point: settings are
// written as they change and the log lives in memory.
void ArmExitDeadline(DWORD deadlineMs = kExitDeadlineMs);

}  // namespace skiff
