// The receiving end of the open channel: waits until the channel's signals announce a
// packet or the close, then reads one packet into the caller's buffer.
#include "device/worker.h"

#include <algorithm>

namespace skiff {

bool CDeviceWorker::ReadPacket(Packet& packet, std::uint32_t timeoutMs, std::size_t& receivedBytes) {
  receivedBytes = 0;
  if (m_bStop.load()) return false;
  switch (m_channelSignals.WaitForPacket(timeoutMs, m_bStop)) {
    case CChannelSignals::Wake::Packet:
      break;
    case CChannelSignals::Wake::Closed:
      m_bClientConnected = false;
      return false;
    case CChannelSignals::Wake::Nothing:
      return false;
  }

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
