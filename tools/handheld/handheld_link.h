// The simulated handheld's two layers on one connection: the device side of the USB
// link (ATTACH, answering OPEN, the password lock) and the application side of the
// packet protocol (requests with resends, replies matched by sequence).
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "usb_link/usb_frame.h"
#include "usb_link/usb_stream.h"

namespace skiff::handheld {

struct HandheldConfig {
  std::string socketPath;     // the Unix socket (POSIX; empty: the default), unless TCP
  std::uint16_t tcpPort = 0;  // 127.0.0.1:tcpPort when not 0
  std::vector<usblink::DeviceProperty> properties;
  std::optional<std::string> password;    // locked when set
  std::string channel = "SkiffhouseUSB";  // the application channel served
  unsigned dropReply = 0;                 // throw away the Nth reply (0: none)
  unsigned replyTimeoutMs = 10000;        // a reply not here by then is asked for again
  unsigned maxTries = 6;                  // sends of one request before giving up
  int openTimeoutMs = -1;                 // waiting for the desktop to open: -1 for ever
  bool verbose = false;
};

enum class Outcome {
  Ok,
  TimedOut,       // no reply (or no open) in time
  ChannelClosed,  // the desktop closed the channel
  Detached,       // the connection ended
  Wiped,          // the last password attempt was wrong
  Cancelled,      // the desktop cancelled the password challenge
  Interrupted,    // SIGINT or SIGTERM
};

const char* OutcomeText(Outcome outcome);

// Packets are held as their bytes on the wire: 6-byte header and payload.
struct WirePacket {
  std::uint16_t type = 0;
  std::uint16_t sequence = 0;
  std::vector<std::uint8_t> payload;

  std::vector<std::uint8_t> Encode() const;
  // False when the bytes are not a whole packet (short, or length disagreeing).
  static bool Decode(const std::uint8_t* bytes, std::size_t size, WirePacket* packet);
};

// Whether the desktop answers a packet of this type (Pong and invalid types get none).
bool ExpectsReply(std::uint16_t type);

// Connects to the desktop as the configuration says: TCP when a port is given, else the
// Unix socket (POSIX only). Null with the reason on failure. One per platform.
std::unique_ptr<usblink::IUsbStream> ConnectToDesktop(const HandheldConfig& config, std::string* reason);
// What a user is told when no desktop program listens: how to start it here. One per
// platform.
const char* StartDesktopHint();

class HandheldLink {
 public:
  HandheldLink(HandheldConfig config, std::ostream& diagnostics);
  ~HandheldLink();
  HandheldLink(const HandheldLink&) = delete;
  HandheldLink& operator=(const HandheldLink&) = delete;

  // Connects and sends ATTACH.
  bool Attach(std::string* error);
  // Serves the device side until the desktop has opened the channel.
  Outcome WaitForOpen();
  // Serves until a signal, a wipe or the end of the connection.
  Outcome ServeUntilStopped();
  // Sends a request and waits for its reply: asks again with the same sequence when the
  // reply is late, ignores replies to other sequences.
  Outcome Request(const WirePacket& request, WirePacket* reply);
  // Sends a packet that gets no reply and waits waitMs for anything that comes anyway.
  Outcome SendWithoutReply(const WirePacket& packet, unsigned waitMs, std::optional<WirePacket>* stray);
  // Closes the application channel (CLOSE) and the connection.
  void Detach();

  bool IsOpen() const { return m_state == State::Open; }
  std::int32_t AttemptsLeft() const { return m_attempts; }

  // SIGINT and SIGTERM end waits with Interrupted from now on.
  static void CatchStopSignals();

 private:
  enum class State { Idle, Challenging, Open };

  bool SendFrame(usblink::FrameKind kind, const void* body, std::size_t length);
  // Reads and handles frames until a packet arrives or the deadline (ms from now, -1:
  // none) passes. Device-side frames are answered here.
  Outcome Pump(int timeoutMs, bool wantPacket);
  Outcome HandleFrame(const usblink::FrameView& frame);
  // The poller that signals wake (after CatchStopSignals), else one of this link's own.
  usblink::CSocketPoller& Poller();

  HandheldConfig m_config;
  std::ostream& m_diagnostics;
  std::unique_ptr<usblink::IUsbStream> m_stream;
  std::unique_ptr<usblink::CSocketPoller> m_ownPoller;
  usblink::FrameReader m_reader{usblink::Direction::ToHandheld};
  State m_state = State::Idle;
  std::int32_t m_attempts = usblink::kMaxAttempts;  // for the life of the process
  std::deque<std::vector<std::uint8_t>> m_packets;  // from the desktop, not yet taken
  unsigned m_repliesSeen = 0;
  bool m_closedByDesktop = false;
};

}  // namespace skiff::handheld
