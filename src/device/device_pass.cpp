// One device pass: find the device, read its properties and PIN, open the channel to
// the handheld application (answering its password challenge), remember a newly typed
// password, and serve the client packet by packet until the channel closes.
#include "device/worker.h"

namespace skiff {

namespace {

// Releases an interface reference when the pass ends, however it ends.
template <typename Interface>
class Held {
 public:
  Held() = default;
  ~Held() {
    if (m_pointer != nullptr) m_pointer->Release();
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Interface** Out() { return &m_pointer; }
  Interface* Get() const { return m_pointer; }

 private:
  Interface* m_pointer = nullptr;
};

}  // namespace

void CDeviceWorker::ServeDevice() {
  Held<IDevMgrDeviceList> devices;
  Held<IDevMgrDevice> device;
  try {
    ThrowIfNull(m_pDeviceManager);
    ThrowIfFailed(m_pDeviceManager->GetDevices(devices.Out()), m_pDeviceManager, IID_IDevMgrMain);
    m_challenge.BeginPass();
    ThrowIfNull(devices.Get());
    ULONG count = 0;
    ThrowIfFailed(devices.Get()->GetCount(&count), devices.Get(), IID_IDevMgrDeviceList);
    if (count == 0) {
      m_bDevicePresent = 0;
      m_log.Log(LogTo::LogAndConsole, "Device count is 0");
      return;
    }

    if (!m_bDevicePresent) {
      m_bDevicePresent = 1;
      m_nArrival.fetch_add(1);
    }
    m_log.Log(LogTo::LogAndConsole, "Device count > 0");
    if (m_challenge.CancelledAt(m_nArrival.load())) {
      m_log.Log(LogTo::LogAndConsole, "Ignoring device since password dialog was cancelled.");
      m_log.Log(LogTo::LogAndConsole, "Disconnect, wait 10 seconds, then reconnect to be asked again.");
      return;
    }

    m_dispatcher.BeginConversation();
    ThrowIfFailed(devices.Get()->GetItem(0, device.Out()), devices.Get(), IID_IDevMgrDeviceList);
    ReadDeviceProperties(device.Get());

    std::string channelName;
    for (const char16_t* unit = kChannelName; *unit != 0; ++unit) channelName += static_cast<char>(*unit);
    m_log.Log(LogTo::LogOnly, "Opening Channel: ", channelName);
    ThrowIfNull(device.Get());
    m_channelSignals.Clear();
    IDevMgrChannel* channel = nullptr;
    ThrowIfFailed(
        device.Get()->OpenChannel(AsOle(kChannelName), static_cast<IDevMgrChannelSink*>(this), &channel),
        device.Get(), IID_IDevMgrDevice);
    // An open that reports success without a channel must not leave the loop below
    // serving whatever channel an earlier failed pass left behind.
    ThrowIfNull(channel);
    if (m_pChannel != nullptr) m_pChannel->Release();
    m_pChannel = channel;

    // Only a password that opened the channel is remembered.
    m_challenge.RememberTypedPassword(m_dwPin.load());

    m_bClientConnected = true;
    m_log.Log(LogTo::LogAndConsole, "Client successfully connected");
    Packet packet{};
    while (m_bClientConnected && !m_bStop.load()) {
      std::size_t receivedBytes = 0;
      if (ReadPacket(packet, kInfinite, receivedBytes)) m_dispatcher.Dispatch(packet, receivedBytes);
    }
    m_log.Log(LogTo::LogAndConsole, "No longer connected");
    m_pChannel->Release();
    m_pChannel = nullptr;
    m_log.Log(LogTo::LogAndConsole, "Finished handling client");
  } catch (const ComError& error) {
    // The pass ends here; m_pChannel and m_bClientConnected keep their values, and a
    // channel left behind is released by the next open or by Shutdown.
    LogComError(error);
  }
}

}  // namespace skiff
