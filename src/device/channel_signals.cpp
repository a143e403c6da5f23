// The channel's signals: data-ready counts an announced packet, close wakes the serve
// loop for good; the wait hands out one announced packet per call, data before close.
#include "device/channel_signals.h"

namespace skiff {

void CChannelSignals::OnDataReady() {
  m_nAnnouncedPackets.fetch_add(1);
  m_hDataReadyEvent.Set();
}

void CChannelSignals::OnClose() {
  m_log.Log(LogTo::LogAndConsole, "rawOnClose");
  m_hPortClosedEvent.Set();
}

void CChannelSignals::Clear() {
  m_hPortClosedEvent.Reset();
  m_hDataReadyEvent.Reset();
  m_nAnnouncedPackets.store(0);
}

CChannelSignals::Wake CChannelSignals::WaitForPacket(std::uint32_t timeoutMs,
                                                     const std::atomic<bool>& stopping) {
  // Data is listed first, so a packet announced before the close is read before the
  // close is noticed; the close then ends the next call.
  switch (WaitForAny(m_hReadWait[0], m_hReadWait[1], timeoutMs)) {
    case WaitResult::Object0:
      break;
    case WaitResult::Object1:
      m_log.Log(LogTo::LogAndConsole, "Port closed");
      return Wake::Closed;
    case WaitResult::Timeout:
      m_log.Log(LogTo::LogAndConsole, "Timeout waiting for data");
      return Wake::Nothing;
    default:
      return Wake::Nothing;
  }
  // The stop wakes a blocked read through the data event; nothing is read then.
  if (stopping.load()) return Wake::Nothing;
  // One read per announced packet: when more were announced than this wake-up covers,
  // the event is signalled again for the next call (still ahead of a close). A wake-up
  // whose packet an earlier call already read reads nothing. Only the serve loop takes
  // from the count, so it cannot drop below zero between the load and the decrement.
  if (m_nAnnouncedPackets.load() <= 0) return Wake::Nothing;
  if (m_nAnnouncedPackets.fetch_sub(1) > 1) m_hDataReadyEvent.Set();
  return Wake::Packet;
}

}  // namespace skiff
