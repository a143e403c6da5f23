// The USB link's Unix socket: where it lives, listening with a stale socket replaced and
// a live one left alone, connecting as a handheld, and sending one frame per call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "usb_link/usb_frame.h"

namespace skiff {

// $SKIFFHOUSE_USB_SOCKET, else $XDG_RUNTIME_DIR/skiffhouse/usb.sock, else
// /tmp/skiffhouse-<uid>/usb.sock.
std::string DefaultUsbSocketPath();

namespace usblink {

enum class ListenStatus { Listening, AlreadyServed, Failed };

// A socket that this process created and bound; Remove() unlinks the path only while it
// still names this very socket, so a newer listener's socket is never taken away.
struct ListeningSocket {
  int fd = -1;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;

  void Remove();  // closes and unlinks
};

// Creates the socket's folder (mode 0700) when it is missing, replaces a stale socket,
// binds with mode 0600 and listens. AlreadyServed when another listener answers on the
// path; Failed with the reason for every other failure.
ListenStatus ListenOnUsbSocket(const std::string& path, ListeningSocket* socket, std::string* reason);

// Connects to the socket as a handheld; -1 with the reason on failure.
int ConnectToUsbSocket(const std::string& path, std::string* reason);

// Sends one whole frame with one sendmsg where the socket takes it at once (header and
// body gathered). False with the errno-based reason when the peer is gone or the send
// timed out; a frame sent in part leaves the stream unusable, so the caller must end it.
bool SendFrame(int fd, FrameKind kind, const void* body, std::size_t length, std::string* reason);

}  // namespace usblink
}  // namespace skiff
