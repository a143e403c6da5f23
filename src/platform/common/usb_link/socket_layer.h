// The USB link's socket layer, written once over the calls POSIX sockets and Winsock
// share (socket, bind, listen, accept, connect, poll). What differs between them lives
// in the small functions below, implemented by each platform's socket_calls.cpp beside
// its socket_system.h.
#pragma once

// First: Winsock's headers must come before any header that brings in windows.h.
#include "socket_system.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/usb_sockets.h"

namespace skiff::usblink {

// Starts the socket library where one must be started (Winsock, once per process).
bool SocketsStarted(std::string* reason);
// A new socket of this family that a child process does not inherit.
NativeSocket NewSocket(int family, int type, int protocol);
void CloseSocket(NativeSocket socket);
// The error of the last socket call on this thread.
int LastSocketError();
// "what: the system's text (error N)" for the log.
std::string SocketErrorText(const std::string& what, int error);
// The error says another socket holds the address.
bool IsAddressInUse(int error);
// Sets what a TCP listener needs before bind: on POSIX a port left in TIME_WAIT is
// taken again; on Windows nobody else may bind the port while we listen.
void PrepareListeningSocket(NativeSocket socket);
// Accepts one waiting connection and limits its sends to sendMs; kInvalidSocket when
// none was waiting.
NativeSocket AcceptSocket(NativeSocket listening, unsigned sendMs);

// The stream's calls. What has arrived without waiting: bytes, 0 for nothing, -1 at the
// end.
std::ptrdiff_t ReceiveSome(NativeSocket socket, std::uint8_t* into, std::size_t capacity);
// Sends the parts gathered in one call; 0 with the bytes sent, or the error.
int SendSome(NativeSocket socket, const IUsbStream::Part* parts, std::size_t count, std::size_t* sent);
// The error is an interrupted call that is simply made again.
bool IsInterrupted(int error);
// The error is the send time limit.
bool IsSendTimeout(int error);
void ShutdownSocket(NativeSocket socket);

// The poller's wake-up: a handle that polls readable once signalled (an eventfd on
// POSIX, a datagram socket connected to itself on Windows).
NativeSocket OpenWaker(std::string* error);
void CloseWaker(NativeSocket waker);
void SignalWaker(NativeSocket waker);
void DrainWaker(NativeSocket waker);
// Waits for the entries; true also when the wait was interrupted (nothing is readable
// then). False with the reason when waiting failed.
bool PollSockets(PollEntry* entries, std::size_t count, int timeoutMs, std::string* reason);

// A connected socket as the USB link's byte stream; owns it and closes it when destroyed.
std::unique_ptr<IUsbStream> MakeSocketStream(NativeSocket socket);

}  // namespace skiff::usblink
