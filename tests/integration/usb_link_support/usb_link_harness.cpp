// The USB-link test harness: temporary folder, recording log and sinks, raw handheld.
#include "integration/usb_link_support/usb_link_harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/text.h"
#include "device/sha1.h"
#include "platform/posix/usb_link/usb_socket.h"

namespace skiff::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/usblink-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

// ---- Log ----------------------------------------------------------------------------

void RecordingLog::Log(const std::string& line) {
  {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(line);
  }
  Notify();
}

std::vector<std::string> RecordingLog::Lines() const {
  std::lock_guard lock(m_mutex);
  return m_lines;
}

std::size_t RecordingLog::Count() const {
  std::lock_guard lock(m_mutex);
  return m_lines.size();
}

bool RecordingLog::WaitForCount(std::size_t count) {
  return WaitFor([&] { return m_lines.size() >= count; });
}

// ---- Device sink --------------------------------------------------------------------

HRESULT RecordingDeviceSink::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown) {
    AddRef();
    *object = static_cast<IUnknown*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT RecordingDeviceSink::OnDeviceConnected(void* device) {
  if (device == nullptr) return E_POINTER;
  if (onConnected) onConnected();
  {
    std::lock_guard lock(m_mutex);
    ++m_connected;
    m_threads.push_back(std::this_thread::get_id());
  }
  Notify();
  return S_OK;
}

HRESULT RecordingDeviceSink::OnDeviceDisconnected(void* device) {
  if (device == nullptr) return E_POINTER;
  {
    std::lock_guard lock(m_mutex);
    ++m_disconnected;
    m_threads.push_back(std::this_thread::get_id());
  }
  Notify();
  return S_OK;
}

int RecordingDeviceSink::Connected() const {
  std::lock_guard lock(m_mutex);
  return m_connected;
}

int RecordingDeviceSink::Disconnected() const {
  std::lock_guard lock(m_mutex);
  return m_disconnected;
}

bool RecordingDeviceSink::WaitConnected(int count) {
  return WaitFor([&] { return m_connected >= count; });
}

bool RecordingDeviceSink::WaitDisconnected(int count) {
  return WaitFor([&] { return m_disconnected >= count; });
}

std::vector<std::thread::id> RecordingDeviceSink::Threads() const {
  std::lock_guard lock(m_mutex);
  return m_threads;
}

// ---- Channel sink -------------------------------------------------------------------

HRESULT RecordingChannelSink::QueryInterface(REFIID riid, void** object) {
  if (riid == IID_IUnknown || riid == IID_IDevMgrChannelSink) {
    AddRef();
    *object = static_cast<IDevMgrChannelSink*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT RecordingChannelSink::OnChallenge(LONG attemptsRemaining, BYTE answer[20]) {
  std::size_t turn;
  {
    std::lock_guard lock(m_mutex);
    turn = m_attempts.size();
    m_attempts.push_back(attemptsRemaining);
    m_challengeThreads.push_back(std::this_thread::get_id());
  }
  Notify();
  if (duringChallenge) duringChallenge();
  if (passwords.empty()) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  const std::string& password = passwords[turn < passwords.size() ? turn : passwords.size() - 1];
  Sha1Digest(password.data(), password.size(), answer, kSha1DigestBytes);
  return S_OK;
}

HRESULT RecordingChannelSink::OnDataReady() {
  {
    std::lock_guard lock(m_mutex);
    ++m_dataReady;
  }
  Notify();
  if (onDataReady) onDataReady();
  return S_OK;
}

HRESULT RecordingChannelSink::OnClose() {
  {
    std::lock_guard lock(m_mutex);
    ++m_closed;
  }
  Notify();
  return S_OK;
}

int RecordingChannelSink::DataReady() const {
  std::lock_guard lock(m_mutex);
  return m_dataReady;
}

int RecordingChannelSink::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

std::vector<int> RecordingChannelSink::Attempts() const {
  std::lock_guard lock(m_mutex);
  return m_attempts;
}

std::vector<std::thread::id> RecordingChannelSink::ChallengeThreads() const {
  std::lock_guard lock(m_mutex);
  return m_challengeThreads;
}

bool RecordingChannelSink::WaitDataReady(int count) {
  return WaitFor([&] { return m_dataReady >= count; });
}

bool RecordingChannelSink::WaitClosed(int count) {
  return WaitFor([&] { return m_closed >= count; });
}

bool RecordingChannelSink::WaitChallenged(std::size_t count) {
  return WaitFor([&] { return m_attempts.size() >= count; });
}

// ---- Raw handheld -------------------------------------------------------------------

RawHandheld::RawHandheld(const std::string& socketPath) {
  std::string error;
  m_fd = usblink::ConnectToUsbSocket(socketPath, &error);
}

RawHandheld::~RawHandheld() {
  Close();
}

void RawHandheld::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

void RawHandheld::SendBytes(const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (m_fd >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the desktop may have hung up already: that is what some tests want
    sent += static_cast<std::size_t>(n);
  }
}

void RawHandheld::SendFrame(usblink::FrameKind kind, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> bytes(usblink::kFrameHeaderSize + body.size());
  usblink::EncodeFrameHeader(bytes.data(), kind, static_cast<std::uint16_t>(body.size()));
  if (!body.empty()) std::memcpy(bytes.data() + usblink::kFrameHeaderSize, body.data(), body.size());
  SendBytes(bytes);
}

void RawHandheld::Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more) {
  more.insert(more.begin(), usblink::DeviceProperty::MakeInteger("BBPIN", pin));
  std::vector<std::uint8_t> body;
  std::string error;
  if (!usblink::EncodeAttach(more, &body, &error)) std::abort();
  SendFrame(usblink::FrameKind::Attach, body);
}

std::optional<RawHandheld::Frame> RawHandheld::ReadFrame(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    usblink::FrameView view{};
    const auto result = m_reader.Next(view);
    if (result == usblink::FrameReader::Result::Frame) {
      return Frame{view.kind, std::vector<std::uint8_t>(view.body, view.body + view.length)};
    }
    if (result == usblink::FrameReader::Result::Bad || m_fd < 0) return std::nullopt;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd wait{m_fd, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t got = ::recv(m_fd, m_reader.FreeSpace(), m_reader.FreeSize(), 0);
    if (got <= 0) return std::nullopt;
    m_reader.Commit(static_cast<std::size_t>(got));
  }
}

bool RawHandheld::WaitForEnd(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::uint8_t scratch[4096];
  while (m_fd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wait{m_fd, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t got = ::recv(m_fd, scratch, sizeof scratch, 0);
    if (got <= 0) return true;
  }
  return true;
}

// ---- Helpers ------------------------------------------------------------------------

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> MakePacket(std::uint16_t type, std::uint16_t sequence, const std::string& payload) {
  // Sized once: growing a short vector trips a false array-bounds warning of GCC 12.
  std::vector<std::uint8_t> bytes(6 + payload.size());
  usblink::WriteLe16(bytes.data(), type);
  usblink::WriteLe16(bytes.data() + 2, sequence);
  usblink::WriteLe16(bytes.data() + 4, static_cast<std::uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(bytes.data() + 6, payload.data(), payload.size());
  return bytes;
}

std::vector<std::uint8_t> PasswordDigest(const std::string& password) {
  std::vector<std::uint8_t> digest(kSha1DigestBytes);
  Sha1Digest(password.data(), password.size(), digest.data(), digest.size());
  return digest;
}

IDevMgrDevice* DeviceAt(IDevMgrMain* manager, LONG index) {
  Ref<IDevMgrDeviceList> list;
  if (FAILED(manager->GetDevices(list.Out()))) return nullptr;
  IDevMgrDevice* device = nullptr;
  if (FAILED(list->GetItem(index, &device))) return nullptr;
  return device;
}

ULONG DeviceCount(IDevMgrMain* manager) {
  Ref<IDevMgrDeviceList> list;
  ULONG count = 0;
  if (FAILED(manager->GetDevices(list.Out())) || FAILED(list->GetCount(&count))) return 0xFFFFFFFF;
  return count;
}

std::string PropertyText(IDevMgrDevice* device, const std::string& name) {
  Ref<IDevMgrPropertyList> properties;
  LONG count = 0;
  if (FAILED(device->GetProperties(properties.Out())) || FAILED(properties->GetCount(&count)))
    return "(failed)";
  for (LONG index = 0; index < count; ++index) {
    VARIANT at;
    VariantInit(&at);
    at.vt = VT_I4;
    at.lVal = index;
    Ref<IDevMgrProperty> property;
    if (FAILED(properties->GetItem(at, property.Out()))) return "(failed)";
    BSTR propertyName = nullptr;
    if (FAILED(property->GetName(&propertyName))) return "(failed)";
    const std::string utf8 =
        WideToUtf8String(std::u16string_view(AsWide(propertyName), SysStringLen(propertyName)));
    SysFreeString(propertyName);
    if (utf8 != name) continue;
    VARIANT value;
    VariantInit(&value);
    if (FAILED(property->GetValue(&value))) return "(failed)";
    std::string text;
    if (value.vt == VT_I4) {
      text = "I4:" + std::to_string(value.lVal);
    } else if (value.vt == VT_BSTR) {
      text =
          "BSTR:" + WideToUtf8String(std::u16string_view(AsWide(value.bstrVal), SysStringLen(value.bstrVal)));
    } else {
      text = "VT:" + std::to_string(value.vt);
    }
    VariantClear(&value);
    return text;
  }
  return "(absent)";
}

std::string LastErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return {};
  BSTR description = nullptr;
  std::string text;
  if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr) {
    text = WideToUtf8String(std::u16string_view(AsWide(description), SysStringLen(description)));
  }
  SysFreeString(description);
  info->Release();
  return text;
}

}  // namespace skiff::testing
