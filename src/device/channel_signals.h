// The open channel's signals as the device manager raises them (a packet announced, the
// channel closed) and the serve loop's wait for them, with the count of announced
// packets that the data event alone would lose.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/event.h"
#include "core/log_writer.h"

namespace skiff {

class CChannelSignals {
 public:
  explicit CChannelSignals(CLogWriter& log) : m_log(log) {}
  CChannelSignals(const CChannelSignals&) = delete;
  CChannelSignals& operator=(const CChannelSignals&) = delete;

  // The channel sink's events, on a device-manager thread.
  void OnDataReady();
  void OnClose();

  // Before an open: signals left from an earlier channel (a close or data reported after
  // that pass had ended) belong to it, not to the channel opened now.
  void Clear();

  enum class Wake { Packet, Closed, Nothing };
  // Waits until a packet is announced or the channel closes, at most timeoutMs. Packet:
  // one announced packet is now to be read. Closed: "Port closed" is logged. Nothing: a
  // time-out ("Timeout waiting for data"), a failed wait, a wake-up whose packet an
  // earlier call already read, or a stop.
  Wake WaitForPacket(std::uint32_t timeoutMs, const std::atomic<bool>& stopping);

  // Wakes a blocked WaitForPacket so that it sees the stop.
  void WakeReader() { m_hDataReadyEvent.Set(); }
  // Waits up to timeoutMs for the close of a channel just released.
  void WaitForClose(std::uint32_t timeoutMs) { m_hPortClosedEvent.Wait(timeoutMs); }

 private:
  CLogWriter& m_log;
  Event m_hDataReadyEvent{EventReset::Automatic};
  Event m_hPortClosedEvent{EventReset::Automatic};
  Event* const m_hReadWait[2] = {&m_hDataReadyEvent, &m_hPortClosedEvent};
  // Packets the channel has announced and the serve loop has not read yet. The data
  // event alone would fold two quick announcements into one read and leave a packet
  // unread until the next one came.
  std::atomic<std::int32_t> m_nAnnouncedPackets{0};
};

}  // namespace skiff
