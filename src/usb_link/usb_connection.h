// One handheld's connection to the device manager: its frames, its channel's open
// handshake and packet queue, and the rules that keep both ends in step.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/api/devmgr.h"
#include "usb_link/usb_device_manager.h"
#include "usb_link/usb_frame.h"
#include "usb_link/usb_stream.h"

namespace skiff::usblink {

inline constexpr std::size_t kMaxUnreadPackets = 64;

// The connection is shared by the manager's I/O thread, which reads the stream and
// handles the handheld's frames, and the program's threads, which open, read, write and
// close the channel through the device and channel objects. All shared state is private
// and guarded by one lock; sink calls are made without it.
class Connection {
 public:
  // wake: the manager's poller, woken when another thread ends the connection (a
  // socket shut down by another thread does not end every platform's wait).
  Connection(std::uint64_t id, std::unique_ptr<IUsbStream> stream, UsbLinkTiming timing, CSocketPoller* wake);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::uint64_t Id() const { return m_id; }
  SocketHandle Handle() const { return m_stream->Handle(); }

  // ---- The I/O thread -----------------------------------------------------------------

  // Takes what the stream has brought; false once the stream has ended or the end was
  // asked for.
  bool ReceiveBytes();
  // Another thread asked for the end: the connection is to be finished now.
  bool EndAsked() const { return m_endAsked.load(std::memory_order_acquire); }
  enum class FrameOutcome {
    NeedMore,  // no whole frame is waiting
    Handled,
    Attached,  // the first ATTACH: the manager lists the device now
    Bad,       // the reason says why the connection must end
  };
  FrameOutcome HandleNextFrame(std::string* reason);
  // Marks the connection over; false when it already was. *reason is why it was ended
  // (empty: the handheld went away), *openSink the open channel's sink, which must hear
  // OnClose (NotifyClosed) once the device events are out.
  bool Finish(std::string* reason, IDevMgrChannelSink** openSink);
  void NotifyClosed(IDevMgrChannelSink* sink);
  bool Ended() const;

  // ---- Any thread -----------------------------------------------------------------------

  // Ends the connection: the first reason wins and is logged by the I/O thread, which
  // then raises the events. An empty reason is an ordinary detach.
  void RequestEnd(const std::string& reason);
  std::shared_ptr<const std::vector<DeviceProperty>> Properties() const;

  // ---- The program's threads --------------------------------------------------------

  // The whole open: OPEN, each CHALLENGE handed to the sink on a thread of ours (never
  // the caller's) and answered with ANSWER or CANCEL, until OPENED, REFUSED or WIPED,
  // the end of the connection or the time limit. *generation names the channel opened;
  // a failure comes with *description.
  HRESULT OpenChannel(const std::string& name, IDevMgrChannelSink* sink, std::uint32_t* generation,
                      std::string* description);
  // The oldest unread packet of the channel. kNoData when none is waiting; when the
  // buffer is too small the packet stays and *count is its size.
  HRESULT ReadPacket(std::uint32_t generation, BYTE* buffer, ULONG capacity, ULONG* count);
  HRESULT WritePacket(std::uint32_t generation, const BYTE* data, ULONG length, std::string* description);
  // Closes the channel for good: CLOSE to the handheld, and no sink call runs once it
  // returns (unless the caller is that sink call).
  void CloseChannel(std::uint32_t generation);

 private:
  enum class Phase {
    None,        // no channel: never opened, refused, closed by the desktop, or failed
    Opening,     // OPEN or ANSWER sent, waiting for the handheld's answer
    Challenged,  // a CHALLENGE is being answered by the channel sink
    Open,
    Closed,  // closed by the handheld or by the end of the connection
  };
  using Lock = std::unique_lock<std::mutex>;

  bool HandleFrame(const FrameView& frame, Lock& lock, std::string* reason);
  // Sends one frame; a failed send ends the connection and says why.
  bool Send(FrameKind kind, const void* body, std::size_t length, std::string* reason);
  bool Gone() const { return m_ended || m_endRequested; }
  void CallSink(Lock& lock, IDevMgrChannelSink* sink, bool close);
  // Waits until no sink call runs, unless this thread is making it.
  void WaitForSinkCalls(Lock& lock);
  // The steps of OpenChannel, all with the lock held. BeginOpen refuses an open of a
  // gone or busy handheld, or starts a new channel generation; DecidedOpen is S_FALSE
  // while the handheld has not decided, else the open's result; AnswerChallenge hands a
  // CHALLENGE to the sink and sends its ANSWER or CANCEL.
  enum class ChallengeOutcome { Answered, Cancelled, Gone };
  HRESULT BeginOpen(IDevMgrChannelSink* sink, std::string* description);
  HRESULT DecidedOpen(Lock& lock, std::uint32_t opening, const std::string& name, std::string* description);
  ChallengeOutcome AnswerChallenge(Lock& lock, IDevMgrChannelSink* sink);
  // Sends one frame with the lock let go meanwhile.
  void SendUnlocked(Lock& lock, FrameKind kind, const void* body, std::size_t length);
  // Lets go of a failed open's sink; no channel call can reach it any more.
  HRESULT FailOpen(Lock& lock, std::uint32_t generation, HRESULT result, std::string* description,
                   std::string text);

  const std::uint64_t m_id;
  const std::unique_ptr<IUsbStream> m_stream;  // closed when the last holder lets go,
                                               // so no thread writes to a reused socket
  const UsbLinkTiming m_timing;
  FrameReader m_reader{Direction::ToDesktop};  // I/O thread only
  std::mutex m_writeMutex;                     // keeps frames from different threads whole

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;  // open outcome, end, sink calls finished
  bool m_attached = false;
  bool m_ended = false;  // the I/O thread has finished the connection
  bool m_endRequested = false;
  std::atomic<bool> m_endAsked{false};  // m_endRequested, read by the I/O thread without the lock
  CSocketPoller* m_wake;                // until Finish
  std::string m_endReason;
  std::shared_ptr<const std::vector<DeviceProperty>> m_properties;  // set once, at ATTACH

  Phase m_phase = Phase::None;
  std::uint32_t m_generation = 0;  // bumped by each open and close; a channel object
                                   // whose generation is old is closed
  bool m_closedByDesktop = false;  // DATA and CLOSE crossing our CLOSE are dropped
  HRESULT m_openResult = S_FALSE;  // S_FALSE while undecided
  std::string m_openDetail;        // the handheld's REFUSED text
  bool m_challengePending = false;
  std::int32_t m_challengeAttempts = 0;
  std::chrono::steady_clock::time_point m_openDeadline;

  IDevMgrChannelSink* m_sink = nullptr;  // one reference, while the channel may call it
  int m_sinkCalls = 0;                   // sink calls running now (on the I/O thread)
  std::thread::id m_sinkCaller;          // the thread making them

  // Unread packets: a ring of fixed slots, allocated at the first open, never per packet.
  std::unique_ptr<std::uint8_t[]> m_ring;
  std::uint16_t m_ringSizes[kMaxUnreadPackets] = {};
  std::size_t m_ringHead = 0;
  std::size_t m_ringCount = 0;
};

}  // namespace skiff::usblink
