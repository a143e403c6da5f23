// Serving Read packets allocates nothing on the desktop's whole own path: the USB-link
// device manager, the channel, the device worker, the dispatcher and the HTTP client. A
// raw handheld drives a fetch whose transport hands back 4000-byte chunks from memory
// (libcurl's own allocations: curl_transport_test); every operator new is counted.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/activity_log.h"
#include "device/worker.h"
#include "integration/usb_link_support/usb_link_harness.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "support/counting_allocator.h"
#include "support/device_test_support.h"
#include "support/fake_http_transport.h"
#include "support/fake_profile.h"
#include "support/temporary_folder.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;

constexpr std::size_t kChunk = 4000;
constexpr int kWarmUpReads = 200;
constexpr int kCountedReads = 2000;

TEST(ReadPathAllocations, SteadyStateReadsAllocateNothingFromSocketToSocket) {
  TemporaryFolder dir;
  const std::string socketPath = dir.Path() + "/usb.sock";
  // A body longer than the Reads made, so that every counted Read is a full chunk, and
  // one whose bytes say where they are.
  FakeHttpTransport transport;
  transport.record = false;
  transport.responseBody.resize((kWarmUpReads + kCountedReads + 10) * kChunk);
  for (std::size_t i = 0; i < transport.responseBody.size(); ++i)
    transport.responseBody[i] = static_cast<char>(i % 251);

  CollectingSink usbLog;
  CUsbDeviceManagerFactory factory(usblink::UnixSocketEndpoint(socketPath), usbLog);
  InMemoryProfile profile;
  ScriptedPasswordRequester requester;
  RecordingLogDisplay display;
  CActivityLog log;
  log.SetWindow(&display);
  CDeviceWorker worker(factory, transport, profile, requester, WorkerTiming{100, 100});
  requester.Attach(&worker);
  worker.SetLog(&log);
  worker.Start();
  {
    ASSERT_TRUE(usbLog.WaitForCount(1));  // the worker's manager listens
    std::string error;
    RawHandheld handheld(usblink::ConnectToUsbSocket(socketPath, &error));
    ASSERT_TRUE(handheld.Connected()) << error;
    handheld.Attach(0x2A0F);
    ASSERT_EQ(handheld.ReadFrame(), (RawHandheld::Frame{FrameKind::Open, AsBytes("SkiffhouseUSB")}));
    handheld.SendFrame(FrameKind::Opened);
    // One request packet and the DATA frame that answers it, allocating nothing: the
    // packet's buffer is reused, the reply stays in the handheld's reader.
    Bytes packet(kPacketSize);
    usblink::FrameView reply{};
    std::uint16_t sequence = 0;
    auto request = [&](std::uint16_t type, const std::string& payload = {}) {
      EncodePacket(type, ++sequence, payload, packet);
      handheld.SendFrame(FrameKind::Data, packet);
      return handheld.NextFrame(reply) && reply.kind == FrameKind::DesktopData && reply.length >= 6 &&
             usblink::ReadLe16(reply.body) == 15 && usblink::ReadLe16(reply.body + 2) == sequence;
    };
    const std::string setup[] = {"allocation-test",    "127.0.0.1", std::string("\x50\0", 2), "GET", "/body",
                                 std::string(1, '\0'), ""};
    // UserAgent to Headers (no Body), Send, ResponseHeaders.
    for (std::uint16_t type = 4; type <= 13; ++type) {
      ASSERT_TRUE(type == 11 || request(type, type <= 10 ? setup[type - 4] : "")) << type;
    }
    std::size_t offset = 0;
    int wrongReplies = 0;
    auto readChunk = [&] {
      if (!request(14)) return false;  // Read
      if (reply.length != 6 + kChunk ||
          std::memcmp(reply.body + 6, transport.responseBody.data() + offset, kChunk) != 0)
        ++wrongReplies;
      offset += kChunk;
      return true;
    };
    for (int i = 0; i < kWarmUpReads; ++i) ASSERT_TRUE(readChunk());

    const long before = AllocationCount();
    bool linkHeld = true;
    for (int i = 0; i < kCountedReads && linkHeld; ++i) linkHeld = readChunk();
    const long allocations = AllocationCount() - before;
    ASSERT_TRUE(linkHeld);
    EXPECT_EQ(wrongReplies, 0);
    EXPECT_EQ(allocations, 0) << "heap allocations during " << kCountedReads << " Reads";
    // The counter sees allocations at all: one log line made now is counted.
    const long beforeLine = AllocationCount();
    log.AddLine("a line that the allocation counter must see");
    EXPECT_GT(AllocationCount(), beforeLine);
  }
  worker.Stop();
}

}  // namespace
}  // namespace skiff::testing
