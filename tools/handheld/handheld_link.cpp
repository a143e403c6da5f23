// The simulated handheld's connection: device side of the USB link and the careful
// request/reply loop of its application.
#include "handheld_link.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ostream>

#include "device/sha1.h"

namespace skiff::handheld {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stopSignal = 0;
// The poller of the link that waits now; a stop signal wakes it. Set once, before the
// handlers are installed, and kept for the life of the process.
std::atomic<usblink::CSocketPoller*> g_stopPoller{nullptr};

extern "C" void OnStopSignal(int signal) {
  g_stopSignal = signal;
  // Windows puts the default handler back before it calls this one: set it again.
  std::signal(signal, OnStopSignal);
  if (usblink::CSocketPoller* poller = g_stopPoller.load()) poller->Wake();
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

const char* OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Ok:
      return "ok";
    case Outcome::TimedOut:
      return "no reply in time";
    case Outcome::ChannelClosed:
      return "the desktop closed the channel";
    case Outcome::Detached:
      return "the connection to the desktop ended";
    case Outcome::Wiped:
      return "the handheld was wiped after the last wrong password";
    case Outcome::Cancelled:
      return "the desktop cancelled the password challenge";
    case Outcome::Interrupted:
      return "interrupted";
  }
  return "unknown";
}

std::vector<std::uint8_t> WirePacket::Encode() const {
  std::vector<std::uint8_t> bytes(kPacketHeaderSize + payload.size());
  usblink::WriteLe16(bytes.data(), type);
  usblink::WriteLe16(bytes.data() + 2, sequence);
  usblink::WriteLe16(bytes.data() + 4, static_cast<std::uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(bytes.data() + kPacketHeaderSize, payload.data(), payload.size());
  return bytes;
}

bool WirePacket::Decode(const std::uint8_t* bytes, std::size_t size, WirePacket* packet) {
  if (size < kPacketHeaderSize) return false;
  const std::size_t length = usblink::ReadLe16(bytes + 4);
  if (length != size - kPacketHeaderSize) return false;
  packet->type = usblink::ReadLe16(bytes);
  packet->sequence = usblink::ReadLe16(bytes + 2);
  packet->payload.assign(bytes + kPacketHeaderSize, bytes + size);
  return true;
}

bool ExpectsReply(std::uint16_t type) {
  return type == 1 || (type >= 4 && type <= 14) || type == 16 || type == 30;
}

HandheldLink::HandheldLink(HandheldConfig config, std::ostream& diagnostics)
    : m_config(std::move(config)), m_diagnostics(diagnostics) {}

HandheldLink::~HandheldLink() = default;

void HandheldLink::CatchStopSignals() {
  // A signal that comes between the check of g_stopSignal and the wait still ends the
  // wait: the wake stays pending until the poller's next Wait.
  static usblink::CSocketPoller stopPoller;
  g_stopPoller = &stopPoller;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

usblink::CSocketPoller& HandheldLink::Poller() {
  if (usblink::CSocketPoller* shared = g_stopPoller.load()) return *shared;
  if (!m_ownPoller) m_ownPoller = std::make_unique<usblink::CSocketPoller>();
  return *m_ownPoller;
}

bool HandheldLink::Attach(std::string* error) {
  std::vector<std::uint8_t> body;
  if (!usblink::EncodeAttach(m_config.properties, &body, error)) return false;
  m_stream = ConnectToDesktop(m_config, error);
  if (!m_stream) return false;
  if (!SendFrame(usblink::FrameKind::Attach, body.data(), body.size())) {
    *error = "the desktop closed the connection at once";
    return false;
  }
  return true;
}

bool HandheldLink::SendFrame(usblink::FrameKind kind, const void* body, std::size_t length) {
  std::string reason;
  if (m_stream && usblink::SendFrame(*m_stream, kind, body, length, &reason)) return true;
  if (m_config.verbose) m_diagnostics << "handheld: " << reason << "\n";
  return false;
}

Outcome HandheldLink::HandleFrame(const usblink::FrameView& frame) {
  using usblink::FrameKind;
  switch (frame.kind) {
    case FrameKind::Open: {
      const std::string name(reinterpret_cast<const char*>(frame.body), frame.length);
      if (m_state == State::Open) {
        m_diagnostics << "handheld: the desktop opened a second channel; refusing it\n";
        const std::string text = "the channel is already open";
        return SendFrame(FrameKind::Refused, text.data(), text.size()) ? Outcome::Ok : Outcome::Detached;
      }
      if (name != m_config.channel) {
        if (m_config.verbose) m_diagnostics << "handheld: refusing channel \"" << name << "\"\n";
        const std::string text = "no application listens on channel \"" + name + "\"";
        return SendFrame(FrameKind::Refused, text.data(), text.size()) ? Outcome::Ok : Outcome::Detached;
      }
      if (m_config.password) {
        m_state = State::Challenging;
        std::uint8_t attempts[4];
        usblink::WriteLeI32(attempts, m_attempts);
        if (m_config.verbose) m_diagnostics << "handheld: locked; " << m_attempts << " attempts left\n";
        return SendFrame(FrameKind::Challenge, attempts, sizeof attempts) ? Outcome::Ok : Outcome::Detached;
      }
      m_state = State::Open;
      m_closedByDesktop = false;
      if (m_config.verbose) m_diagnostics << "handheld: channel \"" << name << "\" open\n";
      return SendFrame(FrameKind::Opened, nullptr, 0) ? Outcome::Ok : Outcome::Detached;
    }
    case FrameKind::Answer: {
      if (m_state != State::Challenging) {
        m_diagnostics << "handheld: ignoring an ANSWER to no challenge\n";
        return Outcome::Ok;
      }
      std::uint8_t expected[kSha1DigestBytes];
      Sha1Digest(m_config.password->data(), m_config.password->size(), expected, sizeof expected);
      if (std::memcmp(expected, frame.body, sizeof expected) == 0) {
        m_attempts = usblink::kMaxAttempts;
        m_state = State::Open;
        m_closedByDesktop = false;
        if (m_config.verbose) m_diagnostics << "handheld: password right; channel open\n";
        return SendFrame(FrameKind::Opened, nullptr, 0) ? Outcome::Ok : Outcome::Detached;
      }
      --m_attempts;
      if (m_attempts <= 0) {
        m_diagnostics << "handheld: wrong password on the last attempt; wiped\n";
        SendFrame(FrameKind::Wiped, nullptr, 0);
        m_stream.reset();
        m_state = State::Idle;
        return Outcome::Wiped;
      }
      m_diagnostics << "handheld: wrong password; " << m_attempts << " attempts left\n";
      std::uint8_t attempts[4];
      usblink::WriteLeI32(attempts, m_attempts);
      return SendFrame(FrameKind::Challenge, attempts, sizeof attempts) ? Outcome::Ok : Outcome::Detached;
    }
    case FrameKind::Cancel:
      if (m_state != State::Challenging) return Outcome::Ok;
      // The desktop will not try again until the handheld is attached anew.
      m_state = State::Idle;
      return Outcome::Cancelled;
    case FrameKind::DesktopData:
      // DATA that crosses our own CLOSE is dropped.
      if (m_state == State::Open) m_packets.emplace_back(frame.body, frame.body + frame.length);
      return Outcome::Ok;
    case FrameKind::DesktopClose:
      if (m_state == State::Open) {
        m_state = State::Idle;
        m_closedByDesktop = true;
        if (m_config.verbose) m_diagnostics << "handheld: the desktop closed the channel\n";
        return Outcome::ChannelClosed;
      }
      return Outcome::Ok;
    default:
      return Outcome::Ok;  // the reader lets through only the desktop's kinds
  }
}

Outcome HandheldLink::Pump(int timeoutMs, bool wantPacket) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (!m_stream) return Outcome::Detached;
    if (wantPacket && !m_packets.empty()) return Outcome::Ok;
    if (!wantPacket && m_state == State::Open) return Outcome::Ok;
    if (g_stopSignal != 0) return Outcome::Interrupted;
    // Frames already received come first.
    usblink::FrameView frame{};
    const usblink::FrameReader::Result result = m_reader.Next(frame);
    if (result == usblink::FrameReader::Result::Frame) {
      const Outcome outcome = HandleFrame(frame);
      if (outcome != Outcome::Ok) return outcome;
      continue;
    }
    if (result == usblink::FrameReader::Result::Bad) {
      m_diagnostics << "handheld: bad frame from the desktop: " << m_reader.Error() << "\n";
      return Outcome::Detached;
    }
    const int waitMs = timeoutMs < 0 ? -1 : RemainingMs(deadline);
    if (timeoutMs >= 0 && waitMs == 0) return Outcome::TimedOut;
    usblink::CSocketPoller& poller = Poller();
    poller.Clear();
    poller.Add(m_stream->Handle());
    std::string failure;
    if (!poller.Wait(waitMs, &failure)) {
      m_diagnostics << "handheld: " << failure << "\n";
      return Outcome::Detached;
    }
    if (!poller.Readable(0)) continue;  // woken, or the deadline: both are checked above
    const std::ptrdiff_t got = m_stream->Receive(m_reader.FreeSpace(), m_reader.FreeSize());
    if (got < 0) {
      m_stream.reset();
      return Outcome::Detached;
    }
    m_reader.Commit(static_cast<std::size_t>(got));
  }
}

Outcome HandheldLink::WaitForOpen() {
  if (m_state == State::Open) return Outcome::Ok;
  return Pump(m_config.openTimeoutMs, false);
}

Outcome HandheldLink::ServeUntilStopped() {
  for (;;) {
    const Outcome outcome = Pump(-1, true);
    if (outcome == Outcome::Ok) {
      // An idle handheld application reads nothing: drop what the desktop sends.
      m_packets.clear();
      continue;
    }
    if (outcome == Outcome::ChannelClosed || outcome == Outcome::Cancelled) {
      if (outcome == Outcome::Cancelled) m_diagnostics << "handheld: " << OutcomeText(outcome) << "\n";
      continue;  // wait for the next OPEN
    }
    return outcome;
  }
}

Outcome HandheldLink::Request(const WirePacket& request, WirePacket* reply) {
  const std::vector<std::uint8_t> bytes = request.Encode();
  for (unsigned attempt = 1; attempt <= m_config.maxTries; ++attempt) {
    if (m_state != State::Open) return m_closedByDesktop ? Outcome::ChannelClosed : Outcome::Detached;
    if (!SendFrame(usblink::FrameKind::Data, bytes.data(), bytes.size())) return Outcome::Detached;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_config.replyTimeoutMs);
    for (;;) {
      const Outcome outcome = Pump(RemainingMs(deadline), true);
      if (outcome == Outcome::TimedOut) break;
      if (outcome != Outcome::Ok) return outcome;
      std::vector<std::uint8_t> received = std::move(m_packets.front());
      m_packets.pop_front();
      WirePacket packet;
      if (!WirePacket::Decode(received.data(), received.size(), &packet)) {
        m_diagnostics << "handheld: ignoring a malformed packet of " << received.size() << " bytes\n";
        continue;
      }
      if (packet.sequence != request.sequence) {
        // A late answer to an earlier request (its resend was answered too).
        if (m_config.verbose)
          m_diagnostics << "handheld: ignoring a reply to sequence " << packet.sequence << "\n";
        continue;
      }
      if (++m_repliesSeen == m_config.dropReply) {
        m_diagnostics << "handheld: dropping reply " << m_repliesSeen << " (sequence " << packet.sequence
                      << ") as asked\n";
        continue;
      }
      *reply = std::move(packet);
      return Outcome::Ok;
    }
    if (attempt < m_config.maxTries) {
      m_diagnostics << "handheld: no reply to sequence " << request.sequence << " within "
                    << m_config.replyTimeoutMs << " ms; asking again\n";
    }
  }
  return Outcome::TimedOut;
}

Outcome HandheldLink::SendWithoutReply(const WirePacket& packet, unsigned waitMs,
                                       std::optional<WirePacket>* stray) {
  stray->reset();
  if (m_state != State::Open) return m_closedByDesktop ? Outcome::ChannelClosed : Outcome::Detached;
  const std::vector<std::uint8_t> bytes = packet.Encode();
  if (!SendFrame(usblink::FrameKind::Data, bytes.data(), bytes.size())) return Outcome::Detached;
  // Also gives the desktop time to take this packet before the next one comes.
  const Outcome outcome = Pump(static_cast<int>(waitMs), true);
  if (outcome == Outcome::TimedOut) return Outcome::Ok;
  if (outcome != Outcome::Ok) return outcome;
  WirePacket received;
  if (WirePacket::Decode(m_packets.front().data(), m_packets.front().size(), &received))
    *stray = std::move(received);
  m_packets.pop_front();
  return Outcome::Ok;
}

void HandheldLink::Detach() {
  if (!m_stream) return;
  if (m_state == State::Open) SendFrame(usblink::FrameKind::Close, nullptr, 0);
  m_state = State::Idle;
  m_stream.reset();
}

}  // namespace skiff::handheld
