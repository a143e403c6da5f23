// One handheld's connection: the handheld's frames in order, the channel's open
// handshake with its password challenges, the packet queue, and the end.
#include "usb_link/usb_connection.h"

#include <cstring>
#include <utility>

namespace skiff::usblink {

namespace {

using Clock = std::chrono::steady_clock;

std::string DurationText(unsigned ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
}

}  // namespace

Connection::Connection(std::uint64_t id, std::unique_ptr<IUsbStream> stream, UsbLinkTiming timing,
                       CSocketPoller* wake)
    : m_id(id), m_stream(std::move(stream)), m_timing(timing), m_wake(wake) {}

Connection::~Connection() {
  if (m_sink != nullptr) m_sink->Release();
}

std::shared_ptr<const std::vector<DeviceProperty>> Connection::Properties() const {
  std::lock_guard lock(m_mutex);
  return m_properties;
}

void Connection::RequestEnd(const std::string& reason) {
  {
    std::lock_guard lock(m_mutex);
    if (Gone()) return;
    m_endRequested = true;
    m_endAsked.store(true, std::memory_order_release);
    m_endReason = reason;
    // The I/O thread finishes the connection; the wake comes under the lock, so that it
    // cannot reach a manager that has finished the connection and gone.
    m_stream->Shutdown();
    if (m_wake != nullptr) m_wake->Wake();
  }
  m_changed.notify_all();
}

bool Connection::Send(FrameKind kind, const void* body, std::size_t length, std::string* reason) {
  {
    std::lock_guard lock(m_writeMutex);
    if (SendFrame(*m_stream, kind, body, length, reason)) return true;
  }
  // A frame sent in part leaves the stream without framing: the connection is over.
  RequestEnd(std::string("cannot send ") + FrameKindName(static_cast<std::uint8_t>(kind)) + ": " + *reason);
  return false;
}

void Connection::CallSink(Lock& lock, IDevMgrChannelSink* sink, bool close) {
  ++m_sinkCalls;
  m_sinkCaller = std::this_thread::get_id();
  lock.unlock();
  if (close) {
    sink->OnClose();
    sink->Release();
  } else {
    sink->OnDataReady();
  }
  lock.lock();
  if (--m_sinkCalls == 0) {
    m_sinkCaller = {};
    m_changed.notify_all();
  }
}

void Connection::WaitForSinkCalls(Lock& lock) {
  // A sink that releases its channel from inside a callback must not wait for itself.
  m_changed.wait(lock, [&] { return m_sinkCalls == 0 || m_sinkCaller == std::this_thread::get_id(); });
}

// ---- The I/O thread -------------------------------------------------------------------

bool Connection::ReceiveBytes() {
  if (EndAsked()) return false;
  const std::ptrdiff_t got = m_stream->Receive(m_reader.FreeSpace(), m_reader.FreeSize());
  // Nothing more: the handheld went away, or another thread ended the connection.
  if (got < 0) return false;
  m_reader.Commit(static_cast<std::size_t>(got));
  return true;
}

Connection::FrameOutcome Connection::HandleNextFrame(std::string* reason) {
  FrameView frame{};
  switch (m_reader.Next(frame)) {
    case FrameReader::Result::NeedMore:
      return FrameOutcome::NeedMore;
    case FrameReader::Result::Bad:
      *reason = m_reader.Error();
      return FrameOutcome::Bad;
    case FrameReader::Result::Frame:
      break;
  }
  Lock lock(m_mutex);
  if (m_endRequested) return FrameOutcome::Handled;  // being ended; nothing counts now
  if (!m_attached) {
    if (frame.kind != FrameKind::Attach) {
      *reason = std::string("the first frame is ") + FrameKindName(static_cast<std::uint8_t>(frame.kind)) +
                ", not ATTACH";
      return FrameOutcome::Bad;
    }
    auto properties = std::make_shared<std::vector<DeviceProperty>>();
    if (!DecodeAttach(frame.body, frame.length, properties.get(), reason)) return FrameOutcome::Bad;
    m_properties = std::move(properties);
    m_attached = true;
    return FrameOutcome::Attached;
  }
  return HandleFrame(frame, lock, reason) ? FrameOutcome::Handled : FrameOutcome::Bad;
}

bool Connection::HandleFrame(const FrameView& frame, Lock& lock, std::string* reason) {
  const char* name = FrameKindName(static_cast<std::uint8_t>(frame.kind));
  // Frames the handheld sent before it saw our CLOSE still come in, until it answers our
  // next OPEN: those are dropped, not taken for bad input.
  const bool afterOurClose = m_closedByDesktop && (m_phase == Phase::None || m_phase == Phase::Opening);
  if (frame.kind == FrameKind::Opened || frame.kind == FrameKind::Refused || frame.kind == FrameKind::Wiped ||
      frame.kind == FrameKind::Challenge) {
    m_closedByDesktop = false;
  }
  switch (frame.kind) {
    case FrameKind::Attach:
      *reason = "a second ATTACH";
      return false;
    case FrameKind::Opened:
    case FrameKind::Refused:
    case FrameKind::Wiped:
      if (m_phase != Phase::Opening) {
        *reason = std::string(name) + " without an OPEN or ANSWER waiting for it";
        return false;
      }
      if (frame.kind == FrameKind::Opened) {
        m_phase = Phase::Open;
        m_openResult = S_OK;
      } else {
        m_phase = Phase::None;
        m_openResult = frame.kind == FrameKind::Refused ? kChannelRefused : kHandheldWiped;
        m_openDetail.assign(reinterpret_cast<const char*>(frame.body), frame.length);
      }
      m_changed.notify_all();
      return true;
    case FrameKind::Challenge:
      if (m_phase != Phase::Opening) {
        *reason = "CHALLENGE without an OPEN or ANSWER waiting for it";
        return false;
      }
      m_phase = Phase::Challenged;
      m_challengePending = true;
      m_challengeAttempts = ReadLeI32(frame.body);
      m_changed.notify_all();
      return true;
    case FrameKind::Data: {
      if (m_phase != Phase::Open) {
        if (afterOurClose) return true;  // sent before the handheld saw our CLOSE
        *reason = m_phase == Phase::None || m_phase == Phase::Closed ? "DATA on a closed channel"
                                                                     : "DATA before the channel is open";
        return false;
      }
      if (m_ringCount == kMaxUnreadPackets) {
        *reason = "more than " + std::to_string(kMaxUnreadPackets) + " unread packets";
        return false;
      }
      const std::size_t slot = (m_ringHead + m_ringCount) % kMaxUnreadPackets;
      std::memcpy(m_ring.get() + slot * kMaxDataBody, frame.body, frame.length);
      m_ringSizes[slot] = static_cast<std::uint16_t>(frame.length);
      ++m_ringCount;
      if (m_sink != nullptr) CallSink(lock, m_sink, false);
      return true;
    }
    case FrameKind::Close: {
      if (m_phase != Phase::Open) {
        if (afterOurClose) return true;  // both ends closed at once
        *reason = "CLOSE with no channel open";
        return false;
      }
      m_phase = Phase::Closed;
      if (m_sink != nullptr) CallSink(lock, std::exchange(m_sink, nullptr), true);
      return true;
    }
    default:
      *reason = std::string(name != nullptr ? name : "unknown") + " is not sent by a handheld";
      return false;
  }
}

bool Connection::Finish(std::string* reason, IDevMgrChannelSink** openSink) {
  *openSink = nullptr;
  {
    std::lock_guard lock(m_mutex);
    if (m_ended) return false;
    m_ended = true;
    m_wake = nullptr;
    *reason = m_endReason;
    if (m_phase == Phase::Open) {
      m_phase = Phase::Closed;
      *openSink = std::exchange(m_sink, nullptr);
    }
  }
  m_changed.notify_all();  // an open waiting on this handheld fails now
  return true;
}

bool Connection::Ended() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}

void Connection::NotifyClosed(IDevMgrChannelSink* sink) {
  Lock lock(m_mutex);
  CallSink(lock, sink, true);
}

// ---- The program's threads ------------------------------------------------------------

HRESULT Connection::OpenChannel(const std::string& name, IDevMgrChannelSink* sink, std::uint32_t* generation,
                                std::string* description) {
  Lock lock(m_mutex);
  const HRESULT begun = BeginOpen(sink, description);
  if (FAILED(begun)) return begun;
  const std::uint32_t opening = m_generation;
  const char* awaited = "OPEN";
  SendUnlocked(lock, FrameKind::Open, name.data(), name.size());

  for (;;) {
    m_changed.wait_until(lock, m_openDeadline,
                         [&] { return m_openResult != S_FALSE || m_challengePending || Gone(); });
    const HRESULT decided = DecidedOpen(lock, opening, name, description);
    if (decided == S_OK) *generation = opening;
    if (decided != S_FALSE) return decided;
    if (m_challengePending) {
      switch (AnswerChallenge(lock, sink)) {
        case ChallengeOutcome::Answered:
          awaited = "ANSWER";
          continue;
        case ChallengeOutcome::Gone:
          continue;  // reported by DecidedOpen
        case ChallengeOutcome::Cancelled:
          return FailOpen(lock, opening, kOpenCancelled, description, "the password challenge was cancelled");
      }
    }
    if (Clock::now() >= m_openDeadline) {
      const std::string why =
          std::string("no answer to ") + awaited + " within " + DurationText(m_timing.openReplyMs);
      lock.unlock();
      RequestEnd(why);
      lock.lock();
      return FailOpen(lock, opening, kOpenTimedOut, description, why);
    }
  }
}

HRESULT Connection::BeginOpen(IDevMgrChannelSink* sink, std::string* description) {
  if (Gone()) {
    *description = "the handheld is no longer attached";
    return kDeviceGone;
  }
  if (m_phase != Phase::None && m_phase != Phase::Closed) {
    *description = "this handheld already has a channel open";
    return kChannelBusy;
  }
  ++m_generation;
  // The phase is set before OPEN goes out, so the answer always finds it.
  m_phase = Phase::Opening;
  sink->AddRef();
  m_sink = sink;
  m_openResult = S_FALSE;
  m_openDetail.clear();
  m_challengePending = false;
  if (!m_ring) m_ring = std::make_unique<std::uint8_t[]>(kMaxUnreadPackets * kMaxDataBody);
  m_ringHead = m_ringCount = 0;
  m_openDeadline = Clock::now() + std::chrono::milliseconds(m_timing.openReplyMs);
  return S_OK;
}

HRESULT Connection::DecidedOpen(Lock& lock, std::uint32_t opening, const std::string& name,
                                std::string* description) {
  // The handheld's answer counts even when the connection ended right after it (a
  // WIPED is followed by the end at once).
  if (m_openResult == S_OK) return S_OK;
  if (m_openResult == kChannelRefused) {
    return FailOpen(lock, opening, kChannelRefused, description,
                    "the handheld refused channel \"" + name + "\": " + m_openDetail);
  }
  if (m_openResult != S_FALSE) {
    return FailOpen(lock, opening, m_openResult, description,
                    "the handheld was wiped after the last wrong password");
  }
  if (Gone()) {
    std::string text = "the handheld went away";
    if (!m_endReason.empty()) text += " (" + m_endReason + ")";
    return FailOpen(lock, opening, kDeviceGone, description, std::move(text));
  }
  return S_FALSE;
}

Connection::ChallengeOutcome Connection::AnswerChallenge(Lock& lock, IDevMgrChannelSink* sink) {
  m_challengePending = false;
  const std::int32_t attempts = m_challengeAttempts;
  lock.unlock();
  // The sink may block until the user answers; it runs on a thread of ours, never on
  // the caller's, as the component does.
  BYTE answer[kAnswerSize] = {};
  HRESULT challengeResult = E_FAIL;
  try {
    std::thread challenger([&] { challengeResult = sink->OnChallenge(attempts, answer); });
    challenger.join();
  } catch (const std::system_error&) {
    challengeResult = E_OUTOFMEMORY;
  }
  lock.lock();
  if (Gone()) return ChallengeOutcome::Gone;
  if (FAILED(challengeResult)) {
    m_phase = Phase::None;
    SendUnlocked(lock, FrameKind::Cancel, nullptr, 0);
    return ChallengeOutcome::Cancelled;
  }
  m_phase = Phase::Opening;
  m_openDeadline = Clock::now() + std::chrono::milliseconds(m_timing.openReplyMs);
  SendUnlocked(lock, FrameKind::Answer, answer, sizeof answer);
  return ChallengeOutcome::Answered;
}

void Connection::SendUnlocked(Lock& lock, FrameKind kind, const void* body, std::size_t length) {
  // A failed send ends the connection, which the open then sees as the handheld gone.
  std::string reason;
  lock.unlock();
  Send(kind, body, length, &reason);
  lock.lock();
}

HRESULT Connection::FailOpen(Lock& lock, std::uint32_t generation, HRESULT result, std::string* description,
                             std::string text) {
  *description = std::move(text);
  IDevMgrChannelSink* held = nullptr;
  if (m_generation == generation) {
    if (m_phase != Phase::Open) m_phase = Phase::None;
    held = std::exchange(m_sink, nullptr);
  }
  lock.unlock();
  if (held != nullptr) held->Release();
  return result;
}

HRESULT Connection::ReadPacket(std::uint32_t generation, BYTE* buffer, ULONG capacity, ULONG* count) {
  std::lock_guard lock(m_mutex);
  *count = 0;
  // Packets that came before a close or a detach can still be read.
  if (m_generation != generation) return kChannelClosed;
  if (m_ringCount == 0) return kNoData;
  const std::size_t size = m_ringSizes[m_ringHead];
  *count = static_cast<ULONG>(size);
  if (capacity < size) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, m_ring.get() + m_ringHead * kMaxDataBody, size);
  m_ringHead = (m_ringHead + 1) % kMaxUnreadPackets;
  --m_ringCount;
  return S_OK;
}

HRESULT Connection::WritePacket(std::uint32_t generation, const BYTE* data, ULONG length,
                                std::string* description) {
  {
    std::lock_guard lock(m_mutex);
    if (Gone()) {
      *description = "The handheld is no longer attached";
      return kDeviceGone;
    }
    if (m_generation != generation || m_phase != Phase::Open) {
      *description = "The channel is closed";
      return kChannelClosed;
    }
  }
  std::string reason;
  if (Send(FrameKind::DesktopData, data, length, &reason)) return S_OK;
  *description = "Cannot send to the handheld: " + reason;
  return kDeviceGone;
}

void Connection::CloseChannel(std::uint32_t generation) {
  IDevMgrChannelSink* sink = nullptr;
  bool sendClose = false;
  {
    Lock lock(m_mutex);
    if (m_generation == generation) {
      if (m_phase == Phase::Open) {
        sendClose = !Gone();
        m_closedByDesktop = true;
        sink = std::exchange(m_sink, nullptr);
      }
      m_phase = Phase::None;
      m_ringCount = 0;
      ++m_generation;  // this channel is over for good
    }
    WaitForSinkCalls(lock);
  }
  if (sink != nullptr) sink->Release();
  std::string reason;
  if (sendClose) Send(FrameKind::DesktopClose, nullptr, 0, &reason);
}

}  // namespace skiff::usblink
