// The objects the program holds: a device and its properties, the device list, and the
// open channel with its packet queue; plus the connection state they share with the
// device manager's I/O thread.
#include "platform/posix/usb_link/usb_link_internal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/text.h"

namespace skiff::usblink {

namespace {

using Clock = std::chrono::steady_clock;

std::string DurationText(unsigned ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
}

// Error information for ComError's log line: the description of the last failure.
class CUsbErrorInfo final : public RefCounted<IErrorInfo> {
 public:
  explicit CUsbErrorInfo(const std::string& description) : m_description(Utf8ToWideString(description)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      AddRef();
      *object = static_cast<IErrorInfo*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    *guid = GUID{};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override {
    if (source == nullptr) return E_POINTER;
    *source = SysAllocString(u"SkiffHouse USB link");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    if (description == nullptr) return E_POINTER;
    *description = SysAllocStringLen(m_description.data(), static_cast<UINT>(m_description.size()));
    return *description != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* file) override {
    if (file == nullptr) return E_POINTER;
    *file = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
    if (context == nullptr) return E_POINTER;
    *context = 0;
    return S_OK;
  }

 private:
  std::u16string m_description;
};

template <typename Interface>
HRESULT QueryOne(Interface* self, REFIID iid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == iid) {
    self->AddRef();
    *object = self;
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

HRESULT ReportFailure(HRESULT code, const std::string& description) {
  auto* info = new CUsbErrorInfo(description);
  SetErrorInfo(0, info);
  info->Release();
  return code;
}

// ---- Connection ---------------------------------------------------------------------

Connection::Connection(std::uint64_t connectionId, int socketFd) : id(connectionId), fd(socketFd) {}

Connection::~Connection() {
  if (sink != nullptr) sink->Release();
  ::close(fd);
}

void Connection::RequestEnd(const std::string& reason) {
  {
    std::lock_guard lock(mutex);
    if (ended || endRequested) return;
    endRequested = true;
    endReason = reason;
  }
  changed.notify_all();
  // The I/O thread sees the end of the stream and finishes the connection there.
  ::shutdown(fd, SHUT_RDWR);
}

bool Connection::Send(FrameKind kind, const void* body, std::size_t length, std::string* reason) {
  std::lock_guard lock(m_writeMutex);
  return SendFrame(fd, kind, body, length, reason);
}

void Connection::WaitForSinkCalls(std::unique_lock<std::mutex>& lock) {
  // A sink that releases its channel from inside a callback must not wait for itself.
  changed.wait(lock, [&] { return sinkCalls == 0 || sinkCaller == std::this_thread::get_id(); });
}

// ---- Device -------------------------------------------------------------------------

CUsbDevice::CUsbDevice(std::shared_ptr<Connection> connection, UsbLinkTiming timing)
    : m_connection(std::move(connection)), m_timing(timing) {}

HRESULT CUsbDevice::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_ISupportErrorInfo) {
    AddRef();
    *object = static_cast<ISupportErrorInfo*>(this);
    return S_OK;
  }
  return QueryOne(static_cast<IDevMgrDevice*>(this), IID_IDevMgrDevice, riid, object);
}

HRESULT CUsbDevice::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IDevMgrDevice ? S_OK : S_FALSE;
}

HRESULT CUsbDevice::GetProperties(IDevMgrPropertyList** properties) {
  if (properties == nullptr) return ReportFailure(E_POINTER, "GetProperties needs a place for the list");
  std::lock_guard lock(m_connection->mutex);
  *properties = new CUsbPropertyList(m_connection->properties);
  return S_OK;
}

HRESULT CUsbDevice::FailOpen(HRESULT code, const std::string& description) {
  return ReportFailure(code, "Cannot open the channel: " + description);
}

HRESULT CUsbDevice::OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink, IDevMgrChannel** channel) {
  if (channel != nullptr) *channel = nullptr;
  if (name == nullptr || sink == nullptr || channel == nullptr) {
    return FailOpen(E_POINTER, "a channel name, a sink and a place for the channel are needed");
  }
  const std::string channelName =
      WideToUtf8String(std::u16string_view(AsWide(name), WideLength(AsWide(name))));
  if (channelName.size() > kMaxFrameBody) return FailOpen(E_INVALIDARG, "the channel name is too long");

  Connection& c = *m_connection;
  std::unique_lock lock(c.mutex);
  if (c.ended || c.endRequested) return FailOpen(kDeviceGone, "the handheld is no longer attached");
  if (c.phase != ChannelPhase::None && c.phase != ChannelPhase::Closed) {
    return FailOpen(kChannelBusy, "this handheld already has a channel open");
  }
  const std::uint32_t generation = ++c.generation;
  // The phase is set before OPEN goes out, so the answer always finds it.
  c.phase = ChannelPhase::Opening;
  sink->AddRef();
  c.sink = sink;
  c.openResult = S_FALSE;
  c.openDetail.clear();
  c.challengePending = false;
  if (!c.ring) c.ring = std::make_unique<std::uint8_t[]>(kMaxUnreadPackets * kMaxDataBody);
  c.ringHead = c.ringCount = 0;
  c.openDeadline = Clock::now() + std::chrono::milliseconds(m_timing.openReplyMs);
  const char* awaited = "OPEN";
  lock.unlock();

  std::string reason;
  if (!c.Send(FrameKind::Open, channelName.data(), channelName.size(), &reason)) {
    c.RequestEnd("cannot send OPEN: " + reason);
  }

  HRESULT result = S_OK;
  std::string description;
  lock.lock();
  for (;;) {
    c.changed.wait_until(lock, c.openDeadline, [&] {
      return c.openResult != S_FALSE || c.challengePending || c.endRequested || c.ended;
    });
    // The handheld's answer counts even when the connection ended right after it (a
    // WIPED is followed by the end at once).
    if (c.openResult == S_OK) {
      *channel = new CUsbChannel(m_connection, generation);
      return S_OK;
    }
    if (c.openResult != S_FALSE) {
      result = c.openResult;
      description = result == kChannelRefused
                        ? "the handheld refused channel \"" + channelName + "\": " + c.openDetail
                        : "the handheld was wiped after the last wrong password";
      break;
    }
    if (c.ended || c.endRequested) {
      result = kDeviceGone;
      description = "the handheld went away";
      if (!c.endReason.empty()) description += " (" + c.endReason + ")";
      break;
    }
    if (c.challengePending) {
      c.challengePending = false;
      const std::int32_t attempts = c.challengeAttempts;
      lock.unlock();
      // The sink may block until the user answers; it runs on a thread of ours, never
      // on the caller's, as the component does.
      BYTE answer[kAnswerSize] = {};
      HRESULT challengeResult = E_FAIL;
      try {
        std::thread challenger([&] { challengeResult = sink->OnChallenge(attempts, answer); });
        challenger.join();
      } catch (const std::system_error&) {
        challengeResult = E_OUTOFMEMORY;
      }
      lock.lock();
      if (c.ended || c.endRequested) continue;  // reported above
      if (FAILED(challengeResult)) {
        c.phase = ChannelPhase::None;
        lock.unlock();
        if (!c.Send(FrameKind::Cancel, nullptr, 0, &reason)) c.RequestEnd("cannot send CANCEL: " + reason);
        lock.lock();
        result = kOpenCancelled;
        description = "the password challenge was cancelled";
        break;
      }
      c.phase = ChannelPhase::Opening;
      c.openDeadline = Clock::now() + std::chrono::milliseconds(m_timing.openReplyMs);
      awaited = "ANSWER";
      lock.unlock();
      if (!c.Send(FrameKind::Answer, answer, sizeof answer, &reason))
        c.RequestEnd("cannot send ANSWER: " + reason);
      lock.lock();
      continue;
    }
    if (Clock::now() >= c.openDeadline) {
      const std::string why =
          std::string("no answer to ") + awaited + " within " + DurationText(m_timing.openReplyMs);
      lock.unlock();
      c.RequestEnd(why);
      lock.lock();
      result = kOpenTimedOut;
      description = why;
      break;
    }
  }
  // Failed: the sink is ours to let go; no channel call can reach it any more.
  IDevMgrChannelSink* held = nullptr;
  if (c.generation == generation) {
    if (c.phase != ChannelPhase::Open) c.phase = ChannelPhase::None;
    held = c.sink;
    c.sink = nullptr;
  }
  lock.unlock();
  if (held != nullptr) held->Release();
  return FailOpen(result, description);
}

// ---- Device list --------------------------------------------------------------------

CUsbDeviceList::CUsbDeviceList(std::vector<IDevMgrDevice*> devices) : m_devices(std::move(devices)) {}

CUsbDeviceList::~CUsbDeviceList() {
  for (IDevMgrDevice* device : m_devices) device->Release();
}

HRESULT CUsbDeviceList::QueryInterface(REFIID riid, void** object) {
  return QueryOne(static_cast<IDevMgrDeviceList*>(this), IID_IDevMgrDeviceList, riid, object);
}

HRESULT CUsbDeviceList::GetCount(ULONG* count) {
  if (count == nullptr) return E_POINTER;
  *count = static_cast<ULONG>(m_devices.size());
  return S_OK;
}

HRESULT CUsbDeviceList::GetItem(LONG index, IDevMgrDevice** device) {
  if (device == nullptr) return E_POINTER;
  *device = nullptr;
  if (index < 0 || static_cast<std::size_t>(index) >= m_devices.size()) return E_INVALIDARG;
  *device = m_devices[static_cast<std::size_t>(index)];
  (*device)->AddRef();
  return S_OK;
}

// ---- Properties ---------------------------------------------------------------------

CUsbPropertyList::CUsbPropertyList(std::shared_ptr<const std::vector<DeviceProperty>> properties)
    : m_properties(std::move(properties)) {}

HRESULT CUsbPropertyList::QueryInterface(REFIID riid, void** object) {
  return QueryOne(static_cast<IDevMgrPropertyList*>(this), IID_IDevMgrPropertyList, riid, object);
}

HRESULT CUsbPropertyList::GetCount(LONG* count) {
  if (count == nullptr) return E_POINTER;
  *count = m_properties ? static_cast<LONG>(m_properties->size()) : 0;
  return S_OK;
}

HRESULT CUsbPropertyList::GetItem(VARIANT index, IDevMgrProperty** property) {
  if (property == nullptr) return E_POINTER;
  *property = nullptr;
  VARIANT number;
  VariantInit(&number);
  if (FAILED(VariantChangeType(&number, &index, 0, VT_I4))) return DISP_E_TYPEMISMATCH;
  const LONG at = number.lVal;
  if (!m_properties || at < 0 || static_cast<std::size_t>(at) >= m_properties->size()) return E_INVALIDARG;
  *property = new CUsbProperty(m_properties, static_cast<std::size_t>(at));
  return S_OK;
}

CUsbProperty::CUsbProperty(std::shared_ptr<const std::vector<DeviceProperty>> properties, std::size_t index)
    : m_properties(std::move(properties)), m_index(index) {}

HRESULT CUsbProperty::QueryInterface(REFIID riid, void** object) {
  return QueryOne(static_cast<IDevMgrProperty*>(this), IID_IDevMgrProperty, riid, object);
}

HRESULT CUsbProperty::GetName(BSTR* name) {
  if (name == nullptr) return E_POINTER;
  const std::u16string wide = Utf8ToWideString((*m_properties)[m_index].name);
  *name = SysAllocStringLen(AsOle(wide.data()), static_cast<UINT>(wide.size()));
  return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CUsbProperty::GetValue(VARIANT* value) {
  if (value == nullptr) return E_POINTER;
  VariantInit(value);
  const DeviceProperty& property = (*m_properties)[m_index];
  if (property.type == DeviceProperty::Type::Integer) {
    value->vt = VT_I4;
    value->lVal = property.integer;
    return S_OK;
  }
  const std::u16string wide = Utf8ToWideString(property.text);
  value->bstrVal = SysAllocStringLen(AsOle(wide.data()), static_cast<UINT>(wide.size()));
  if (value->bstrVal == nullptr) return E_OUTOFMEMORY;
  value->vt = VT_BSTR;
  return S_OK;
}

// ---- Channel ------------------------------------------------------------------------

CUsbChannel::CUsbChannel(std::shared_ptr<Connection> connection, std::uint32_t generation)
    : m_connection(std::move(connection)), m_generation(generation) {}

HRESULT CUsbChannel::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_ISupportErrorInfo) {
    AddRef();
    *object = static_cast<ISupportErrorInfo*>(this);
    return S_OK;
  }
  return QueryOne(static_cast<IDevMgrChannel*>(this), IID_IDevMgrChannel, riid, object);
}

HRESULT CUsbChannel::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IDevMgrChannel ? S_OK : S_FALSE;
}

HRESULT CUsbChannel::ReadData(BYTE* buffer, ULONG capacity, ULONG* count) {
  if (buffer == nullptr || count == nullptr)
    return ReportFailure(E_POINTER, "ReadData needs a buffer and a count");
  Connection& c = *m_connection;
  std::lock_guard lock(c.mutex);
  *count = 0;
  // Packets that came before a close or a detach can still be read.
  if (c.generation != m_generation) return ReportFailure(kChannelClosed, "The channel is closed");
  if (c.ringCount == 0) return ReportFailure(kNoData, "No packet is waiting on the channel");
  const std::size_t size = c.ringSizes[c.ringHead];
  if (capacity < size) {
    *count = static_cast<ULONG>(size);
    return ReportFailure(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
                         "The packet of " + std::to_string(size) + " bytes does not fit the buffer");
  }
  std::memcpy(buffer, c.ring.get() + c.ringHead * kMaxDataBody, size);
  c.ringHead = (c.ringHead + 1) % kMaxUnreadPackets;
  --c.ringCount;
  *count = static_cast<ULONG>(size);
  return S_OK;
}

HRESULT CUsbChannel::WriteData(const BYTE* data, ULONG length) {
  if (data == nullptr) return ReportFailure(E_POINTER, "WriteData needs the packet");
  if (length < kMinDesktopDataBody || length > kMaxDataBody) {
    return ReportFailure(E_INVALIDARG, "A packet of " + std::to_string(length) + " bytes is not from " +
                                           std::to_string(kMinDesktopDataBody) + " to " +
                                           std::to_string(kMaxDataBody));
  }
  Connection& c = *m_connection;
  {
    std::lock_guard lock(c.mutex);
    if (c.ended || c.endRequested) return ReportFailure(kDeviceGone, "The handheld is no longer attached");
    if (c.generation != m_generation || c.phase != ChannelPhase::Open) {
      return ReportFailure(kChannelClosed, "The channel is closed");
    }
  }
  std::string reason;
  if (!c.Send(FrameKind::DesktopData, data, length, &reason)) {
    c.RequestEnd("cannot send to the handheld: " + reason);
    return ReportFailure(kDeviceGone, "Cannot send to the handheld: " + reason);
  }
  return S_OK;
}

void CUsbChannel::Destroy() {
  Connection& c = *m_connection;
  IDevMgrChannelSink* sink = nullptr;
  bool sendClose = false;
  {
    std::unique_lock lock(c.mutex);
    if (c.generation == m_generation) {
      if (c.phase == ChannelPhase::Open) {
        sendClose = !c.ended && !c.endRequested;
        c.closedByDesktop = true;
        sink = c.sink;
        c.sink = nullptr;
      }
      c.phase = ChannelPhase::None;
      c.ringCount = 0;
      ++c.generation;  // this channel is over for good
    }
    c.WaitForSinkCalls(lock);
  }
  if (sink != nullptr) sink->Release();
  std::string reason;
  if (sendClose && !c.Send(FrameKind::DesktopClose, nullptr, 0, &reason)) {
    c.RequestEnd("cannot send CLOSE: " + reason);
  }
  delete this;
}

}  // namespace skiff::usblink
