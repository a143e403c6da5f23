// The objects the program holds: a device and its properties, the device list, and the
// open channel. Each checks its arguments and reports failures; the connection does
// the work.
#include "usb_link/usb_com_objects.h"

#include <cstring>

#include "core/text.h"

namespace skiff::usblink {

namespace {

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
    *source = SysAllocString(AsOle(u"SkiffHouse USB link"));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    if (description == nullptr) return E_POINTER;
    *description = SysAllocStringLen(AsOle(m_description.data()), static_cast<UINT>(m_description.size()));
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

// For the objects whose failures carry error information.
template <typename Interface>
HRESULT QueryWithErrorInfo(Interface* self, ISupportErrorInfo* errorInfo, REFIID iid, REFIID riid,
                           void** object) {
  if (object != nullptr && riid == IID_ISupportErrorInfo) {
    errorInfo->AddRef();
    *object = errorInfo;
    return S_OK;
  }
  return QueryOne(self, iid, riid, object);
}

}  // namespace

HRESULT ReportFailure(HRESULT code, const std::string& description) {
  auto* info = new CUsbErrorInfo(description);
  SetErrorInfo(0, info);
  info->Release();
  return code;
}

// ---- Device -------------------------------------------------------------------------

CUsbDevice::CUsbDevice(std::shared_ptr<Connection> connection) : m_connection(std::move(connection)) {}

HRESULT CUsbDevice::QueryInterface(REFIID riid, void** object) {
  return QueryWithErrorInfo(static_cast<IDevMgrDevice*>(this), static_cast<ISupportErrorInfo*>(this),
                            IID_IDevMgrDevice, riid, object);
}

HRESULT CUsbDevice::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IDevMgrDevice ? S_OK : S_FALSE;
}

HRESULT CUsbDevice::GetProperties(IDevMgrPropertyList** properties) {
  if (properties == nullptr) return ReportFailure(E_POINTER, "GetProperties needs a place for the list");
  *properties = new CUsbPropertyList(m_connection->Properties());
  return S_OK;
}

HRESULT CUsbDevice::OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink, IDevMgrChannel** channel) {
  if (channel != nullptr) *channel = nullptr;
  std::string description;
  HRESULT result = E_POINTER;
  if (name == nullptr || sink == nullptr || channel == nullptr) {
    description = "a channel name, a sink and a place for the channel are needed";
  } else {
    const std::string channelName =
        WideToUtf8String(std::u16string_view(AsWide(name), WideLength(AsWide(name))));
    std::uint32_t generation = 0;
    if (channelName.size() > kMaxFrameBody) {
      result = E_INVALIDARG;
      description = "the channel name is too long";
    } else {
      result = m_connection->OpenChannel(channelName, sink, &generation, &description);
    }
    if (SUCCEEDED(result)) {
      *channel = new CUsbChannel(m_connection, generation);
      return S_OK;
    }
  }
  return ReportFailure(result, "Cannot open the channel: " + description);
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
  return QueryWithErrorInfo(static_cast<IDevMgrChannel*>(this), static_cast<ISupportErrorInfo*>(this),
                            IID_IDevMgrChannel, riid, object);
}

HRESULT CUsbChannel::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IDevMgrChannel ? S_OK : S_FALSE;
}

HRESULT CUsbChannel::ReadData(BYTE* buffer, ULONG capacity, ULONG* count) {
  if (buffer == nullptr || count == nullptr)
    return ReportFailure(E_POINTER, "ReadData needs a buffer and a count");
  const HRESULT result = m_connection->ReadPacket(m_generation, buffer, capacity, count);
  switch (result) {
    case S_OK:
      return S_OK;
    case kChannelClosed:
      return ReportFailure(result, "The channel is closed");
    case kNoData:
      return ReportFailure(result, "No packet is waiting on the channel");
    default:
      return ReportFailure(result,
                           "The packet of " + std::to_string(*count) + " bytes does not fit the buffer");
  }
}

HRESULT CUsbChannel::WriteData(const BYTE* data, ULONG length) {
  if (data == nullptr) return ReportFailure(E_POINTER, "WriteData needs the packet");
  if (length < kMinDesktopDataBody || length > kMaxDataBody) {
    return ReportFailure(E_INVALIDARG, "A packet of " + std::to_string(length) + " bytes is not from " +
                                           std::to_string(kMinDesktopDataBody) + " to " +
                                           std::to_string(kMaxDataBody));
  }
  std::string description;
  const HRESULT result = m_connection->WritePacket(m_generation, data, length, &description);
  return SUCCEEDED(result) ? result : ReportFailure(result, description);
}

void CUsbChannel::Destroy() {
  m_connection->CloseChannel(m_generation);
  delete this;
}

}  // namespace skiff::usblink
