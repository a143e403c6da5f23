// The receiving end of the open channel: waits until the channel has data or has
// closed, then reads one packet into the caller's buffer.
#include "device/worker.h"

#include <algorithm>

namespace skiff {

bool CDeviceWorker::ReadPacket(Packet& packet, std::uint32_t timeoutMs, std::size_t& receivedBytes) {
  receivedBytes = 0;
  if (m_bStop.load()) return false;
  // Data is listed first, so a packet announced before the close is read before the
  // close is noticed; the close then ends the next call.
  switch (WaitForAny(m_hReadWait[0], m_hReadWait[1], timeoutMs)) {
    case WaitResult::Object0:
      break;
    case WaitResult::Object1:
      m_bClientConnected = false;
      Log("Port closed");
      return false;
    case WaitResult::Timeout:
      Log("Timeout waiting for data");
      return false;
    default:
      return false;
  }
  // Stop() wakes a blocked read through the data event; nothing is read then.
  if (m_bStop.load()) return false;
  // One read per announced packet: when more were announced than this wake-up covers,
  // the event is signalled again for the next call (still ahead of a close). A wake-up
  // whose packet an earlier call already read reads nothing. Only this thread takes
  // from the count, so it cannot drop below zero between the load and the decrement.
  if (m_nAnnouncedPackets.load() <= 0) return false;
  if (m_nAnnouncedPackets.fetch_sub(1) > 1) m_hDataReadyEvent.Set();

  try {
    ThrowIfNull(m_pChannel);
    ULONG count = 0;
    ThrowIfFailed(m_pChannel->ReadData(packet.bytes, static_cast<ULONG>(kPacketSize), &count), m_pChannel,
                  IID_IDevMgrChannel);
    // The count travels on to the dispatcher, so a length field that claims more than
    // arrived is never believed; a count beyond the buffer is not believed either.
    // Nothing read (a notification without a packet) is no packet.
    receivedBytes = std::min<std::size_t>(count, kPacketSize);
    return receivedBytes > 0;
  } catch (const ComError& error) {
    // The client stays connected: a later notification is read normally.
    LogComError(error);
    return false;
  }
}

}  // namespace skiff
