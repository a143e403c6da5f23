// The USB-link device manager on a real Unix socket, against raw handhelds: the socket's
// rules, devices and channels, packets both ways, closing and unplugging at awkward
// moments, a handheld that stops reading, bad input, and unadvising mid-event.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <tuple>

#include "integration/usb_link_support/usb_link_harness.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "support/temporary_folder.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using Frame = RawHandheld::Frame;

// The file's type and permissions; 0 when there is none.
unsigned Mode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & (S_IFMT | 0777) : 0;
}

// A raw handheld, its device and, once opened, its channel.
struct Link {
  explicit Link(std::unique_ptr<usblink::IUsbStream> stream) : handheld(std::move(stream)) {}
  // OpenChannel on another thread: the result, the channel and the error description.
  std::future<std::tuple<HRESULT, IDevMgrChannel*, std::string>> StartOpen(
      const char16_t* name = u"SkiffhouseUSB") {
    return std::async(std::launch::async, [this, name] {
      IDevMgrChannel* opened = nullptr;
      const HRESULT result = device->OpenChannel(AsOle(name), &sink, &opened);
      return std::tuple{result, opened, LastErrorDescription()};
    });
  }
  void Open() {  // the handheld answers OPENED
    auto call = StartOpen();
    EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::Open, AsBytes("SkiffhouseUSB")}));
    handheld.SendFrame(FrameKind::Opened);
    const auto [result, opened, description] = call.get();
    EXPECT_EQ(result, S_OK) << description;
    *channel.Out() = opened;
  }

  RawHandheld handheld;
  Ref<IDevMgrDevice> device;
  RecordingSink sink;
  Ref<IDevMgrChannel> channel;
};

class UsbLinkManagerTest : public UsbLinkTest {
 protected:
  void Create(UsbLinkTiming timing = {}) { CreateOn(usblink::UnixSocketEndpoint(socketPath), timing); }
  std::unique_ptr<Link> Connect() {
    return std::make_unique<Link>(usblink::ConnectToUsbSocket(socketPath, &error));
  }
  // A raw handheld that attached with pin, listed by the manager; opened when asked.
  std::unique_ptr<Link> Attach(std::int32_t pin, bool open = false,
                               std::vector<usblink::DeviceProperty> more = {}) {
    auto link = Connect();
    EXPECT_TRUE(link->handheld.Connected()) << error;
    const int before = deviceSink.connected;
    link->handheld.Attach(pin, std::move(more));
    *link->device.Out() = WaitForDevice(before + 1);
    if (open && link->device) link->Open();
    return link;
  }

  TemporaryFolder dir;
  std::string socketPath = dir.Path() + "/usb.sock", error;
};

TEST_F(UsbLinkManagerTest, SocketIsPrivateServedByOneManagerAtATimeAndGoesWithIt) {
  socketPath = dir.Path() + "/made/usb.sock";
  Create();
  EXPECT_EQ(Mode(dir.Path() + "/made"), S_IFDIR | 0700u);
  EXPECT_EQ(Mode(socketPath), S_IFSOCK | 0600u);
  // A live listener is left alone; retries do not fill the log.
  Ref<IDevMgrMain> second;
  for (int retry = 0; retry < 2; ++retry)
    EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + socketPath);
  ExpectLogged(2, "already listening");
  auto link = Attach(1);  // the first one still serves
  ReleaseManager();
  EXPECT_EQ(Mode(socketPath), 0u) << "the last release removes the socket";
  EXPECT_TRUE(link->handheld.WaitForEnd());

  // A file that is no socket is not replaced (a stale socket is: see the end-to-end tests).
  const std::string filePath = dir.Path() + "/not-a-socket";
  std::ofstream(filePath) << "keep me";
  CUsbDeviceManagerFactory other(usblink::UnixSocketEndpoint(filePath), log);
  EXPECT_EQ(other.CreateDeviceManager(second.Out()), kUsbSocketFailed);
  EXPECT_EQ(Mode(filePath) & S_IFMT, unsigned{S_IFREG}) << "the file stays";
}

TEST_F(UsbLinkManagerTest, EachHandheldIsADeviceWhoseChannelCarriesItsOwnPacketsUntilEitherSideCloses) {
  Create();
  auto a = Attach(0x2A0F, false, {usblink::DeviceProperty::MakeText("Name", "Sk\303\257ff")});
  auto b = Attach(2, true);

  // A refusal carries the handheld's reason; the channel name goes out in UTF-8.
  auto refused = a->StartOpen(u"Other\u00e9");
  EXPECT_EQ(a->handheld.ReadFrame(), (Frame{FrameKind::Open, AsBytes("Other\xC3\xA9")}));
  a->handheld.SendFrame(FrameKind::Refused, AsBytes("nobody listens there"));
  const auto [result, none, description] = refused.get();
  EXPECT_EQ(result, kChannelRefused);
  EXPECT_NE(description.find("nobody listens there"), std::string::npos) << description;
  a->Open();
  IDevMgrChannel* another = nullptr;
  EXPECT_EQ(OpenChannel(a->device.Get(), b->sink, &another), kChannelBusy);

  // In: one event and one read per packet, the oldest first, each on its own channel.
  const std::vector<Bytes> in = {
      {0x42}, PacketBytes(1, 1, "abc"), PacketBytes(11, 2, std::string(4000, 'b'))};
  for (const auto& packet : in) a->handheld.SendFrame(FrameKind::Data, packet);
  b->handheld.SendFrame(FrameKind::Data, PacketBytes(1, 9, "to B"));
  ASSERT_TRUE(a->sink.Wait(a->sink.dataReady, 3));
  for (const auto& expected : in) EXPECT_EQ(ReadPacket(a->channel.Get()), expected);
  BYTE byte;
  ULONG count = 0;
  EXPECT_EQ(a->channel->ReadData(&byte, 1, &count), kNoData);
  ASSERT_TRUE(b->sink.Wait(b->sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(b->channel.Get()), PacketBytes(1, 9, "to B"));
  EXPECT_EQ(a->sink.dataReady, 3);
  // Out: 6 to 4006 bytes, each one DATA frame byte for byte.
  for (const auto& packet : {PacketBytes(15, 9, ""), PacketBytes(15, 10, std::string(4000, 'x'))}) {
    ASSERT_EQ(WritePacket(a->channel.Get(), packet), S_OK);
    EXPECT_EQ(a->handheld.ReadFrame(), (Frame{FrameKind::DesktopData, packet}));
  }
  EXPECT_EQ(WritePacket(a->channel.Get(), Bytes(4007)), E_INVALIDARG);
  EXPECT_NE(LastErrorDescription().find("4007 bytes"), std::string::npos);

  // The handheld closes: OnClose once, the unread packet stays, no answer can go.
  const auto last = PacketBytes(30, 4, "bye");
  b->handheld.SendFrame(FrameKind::Data, last);
  b->handheld.SendFrame(FrameKind::Close);
  ASSERT_TRUE(b->sink.Wait(b->sink.closed, 1));
  EXPECT_EQ(ReadPacket(b->channel.Get()), last);
  EXPECT_EQ(WritePacket(b->channel.Get(), PacketBytes(15, 4, "")), kChannelClosed);
  // Releasing a closed channel sends no CLOSE: the next frame is the next OPEN.
  b->channel.Reset();
  EXPECT_EQ(b->sink.references, 1) << "a closed channel holds no sink";
  b->Open();
  // The desktop closes: CLOSE goes out, and no call reaches the sink any more. DATA and
  // CLOSE the handheld sent before it saw ours are dropped quietly: the connection lives.
  b->channel.Reset();
  EXPECT_EQ(b->handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  b->handheld.SendFrame(FrameKind::Data, PacketBytes(1, 2, "late"));
  b->handheld.SendFrame(FrameKind::Close);
  b->Open();
  EXPECT_EQ(b->sink.closed, 1);
  EXPECT_EQ(b->sink.dataReady, 2) << "\"late\" never reached the sink";
  EXPECT_EQ(log.Count(), 1u);
}

TEST_F(UsbLinkManagerTest, UnplugWhileOpeningChallengedOrMidFetchAndAStalledReaderFailCleanly) {
  Create({10000, 200});
  for (const bool challenged : {false, true}) {
    SCOPED_TRACE(challenged ? "challenged" : "opening");
    // The user may still be looking at the prompt when the handheld goes: the device is
    // removed at once, and the open fails once the prompt returns.
    auto link = Attach(1);
    link->sink.password = "pw";
    std::promise<void> answered;
    link->sink.duringChallenge = [answer = answered.get_future().share()] { answer.wait(); };
    auto call = link->StartOpen();
    ASSERT_TRUE(link->handheld.ReadFrame());
    if (challenged) {
      link->handheld.SendFrame(FrameKind::Challenge, {10, 0, 0, 0});
      ASSERT_TRUE(link->sink.Wait(link->sink.challenged, 1));
    }
    link->handheld.Close();
    ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, challenged ? 2 : 1));
    EXPECT_EQ(DeviceCount(manager.Get()), 0u);
    answered.set_value();
    EXPECT_EQ(std::get<0>(call.get()), kDeviceGone);
    EXPECT_EQ(link->sink.references, 1);
  }
  // Mid-fetch: the request that came before can still be read; its answer cannot go.
  auto link = Attach(1, true);
  const auto read = PacketBytes(14, 11, "");
  link->handheld.SendFrame(FrameKind::Data, read);
  link->handheld.Close();
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  EXPECT_EQ(ReadPacket(link->channel.Get()), read);
  EXPECT_EQ(WritePacket(link->channel.Get(), PacketBytes(15, 11, std::string(4000, 'd'))), kDeviceGone);
  EXPECT_EQ(OpenChannel(link->device.Get(), link->sink, link->channel.Out()), kDeviceGone);
  EXPECT_EQ(link->sink.references, 1);

  // A handheld that never reads fills the socket's buffer; a write then waits 200 ms and
  // the handheld is dropped. The unplugs above logged nothing: the count is exact.
  auto stuck = Attach(1, true);
  const auto chunk = PacketBytes(15, 1, std::string(4000, 'c'));
  HRESULT result = S_OK;
  for (int sent = 0; SUCCEEDED(result) && sent < 100000; ++sent)
    result = WritePacket(stuck->channel.Get(), chunk);
  EXPECT_EQ(result, kDeviceGone);
  ASSERT_TRUE(stuck->sink.Wait(stuck->sink.closed, 1));
  ExpectLogged(2, "send timed out");
}

// The frame reader's own refusals are tested with the reader; here one of them, every
// frame out of turn, and a flood of unread packets.
TEST_F(UsbLinkManagerTest, BadInputEndsOnlyThatConnectionWithOneLogLine) {
  enum Stage { Connected, Attached, Opened };
  const struct {
    Stage stage;
    std::uint8_t kind;
    Bytes body;
    const char* reason;
    int times = 1;
  } cases[] = {
      {Attached, 0x42, {}, "unknown frame kind 0x42"},
      {Connected, 0x01, {1, 0, 5, 0, 'B'}, "ATTACH property 1 of 1"},
      {Connected, 0x10, {1}, "the first frame is DATA, not ATTACH"},
      {Attached, 0x01, {0, 0}, "a second ATTACH"},
      {Attached, 0x10, {1, 2, 3}, "DATA on a closed channel"},
      {Attached, 0x02, {}, "OPENED without an OPEN"},
      {Attached, 0x04, {5, 0, 0, 0}, "CHALLENGE without an OPEN"},
      {Attached, 0x11, {}, "CLOSE with no channel open"},
      {Opened, 0x02, {}, "OPENED without an OPEN"},
      {Opened, 0x10, PacketBytes(1, 1, "flood"), "more than 64 unread packets", 65},
  };
  Create();
  auto good = Attach(100, true);
  int disconnects = 0, served = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::size_t linesBefore = log.Count();
    auto bad = c.stage == Connected ? Connect() : Attach(1, c.stage == Opened);
    for (int time = 0; time < c.times; ++time)
      bad->handheld.SendFrame(static_cast<FrameKind>(c.kind), c.body);
    EXPECT_TRUE(bad->handheld.WaitForEnd());
    ExpectLogged(linesBefore + 1, c.reason);
    if (c.stage != Connected) {
      ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, ++disconnects));
    }
    if (c.stage == Opened) {
      EXPECT_TRUE(bad->sink.Wait(bad->sink.closed, 1));
    }
    good->handheld.SendFrame(FrameKind::Data, PacketBytes(1, 1, c.reason));  // the good one is still served
    ASSERT_TRUE(good->sink.Wait(good->sink.dataReady, ++served));
    EXPECT_EQ(ReadPacket(good->channel.Get()), PacketBytes(1, 1, c.reason));
  }
  EXPECT_EQ(deviceSink.connected, 1 + disconnects) << "bad input before ATTACH never made a device";
}

TEST_F(UsbLinkManagerTest, UnadviseWaitsForAnEventBeingDelivered) {
  std::promise<void> entered, leave;
  deviceSink.onConnected = [&, leaving = leave.get_future().share()] {
    entered.set_value();
    leaving.wait();
  };
  Create();
  auto link = Connect();
  link->handheld.Attach(1);
  entered.get_future().wait();
  auto unadvise = std::async(std::launch::async, [&] { return manager->UnadviseDeviceEvents(cookie); });
  EXPECT_NE(unadvise.wait_for(std::chrono::milliseconds(100)), std::future_status::ready)
      << "returned too soon";
  leave.set_value();
  EXPECT_EQ(unadvise.get(), S_OK);
  EXPECT_EQ(deviceSink.connected, 1) << "the event was counted before Unadvise returned";
  advised = false;
  EXPECT_EQ(deviceSink.references, 1);
}

}  // namespace
}  // namespace skiff::testing
