// The system's message texts for the codes this program meets, as the Windows message
// table words them (line end included), so that log lines read the same on every system.
#include <cstdint>
#include <iterator>

#include "platform/platform.h"

namespace skiff {

namespace {

struct MessageText {
  std::uint32_t code;
  const char* text;
};

// Win32 error numbers; their HRESULT forms (0x8007xxxx) have the same texts.
constexpr MessageText kWin32Texts[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
};

// COM and OLE Automation codes.
constexpr MessageText kComTexts[] = {
    {0x80004001u, "Not implemented\r\n"},
    {0x80004002u, "No such interface supported\r\n"},
    {0x80004003u, "Invalid pointer\r\n"},
    {0x80004004u, "Operation aborted\r\n"},
    {0x80004005u, "Unspecified error\r\n"},
    {0x8000FFFFu, "Catastrophic failure\r\n"},
    {0x80010108u, "The object invoked has disconnected from its clients.\r\n"},
    {0x80020005u, "Type mismatch.\r\n"},
    {0x80020008u, "Bad variable type.\r\n"},
    {0x8002000Au, "Out of present range.\r\n"},
    {0x80040154u, "Class not registered\r\n"},
    {0x800401F0u, "CoInitialize has not been called.\r\n"},
};

constexpr std::uint32_t kWin32Facility = 0x80070000u;

const char* Find(const MessageText* table, std::size_t size, std::uint32_t code) {
  for (std::size_t i = 0; i < size; ++i) {
    if (table[i].code == code) return table[i].text;
  }
  return nullptr;
}

}  // namespace

bool SystemMessageText(HRESULT code, std::string& text) {
  const auto value = static_cast<std::uint32_t>(code);
  const char* found = Find(kComTexts, std::size(kComTexts), value);
  if (found == nullptr && (value & 0xFFFF0000u) == kWin32Facility && (value & 0xFFFFu) != 0) {
    found = Find(kWin32Texts, std::size(kWin32Texts), value & 0xFFFFu);
  } else if (found == nullptr && value <= 0xFFFFu) {
    found = Find(kWin32Texts, std::size(kWin32Texts), value);
  }
  if (found == nullptr) return false;
  text = found;
  return true;
}

}  // namespace skiff
