// The USB link's sockets as the device manager and the simulated handheld see them: a
// handheld's byte stream, the listener that accepts handhelds, the poller that waits on
// both, and TCP on 127.0.0.1. One of the OS hooks that platform.h indexes; implemented by
// the socket layer in platform/common/usb_link over each platform's socket calls
// (platform/posix/usb_link, platform/win32/usb_link); the Unix socket is POSIX only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace skiff::usblink {

// A socket as the platform names it (a descriptor, or a Winsock SOCKET).
using SocketHandle = std::uintptr_t;

// One handheld's connection as a stream of bytes.
class IUsbStream {
 public:
  virtual ~IUsbStream() = default;
  virtual SocketHandle Handle() const = 0;
  // What has arrived, without waiting: the byte count, 0 when nothing is waiting, -1
  // once the stream has ended (the peer went away, or Shutdown was called).
  virtual std::ptrdiff_t Receive(std::uint8_t* into, std::size_t capacity) = 0;
  struct Part {
    const void* data;
    std::size_t size;
  };
  // Sends every byte of the parts, gathered in one call where the socket takes them at
  // once. False with the reason when the peer is gone or took nothing for the send
  // time limit; a send that stopped part way leaves the stream unusable.
  virtual bool Send(const Part* parts, std::size_t count, std::string* reason) = 0;
  // Ends both directions from any thread; the reading side then sees the end.
  virtual void Shutdown() = 0;
};

// Where handhelds connect, while it listens.
class IUsbListener {
 public:
  virtual ~IUsbListener() = default;
  virtual SocketHandle Handle() const = 0;
  // The next waiting handheld, its sends limited to sendMs each. Null when none was
  // waiting, or when it was refused; a refusal is said in *refusal for the log.
  virtual std::unique_ptr<IUsbStream> Accept(unsigned sendMs, std::string* refusal) = 0;
  // The address for the log, such as the socket's path or "127.0.0.1:47147".
  virtual std::string Name() const = 0;
};

enum class ListenStatus { Listening, AlreadyServed, Failed };

// How a device manager gets its listener; one listens at a time.
class IUsbEndpoint {
 public:
  virtual ~IUsbEndpoint() = default;
  // AlreadyServed when another listener holds the address; Failed with the reason for
  // every other failure.
  virtual ListenStatus Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) = 0;
};

// TCP on 127.0.0.1 only, never another interface: any program of this machine's users
// may connect, none from elsewhere. Port 0 takes a free port (tests).
std::unique_ptr<IUsbEndpoint> TcpLoopbackEndpoint(std::uint16_t port);
// The port a TCP listener is bound to (0 for any other listener).
std::uint16_t BoundTcpPort(const IUsbListener& listener);
// Connects to 127.0.0.1:port as a handheld; null with the reason on failure.
std::unique_ptr<IUsbStream> ConnectToTcpLoopback(std::uint16_t port, std::string* reason);

// Waits until one of a set of sockets has something to read, or until Wake() is called
// from another thread (or a signal handler: it is async-signal-safe on POSIX).
class CSocketPoller {
 public:
  CSocketPoller();
  ~CSocketPoller();
  CSocketPoller(const CSocketPoller&) = delete;
  CSocketPoller& operator=(const CSocketPoller&) = delete;

  // False (with Error()) when the poller could not be made.
  bool Usable() const;
  const std::string& Error() const;

  // Starts a new set. Sockets are numbered in the order they are added, from 0. The
  // set's storage is kept, so a set of the same size does not allocate again.
  void Clear();
  void Add(SocketHandle socket);
  // Waits up to timeoutMs (-1: no limit). False with the reason when waiting failed.
  bool Wait(int timeoutMs, std::string* reason);
  bool Readable(std::size_t index) const;
  // Wakes a Wait now or the next one; the wake is used up by that Wait.
  void Wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace skiff::usblink
