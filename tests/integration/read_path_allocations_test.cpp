// Serving Read packets allocates nothing on the desktop's whole own path: the USB-link
// device manager's I/O thread, the channel's ReadData and WriteData, the device worker's
// wait and read, the dispatcher and the HTTP client. A raw handheld on the real socket
// drives a fetch; the transport hands back 4000-byte chunks from memory (libcurl's own
// allocations are counted in curl_allocations_test). Every operator new in the process
// is counted while the steady-state Reads run.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/activity_log.h"
#include "device/worker.h"
#include "fakes/device_test_support.h"
#include "fakes/fake_http_transport.h"
#include "fakes/fake_profile.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "usb_link/usb_device_manager.h"
#include "usb_link/usb_frame.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void* CountedAllocation(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}

}  // namespace

// Every allocation of every thread goes through these. (They pair malloc with free on
// purpose.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size) {
  return CountedAllocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocation(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* pointer) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  std::free(pointer);
}

namespace skiff {
namespace {

using usblink::FrameKind;
using usblink::FrameReader;
using usblink::FrameView;

constexpr std::uint16_t kReplyType = 15;
constexpr std::size_t kChunk = 4000;
constexpr int kWarmUpReads = 200;
constexpr int kCountedReads = 2000;
constexpr auto kSafetyWait = std::chrono::seconds(20);

class LineCounter : public ILogSink {
 public:
  void Log(const std::string& /*line*/) override { ++lines; }
  std::atomic<int> lines{0};
};

// A handheld that speaks frames with fixed buffers only, so that it allocates nothing
// itself while the Reads are counted.
class RawHandheld {
 public:
  bool Attach(const std::string& socketPath) {
    std::string reason;
    const auto deadline = std::chrono::steady_clock::now() + kSafetyWait;
    while (!(m_stream = usblink::ConnectToUsbSocket(socketPath, &reason))) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ::usleep(10000);
    }
    std::vector<std::uint8_t> body;
    if (!usblink::EncodeAttach({usblink::DeviceProperty::MakeInteger("BBPIN", 0x2A0F)}, &body, &reason))
      return false;
    if (!usblink::SendFrame(*m_stream, FrameKind::Attach, body.data(), body.size(), &reason)) return false;
    // The desktop opens the application channel; the handheld agrees.
    FrameView frame{};
    if (!NextFrame(&frame) || frame.kind != FrameKind::Open) return false;
    return usblink::SendFrame(*m_stream, FrameKind::Opened, nullptr, 0, &reason);
  }

  // Sends one request packet and waits for the DATA frame that answers it; the reply
  // packet's bytes are in Reply() until the next call.
  bool Request(std::uint16_t type, const void* payload, std::size_t length) {
    m_sequence = static_cast<std::uint16_t>(m_sequence % 30000 + 1);
    std::uint8_t packet[kPacketSize];
    usblink::WriteLe16(packet, type);
    usblink::WriteLe16(packet + 2, m_sequence);
    usblink::WriteLe16(packet + 4, static_cast<std::uint16_t>(length));
    if (length > 0) std::memcpy(packet + kPacketHeaderSize, payload, length);
    if (!usblink::SendFrame(*m_stream, FrameKind::Data, packet, kPacketHeaderSize + length, &m_reason))
      return false;
    FrameView frame{};
    if (!NextFrame(&frame) || frame.kind != FrameKind::DesktopData || frame.length < kPacketHeaderSize)
      return false;
    m_reply = frame.body;
    m_replySize = frame.length;
    return usblink::ReadLe16(m_reply + 2) == m_sequence;
  }
  bool RequestText(std::uint16_t type, const std::string& text) {
    return Request(type, text.data(), text.size());
  }

  std::uint16_t ReplyType() const { return usblink::ReadLe16(m_reply); }
  std::size_t ReplyPayloadSize() const { return m_replySize - kPacketHeaderSize; }
  const std::uint8_t* ReplyPayload() const { return m_reply + kPacketHeaderSize; }

 private:
  bool NextFrame(FrameView* frame) {
    for (;;) {
      switch (m_reader.Next(*frame)) {
        case FrameReader::Result::Frame:
          return true;
        case FrameReader::Result::Bad:
          return false;
        case FrameReader::Result::NeedMore:
          break;
      }
      pollfd wait{static_cast<int>(m_stream->Handle()), POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(std::chrono::milliseconds(kSafetyWait).count())) <= 0)
        return false;
      const std::ptrdiff_t got = m_stream->Receive(m_reader.FreeSpace(), m_reader.FreeSize());
      if (got < 0) return false;
      m_reader.Commit(static_cast<std::size_t>(got));
    }
  }

  std::unique_ptr<usblink::IUsbStream> m_stream;
  FrameReader m_reader{usblink::Direction::ToHandheld};
  std::uint16_t m_sequence = 0;
  const std::uint8_t* m_reply = nullptr;
  std::size_t m_replySize = 0;
  std::string m_reason;
};

TEST(ReadPathAllocations, SteadyStateReadsAllocateNothingFromSocketToSocket) {
  char folder[] = "/tmp/read_path_allocations.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string socketPath = std::string(folder) + "/usb.sock";

  // A body longer than the Reads that are made, so that every counted Read is a full
  // chunk, and one whose bytes say where they are.
  testing::FakeHttpTransport transport;
  transport.record = false;
  constexpr std::size_t kBodyBytes = (kWarmUpReads + kCountedReads + 10) * kChunk;
  transport.responseBody.resize(kBodyBytes);
  for (std::size_t i = 0; i < kBodyBytes; ++i) transport.responseBody[i] = static_cast<char>(i % 251);

  LineCounter usbLog;
  CUsbDeviceManagerFactory factory(usblink::UnixSocketEndpoint(socketPath), usbLog);
  testing::InMemoryProfile profile;
  testing::ScriptedPasswordRequester requester;
  testing::RecordingLogDisplay display;
  CActivityLog log;
  log.SetWindow(&display);
  CDeviceWorker worker(factory, transport, profile, requester, WorkerTiming{100, 100});
  requester.Attach(&worker);
  worker.SetLog(&log);
  worker.Start();

  {
    RawHandheld handheld;
    ASSERT_TRUE(handheld.Attach(socketPath));
    ASSERT_TRUE(display.WaitForLine("Client successfully connected"));
    const std::uint8_t port[2] = {80, 0}, secure[1] = {0};
    ASSERT_TRUE(handheld.RequestText(4, "allocation-test"));  // UserAgent
    ASSERT_TRUE(handheld.RequestText(5, "127.0.0.1"));        // Host
    ASSERT_TRUE(handheld.Request(6, port, sizeof port));      // Port
    ASSERT_TRUE(handheld.RequestText(7, "GET"));              // Verb
    ASSERT_TRUE(handheld.RequestText(8, "/body"));            // Path
    ASSERT_TRUE(handheld.Request(9, secure, sizeof secure));  // Secure
    ASSERT_TRUE(handheld.RequestText(10, ""));                // Headers
    ASSERT_TRUE(handheld.Request(12, nullptr, 0));            // Send
    ASSERT_EQ(handheld.ReplyType(), kReplyType);
    ASSERT_TRUE(handheld.Request(13, nullptr, 0));  // ResponseHeaders
    ASSERT_EQ(handheld.ReplyType(), kReplyType);

    std::size_t offset = 0;
    int wrongReplies = 0;
    auto readChunk = [&] {
      if (!handheld.Request(14, nullptr, 0)) return false;  // Read
      if (handheld.ReplyType() != kReplyType || handheld.ReplyPayloadSize() != kChunk ||
          std::memcmp(handheld.ReplyPayload(), transport.responseBody.data() + offset, kChunk) != 0)
        ++wrongReplies;
      offset += kChunk;
      return true;
    };
    for (int i = 0; i < kWarmUpReads; ++i) ASSERT_TRUE(readChunk());

    g_allocations = 0;
    g_counting = true;
    bool linkHeld = true;
    for (int i = 0; i < kCountedReads && linkHeld; ++i) linkHeld = readChunk();
    g_counting = false;
    const long allocations = g_allocations.load();

    ASSERT_TRUE(linkHeld);
    EXPECT_EQ(wrongReplies, 0);
    EXPECT_EQ(allocations, 0) << "heap allocations during " << kCountedReads << " Reads";
    // The counter sees allocations at all: one log line made now is counted.
    g_counting = true;
    log.AddLine("a line that the allocation counter must see");
    g_counting = false;
    EXPECT_GT(g_allocations.load(), allocations);
  }
  worker.Stop();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace skiff
