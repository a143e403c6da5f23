// The USB-link test harness: recording sinks, the raw handheld, helpers and the fixture.
#include "integration/usb_link_support/usb_link_harness.h"

#include <cstring>

#include "core/text.h"
#include "device/sha1.h"

namespace skiff::testing {
namespace {

std::string Utf8(BSTR text) {
  return WideToUtf8String(std::u16string_view(AsWide(text), SysStringLen(text)));
}

}  // namespace

HRESULT RecordingDeviceSink::QueryInterface(REFIID riid, void** object) {
  *object = riid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
  if (*object == nullptr) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT RecordingChannelSink::QueryInterface(REFIID riid, void** object) {
  const bool known = riid == IID_IUnknown || riid == IID_IDevMgrChannelSink;
  *object = known ? static_cast<IDevMgrChannelSink*>(this) : nullptr;
  if (!known) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT RecordingChannelSink::OnChallenge(LONG attemptsRemaining, BYTE answer[20]) {
  Record([&] { m_attempts.push_back(attemptsRemaining), ++challenged; });
  if (duringChallenge) duringChallenge();
  if (!password) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  Sha1Digest(password->data(), password->size(), answer, kSha1DigestBytes);
  return S_OK;
}

void RawHandheld::SendBytes(const Packet& bytes) {
  const usblink::IUsbStream::Part part{bytes.data(), bytes.size()};
  std::string ignored;
  if (m_stream) m_stream->Send(&part, 1, &ignored);
}

void RawHandheld::SendFrame(usblink::FrameKind kind, const Packet& body) {
  std::string ignored;
  if (m_stream) usblink::SendFrame(*m_stream, kind, body.data(), body.size(), &ignored);
}

void RawHandheld::Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more) {
  more.insert(more.begin(), usblink::DeviceProperty::MakeInteger("BBPIN", pin));
  Packet body;
  std::string error;
  ASSERT_TRUE(usblink::EncodeAttach(more, &body, &error)) << error;
  SendFrame(usblink::FrameKind::Attach, body);
}

bool RawHandheld::WaitReadable(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!m_stream || left.count() <= 0) return false;
    m_poller.Clear();
    m_poller.Add(m_stream->Handle());
    std::string error;
    if (!m_poller.Wait(static_cast<int>(left.count()), &error)) return false;
    if (m_poller.Readable(0)) return true;
  }
}

bool RawHandheld::NextFrame(usblink::FrameView& frame) {
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  for (;;) {
    const auto result = m_reader.Next(frame);
    if (result == usblink::FrameReader::Result::Frame) return true;
    if (result == usblink::FrameReader::Result::Bad || !WaitReadable(deadline)) return false;
    const std::ptrdiff_t got = m_stream->Receive(m_reader.FreeSpace(), m_reader.FreeSize());
    if (got < 0) return false;
    m_reader.Commit(static_cast<std::size_t>(got));
  }
}

std::optional<RawHandheld::Frame> RawHandheld::ReadFrame() {
  usblink::FrameView view{};
  if (!NextFrame(view)) return std::nullopt;
  return Frame{view.kind, Packet(view.body, view.body + view.length)};
}

bool RawHandheld::WaitForEnd() {
  const auto deadline = std::chrono::steady_clock::now() + kEventWait;
  std::uint8_t scratch[4096];
  while (WaitReadable(deadline)) {
    if (m_stream->Receive(scratch, sizeof scratch) < 0) return true;
  }
  return !m_stream;
}

Packet Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

Packet MakePacket(std::uint16_t type, std::uint16_t sequence, const std::string& payload) {
  // Sized once: growing a short vector trips a false array-bounds warning of GCC 12.
  Packet bytes(6 + payload.size());
  usblink::WriteLe16(bytes.data(), type);
  usblink::WriteLe16(bytes.data() + 2, sequence);
  usblink::WriteLe16(bytes.data() + 4, static_cast<std::uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(bytes.data() + 6, payload.data(), payload.size());
  return bytes;
}

IDevMgrDevice* DeviceAt(IDevMgrMain* manager, LONG index) {
  Ref<IDevMgrDeviceList> list;
  IDevMgrDevice* device = nullptr;
  if (FAILED(manager->GetDevices(list.Out())) || FAILED(list->GetItem(index, &device))) return nullptr;
  return device;
}

ULONG DeviceCount(IDevMgrMain* manager) {
  Ref<IDevMgrDeviceList> list;
  ULONG count = 0;
  if (FAILED(manager->GetDevices(list.Out())) || FAILED(list->GetCount(&count))) return 0xFFFFFFFF;
  return count;
}

std::vector<std::string> Properties(IDevMgrDevice* device) {
  std::vector<std::string> shown;
  Ref<IDevMgrPropertyList> properties;
  LONG count = 0;
  if (FAILED(device->GetProperties(properties.Out())) || FAILED(properties->GetCount(&count)))
    return {"(failed)"};
  for (LONG index = 0; index <= count; ++index) {
    VARIANT at, value;
    VariantInit(&at), VariantInit(&value);
    at.vt = VT_I4;
    at.lVal = index;
    Ref<IDevMgrProperty> property;
    const HRESULT found = properties->GetItem(at, property.Out());
    BSTR name = nullptr;
    if (index == count) {  // one past the end is refused
      if (found != E_INVALIDARG || property) shown.push_back("(one too many)");
    } else if (FAILED(found) || FAILED(property->GetName(&name)) || FAILED(property->GetValue(&value))) {
      shown.push_back("(failed)");
    } else {
      shown.push_back(Utf8(name) + (value.vt == VT_I4     ? "=I4:" + std::to_string(value.lVal)
                                    : value.vt == VT_BSTR ? "=BSTR:" + Utf8(value.bstrVal)
                                                          : "=VT:" + std::to_string(value.vt)));
    }
    SysFreeString(name);
    VariantClear(&value);
  }
  return shown;
}

HRESULT OpenChannel(IDevMgrDevice* device, IDevMgrChannelSink& sink, IDevMgrChannel** channel) {
  return device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, channel);
}

std::string LastErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return {};
  BSTR description = nullptr;
  std::string text;
  if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr) text = Utf8(description);
  SysFreeString(description);
  info->Release();
  return text;
}

Packet ReadPacket(IDevMgrChannel* channel) {
  BYTE buffer[4006];
  ULONG count = 0;
  if (channel->ReadData(buffer, sizeof buffer, &count) != S_OK) return {};
  return {buffer, buffer + count};
}

HRESULT WritePacket(IDevMgrChannel* channel, const Packet& packet) {
  return channel->WriteData(packet.data(), static_cast<ULONG>(packet.size()));
}

void UsbLinkTest::CreateOn(std::unique_ptr<usblink::IUsbEndpoint> endpoint, UsbLinkTiming timing) {
  factory = std::make_unique<CUsbDeviceManagerFactory>(std::move(endpoint), log, timing);
  ASSERT_EQ(factory->CreateDeviceManager(manager.Out(), &tcpPort), S_OK);
  ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &cookie), S_OK);
  advised = true;
}

void UsbLinkTest::ReleaseManager() {
  if (manager && advised) manager->UnadviseDeviceEvents(cookie);
  advised = false;
  manager.Reset();
}

void UsbLinkTest::TearDown() {
  ReleaseManager();
  EXPECT_EQ(deviceSink.references, 1) << "the manager kept a reference to the device sink";
}

IDevMgrDevice* UsbLinkTest::WaitForDevice(int count) {
  EXPECT_TRUE(deviceSink.Wait(deviceSink.connected, count));
  return DeviceAt(manager.Get(), static_cast<LONG>(DeviceCount(manager.Get())) - 1);
}

void UsbLinkTest::ExpectLogged(int count, const std::string& reason) {
  EXPECT_TRUE(log.Wait(log.count, count));
  EXPECT_EQ(log.count, count);
  EXPECT_NE(log.Last().find(reason), std::string::npos) << log.Last();
}

}  // namespace skiff::testing
