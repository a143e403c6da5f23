// The device manager's interfaces, declared once with their IIDs and the CLSID: real COM
// interfaces on Windows, plain C++ abstract classes with the same slot order elsewhere.
#pragma once

#include "compat/com.h"

// Class id of the device manager component.
extern const CLSID CLSID_DevMgr;

extern const IID IID_IDevMgrMain;
extern const IID IID_IDevMgrDeviceList;
extern const IID IID_IDevMgrDevice;
extern const IID IID_IDevMgrPropertyList;
extern const IID IID_IDevMgrProperty;
extern const IID IID_IDevMgrChannel;
extern const IID IID_IDevMgrChannelSink;

struct IDevMgrDeviceList;
struct IDevMgrDevice;
struct IDevMgrPropertyList;
struct IDevMgrProperty;
struct IDevMgrChannel;
struct IDevMgrChannelSink;
struct IDevMgrDeviceSink;

// The channel sink: events of one open channel. OnChallenge may block until the user
// answers; the device manager waits for it inside OpenChannel.
struct IDevMgrChannelSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnNotify() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnChallenge(LONG attemptsRemaining, BYTE answer[20]) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDataReady() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnClose() = 0;

 protected:
  ~IDevMgrChannelSink() = default;
};

// The device sink: arrival and removal of devices, on any thread. It has no IID of its
// own; the device manager asks for it through IUnknown.
struct IDevMgrDeviceSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void* device) = 0;

 protected:
  ~IDevMgrDeviceSink() = default;
};

struct IDevMgrMain : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) = 0;

 protected:
  ~IDevMgrMain() = default;
};

struct IDevMgrDeviceList : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItem(LONG index, IDevMgrDevice** device) = 0;

 protected:
  ~IDevMgrDeviceList() = default;
};

struct IDevMgrDevice : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** properties) = 0;
  // name is zero-terminated UTF-16. Returns only when the open has succeeded or failed;
  // a password challenge is raised on sink and answered before that.
  virtual HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                                IDevMgrChannel** channel) = 0;

 protected:
  ~IDevMgrDevice() = default;
};

struct IDevMgrPropertyList : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(LONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItem(VARIANT index, IDevMgrProperty** property) = 0;

 protected:
  ~IDevMgrPropertyList() = default;
};

struct IDevMgrProperty : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetName(BSTR* name) = 0;       // caller frees
  virtual HRESULT STDMETHODCALLTYPE GetValue(VARIANT* value) = 0;  // caller clears

 protected:
  ~IDevMgrProperty() = default;
};

struct IDevMgrChannel : IUnknown {
  // Slots 1 to 3 are never called by this program; they keep the slot order.
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  // Reads the oldest unread packet to the buffer's start; count receives its size.
  virtual HRESULT STDMETHODCALLTYPE ReadData(BYTE* buffer, ULONG capacity, ULONG* count) = 0;
  // Sends length bytes as one packet.
  virtual HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) = 0;

 protected:
  ~IDevMgrChannel() = default;
};
