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
    {
      // From here on, a password other than the sentinel can only be one typed during
      // this pass.
      std::lock_guard<std::mutex> lock(m_answerMutex);
      m_strPassword = kNoPassword;
    }
    ThrowIfNull(devices.Get());
    ULONG count = 0;
    ThrowIfFailed(devices.Get()->GetCount(&count), devices.Get(), IID_IDevMgrDeviceList);
    if (count == 0) {
      m_bDevicePresent = 0;
      Log("Device count is 0");
      return;
    }

    if (!m_bDevicePresent) {
      m_bDevicePresent = 1;
      m_nArrival.fetch_add(1);
    }
    Log("Device count > 0");
    if (m_nCancelledArrival.load() == m_nArrival.load()) {
      Log("Ignoring device since password dialog was cancelled.");
      Log("Disconnect, wait 10 seconds, then reconnect to be asked again.");
      return;
    }

    m_dispatcher.BeginConversation();
    ThrowIfFailed(devices.Get()->GetItem(0, device.Out()), devices.Get(), IID_IDevMgrDeviceList);
    ReadDeviceProperties(device.Get());

    std::string channelName;
    for (const char16_t* unit = kChannelName; *unit != 0; ++unit) channelName += static_cast<char>(*unit);
    Log("Opening Channel: ", channelName);
    ThrowIfNull(device.Get());
    // Signals left from an earlier channel (a close or data reported after that pass had
    // ended) belong to it, not to the channel opened now.
    m_hPortClosedEvent.Reset();
    m_hDataReadyEvent.Reset();
    m_nAnnouncedPackets.store(0);
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
    RememberTypedPassword();

    m_bClientConnected = true;
    Log("Client successfully connected");
    Packet packet{};
    while (m_bClientConnected && !m_bStop.load()) {
      std::size_t receivedBytes = 0;
      if (ReadPacket(packet, kInfinite, receivedBytes)) m_dispatcher.Dispatch(packet, receivedBytes);
    }
    Log("No longer connected");
    m_pChannel->Release();
    m_pChannel = nullptr;
    Log("Finished handling client");
  } catch (const ComError& error) {
    // The pass ends here; m_pChannel and m_bClientConnected keep their values, and a
    // channel left behind is released by the next open or by Shutdown.
    LogComError(error);
  }
}

}  // namespace skiff
