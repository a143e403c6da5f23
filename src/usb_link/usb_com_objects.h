// The objects the USB-link device manager hands to the program: a device, its
// properties, the device list and the channel, each a thin face of its connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/api/devmgr.h"
#include "usb_link/usb_connection.h"

namespace skiff::usblink {

// The per-thread error object with a description, for ComError's log line.
HRESULT ReportFailure(HRESULT code, const std::string& description);

// ---- The COM objects ----------------------------------------------------------------

// Shared reference counting of the objects below.
template <typename Base>
class RefCounted : public Base {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) Destroy();
    return left;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;
  virtual void Destroy() { delete this; }

 private:
  std::atomic<ULONG> m_refs{1};
};

class CUsbDevice final : public RefCounted<IDevMgrDevice>, public ISupportErrorInfo {
 public:
  explicit CUsbDevice(std::shared_ptr<Connection> connection);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return RefCounted::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return RefCounted::Release(); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** properties) override;
  HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                        IDevMgrChannel** channel) override;

 private:
  std::shared_ptr<Connection> m_connection;
};

class CUsbDeviceList final : public RefCounted<IDevMgrDeviceList> {
 public:
  explicit CUsbDeviceList(std::vector<IDevMgrDevice*> devices);  // takes their references
  ~CUsbDeviceList() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override;
  HRESULT STDMETHODCALLTYPE GetItem(LONG index, IDevMgrDevice** device) override;

 private:
  std::vector<IDevMgrDevice*> m_devices;
};

class CUsbPropertyList final : public RefCounted<IDevMgrPropertyList> {
 public:
  explicit CUsbPropertyList(std::shared_ptr<const std::vector<DeviceProperty>> properties);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override;
  HRESULT STDMETHODCALLTYPE GetItem(VARIANT index, IDevMgrProperty** property) override;

 private:
  std::shared_ptr<const std::vector<DeviceProperty>> m_properties;
};

class CUsbProperty final : public RefCounted<IDevMgrProperty> {
 public:
  CUsbProperty(std::shared_ptr<const std::vector<DeviceProperty>> properties, std::size_t index);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE GetValue(VARIANT* value) override;

 private:
  std::shared_ptr<const std::vector<DeviceProperty>> m_properties;
  std::size_t m_index;
};

class CUsbChannel final : public RefCounted<IDevMgrChannel>, public ISupportErrorInfo {
 public:
  CUsbChannel(std::shared_ptr<Connection> connection, std::uint32_t generation);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return RefCounted::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return RefCounted::Release(); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadData(BYTE* buffer, ULONG capacity, ULONG* count) override;
  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override;

 private:
  // Releasing the last reference closes the channel: CLOSE to the handheld, and no
  // sink call runs once it returns.
  void Destroy() override;
  std::shared_ptr<Connection> m_connection;
  const std::uint32_t m_generation;
};

}  // namespace skiff::usblink
