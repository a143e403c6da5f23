// The USB link's byte stream and listener over POSIX socket descriptors, shared by the
// Unix socket and TCP.
#pragma once

#include <memory>
#include <string>

#include "usb_link/usb_stream.h"

namespace skiff::usblink {

// Owns the descriptor and closes it when destroyed.
std::unique_ptr<IUsbStream> MakeFdStream(int fd);

// Accepts one waiting connection on a listening descriptor and limits its sends to
// sendMs; -1 when none was waiting.
int AcceptFd(int listeningFd, unsigned sendMs);

}  // namespace skiff::usblink
