// Ends the process a bounded time after the main window has ended.
#include "platform/win32/app/exit_deadline.h"

namespace skiff {

namespace {

DWORD WINAPI EndProcessAfter(void* parameter) {
  Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter)));
  TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}

}  // namespace

void ArmExitDeadline(DWORD deadlineMs) {
  void* const parameter = reinterpret_cast<void*>(static_cast<ULONG_PTR>(deadlineMs));
  if (const HANDLE thread = CreateThread(nullptr, 0, EndProcessAfter, parameter, 0, nullptr))
    CloseHandle(thread);
}

}  // namespace skiff
