// The USB-link device manager on a real Unix socket, against raw handhelds: the socket's
// rules, devices, opening with and without passwords, packets both ways, unplugging at
// awkward moments, bad input, and letting go of everything in any order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <thread>

#include "integration/usb_link_support/usb_link_harness.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "support/test_peers.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using namespace std::chrono_literals;
using Frame = RawHandheld::Frame;

// The file's type and permissions; 0 when there is none.
unsigned Mode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & (S_IFMT | 0777) : 0;
}

struct OpenCall {
  HRESULT result = E_FAIL;
  IDevMgrChannel* channel = nullptr;
  std::string description;
};

// A raw handheld, its device and, once opened, its channel.
struct Link {
  explicit Link(std::unique_ptr<usblink::IUsbStream> stream) : handheld(std::move(stream)) {}
  RawHandheld handheld;
  Ref<IDevMgrDevice> device;
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel;

  std::future<OpenCall> StartOpen(RecordingChannelSink& with, const char16_t* name = u"SkiffhouseUSB") {
    return std::async(std::launch::async, [this, &with, name] {
      OpenCall call;
      call.result = device->OpenChannel(AsOle(name), &with, &call.channel);
      if (FAILED(call.result)) call.description = LastErrorDescription();
      return call;
    });
  }
  // Opens the channel with the link's own sink, the handheld answering OPENED.
  void Open() {
    auto call = StartOpen(sink);
    EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("SkiffhouseUSB")}));
    handheld.SendFrame(FrameKind::Opened);
    OpenCall result = call.get();
    EXPECT_EQ(result.result, S_OK) << result.description;
    *channel.Out() = result.channel;
  }
  // A packet each way.
  void Exchange(const std::string& text) {
    const auto request = MakePacket(1, 1, text), reply = MakePacket(2, 1, "Pong: " + text);
    const int before = sink.dataReady;
    handheld.SendFrame(FrameKind::Data, request);
    ASSERT_TRUE(sink.Wait(sink.dataReady, before + 1));
    EXPECT_EQ(ReadPacket(channel.Get()), request);
    ASSERT_EQ(WritePacket(channel.Get(), reply), S_OK);
    EXPECT_EQ(handheld.ReadFrame(), (Frame{FrameKind::DesktopData, reply}));
  }
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

  test::TempDir dir;
  std::string socketPath = dir.Path() + "/usb.sock", error;
};

TEST_F(UsbLinkManagerTest, SocketIsPrivateServedByOneManagerAtATimeAndGoesWithIt) {
  socketPath = dir.Path() + "/made/usb.sock";
  Create();
  EXPECT_EQ(Mode(dir.Path() + "/made"), S_IFDIR | 0700u);
  EXPECT_EQ(Mode(socketPath), S_IFSOCK | 0600u);
  // A live listener is left alone; retries do not fill the log.
  Ref<IDevMgrMain> second;
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
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
  Ref<IDevMgrMain> refused;
  EXPECT_EQ(other.CreateDeviceManager(refused.Out()), kUsbSocketFailed);
  EXPECT_EQ(Mode(filePath) & S_IFMT, unsigned{S_IFREG}) << "the file stays";
}

TEST_F(UsbLinkManagerTest, DevicesOpenOnePerHandheldAndCarryTheirOwnPacketsBothWays) {
  const auto testThread = std::this_thread::get_id();
  deviceSink.onConnected = [testThread] { EXPECT_NE(std::this_thread::get_id(), testThread); };
  Create();
  auto a = Attach(0x2A0F, false,
                  {usblink::DeviceProperty::MakeText("Name", "Sk\303\257ff"),
                   usblink::DeviceProperty::MakeInteger("Neg", -5)});
  auto b = Attach(2), c = Attach(3);
  EXPECT_EQ(Properties(a->device.Get()),
            (std::vector<std::string>{"BBPIN=I4:10767", "Name=BSTR:Sk\303\257ff", "Neg=I4:-5"}));
  Ref<IDevMgrDevice> listed(DeviceAt(manager.Get(), 2));
  EXPECT_EQ(Properties(listed.Get()).at(0), "BBPIN=I4:3") << "listed in order of attachment";

  // A refusal carries the handheld's reason; the channel name goes out in UTF-8.
  auto refused = a->StartOpen(a->sink, u"Other\u00e9");
  EXPECT_EQ(a->handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("Other\xC3\xA9")}));
  a->handheld.SendFrame(FrameKind::Refused, Bytes("nobody listens there"));
  OpenCall result = refused.get();
  EXPECT_EQ(result.result, kChannelRefused);
  EXPECT_NE(result.description.find("nobody listens there"), std::string::npos) << result.description;
  EXPECT_EQ(a->sink.references, 1) << "the sink of a failed open is let go";
  a->Open();
  c->Open();
  RecordingChannelSink otherSink;
  IDevMgrChannel* another = nullptr;
  EXPECT_EQ(OpenChannel(a->device.Get(), otherSink, &another), kChannelBusy);

  // In: one event and one read per packet, the oldest first; a buffer too small keeps it.
  const std::vector<Packet> in = {{0x42}, MakePacket(1, 1, "abc"), MakePacket(11, 2, std::string(4000, 'b'))};
  for (const auto& packet : in) a->handheld.SendFrame(FrameKind::Data, packet);
  c->handheld.SendFrame(FrameKind::Data, MakePacket(1, 9, "to C"));
  ASSERT_TRUE(a->sink.Wait(a->sink.dataReady, 3));
  BYTE small[1];
  ULONG count = 0;
  EXPECT_EQ(a->channel->ReadData(small, 0, &count), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 1u);
  for (const auto& expected : in) EXPECT_EQ(ReadPacket(a->channel.Get()), expected);
  EXPECT_EQ(a->channel->ReadData(small, sizeof small, &count), kNoData);
  ASSERT_TRUE(c->sink.Wait(c->sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(c->channel.Get()), MakePacket(1, 9, "to C"));
  EXPECT_EQ(a->sink.dataReady, 3);
  // Out: 6 to 4006 bytes, each one DATA frame byte for byte.
  for (const auto& packet : {MakePacket(15, 9, ""), MakePacket(15, 10, std::string(4000, 'x'))}) {
    ASSERT_EQ(WritePacket(a->channel.Get(), packet), S_OK);
    EXPECT_EQ(a->handheld.ReadFrame(), (Frame{FrameKind::DesktopData, packet}));
  }
  Packet tooLong(4007, 0);
  EXPECT_EQ(a->channel->WriteData(tooLong.data(), 5), E_INVALIDARG);
  EXPECT_EQ(WritePacket(a->channel.Get(), tooLong), E_INVALIDARG);
  EXPECT_NE(LastErrorDescription().find("4007 bytes"), std::string::npos);

  // A detach removes only that device; a list taken before still holds it, gone.
  Ref<IDevMgrDeviceList> oldList;
  ASSERT_EQ(manager->GetDevices(oldList.Out()), S_OK);
  b->handheld.Close();
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  EXPECT_EQ(DeviceCount(manager.Get()), 2u);
  ASSERT_EQ(oldList->GetCount(&count), S_OK);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(OpenChannel(b->device.Get(), b->sink, &another), kDeviceGone);
  EXPECT_EQ(Properties(b->device.Get()).at(0), "BBPIN=I4:2");
  a->Exchange("still here");
  EXPECT_EQ(log.count, 1) << "an ordinary detach is no news for the log: " << log.Last();
}

TEST_F(UsbLinkManagerTest, CloseFromEitherSideEndsTheChannelOnceAndKeepsTheConnection) {
  Create();
  auto link = Attach(3, true);
  // The handheld closes: OnClose once, the unread packet stays, no answer can go.
  const auto last = MakePacket(30, 4, "bye");
  link->handheld.SendFrame(FrameKind::Data, last);
  link->handheld.SendFrame(FrameKind::Close);
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  EXPECT_EQ(ReadPacket(link->channel.Get()), last);
  EXPECT_EQ(WritePacket(link->channel.Get(), MakePacket(15, 4, "")), kChannelClosed);
  // Releasing a closed channel sends no CLOSE: the next frame is the next OPEN.
  link->channel.Reset();
  EXPECT_EQ(link->sink.references, 1) << "a closed channel holds no sink";
  link->Open();
  // The desktop closes: CLOSE goes out, and no call reaches the sink any more.
  link->channel.Reset();
  EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  // DATA and CLOSE the handheld sent before it saw ours are dropped quietly; a new open
  // on the same connection proves they did not end it.
  link->handheld.SendFrame(FrameKind::Data, MakePacket(1, 2, "late"));
  link->handheld.SendFrame(FrameKind::Close);
  link->Open();
  EXPECT_EQ(link->sink.closed, 1);
  EXPECT_EQ(link->sink.dataReady, 1);
  EXPECT_EQ(log.count, 1);
}

TEST_F(UsbLinkManagerTest, UnplugWhileOpeningChallengedOrMidFetchFailsCleanly) {
  Create();
  for (const bool challenged : {false, true}) {
    SCOPED_TRACE(challenged ? "challenged" : "opening");
    // The user may still be looking at the prompt when the handheld goes: the device is
    // removed at once, and the open fails once the prompt returns.
    auto link = Attach(1);
    link->sink.password = "pw";
    std::promise<void> answered;
    link->sink.duringChallenge = [answer = answered.get_future().share()] { answer.wait(); };
    auto call = link->StartOpen(link->sink);
    ASSERT_TRUE(link->handheld.ReadFrame());
    if (challenged) {
      link->handheld.SendFrame(FrameKind::Challenge, {10, 0, 0, 0});
      ASSERT_TRUE(link->sink.Wait(link->sink.challenged, 1));
    }
    link->handheld.Close();
    ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, challenged ? 2 : 1));
    EXPECT_EQ(DeviceCount(manager.Get()), 0u);
    answered.set_value();
    EXPECT_EQ(call.get().result, kDeviceGone);
    EXPECT_EQ(link->sink.references, 1);
  }
  // Mid-fetch: the request that came before can still be read; its answer cannot go.
  auto link = Attach(1, true);
  const auto read = MakePacket(14, 11, "");
  link->handheld.SendFrame(FrameKind::Data, read);
  link->handheld.Close();
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  EXPECT_EQ(ReadPacket(link->channel.Get()), read);
  EXPECT_EQ(WritePacket(link->channel.Get(), MakePacket(15, 11, std::string(4000, 'd'))), kDeviceGone);
  link->channel.Reset();
  EXPECT_EQ(link->sink.references, 1);
  EXPECT_EQ(log.count, 1) << "an unplug is no bad input";
}

TEST_F(UsbLinkManagerTest, HandheldThatTakesNoDataIsDroppedInsteadOfBlockingTheWriter) {
  Create({10000, 200});
  auto stuck = Attach(1, true);  // never reads
  const auto chunk = MakePacket(15, 1, std::string(4000, 'c'));
  HRESULT result = S_OK;
  // The socket's buffer fills up, then a write waits 200 ms and the handheld is dropped.
  for (int sent = 0; SUCCEEDED(result) && sent < 100000; ++sent)
    result = WritePacket(stuck->channel.Get(), chunk);
  EXPECT_EQ(result, kDeviceGone);
  ASSERT_TRUE(stuck->sink.Wait(stuck->sink.closed, 1));
  ExpectLogged(2, "send timed out");
}

Packet RawFrame(std::uint8_t kind, const Packet& body) {
  Packet bytes(4 + body.size());  // sized once, for GCC 12's array-bounds warning
  bytes[0] = kind;
  usblink::WriteLe16(bytes.data() + 2, static_cast<std::uint16_t>(body.size()));
  std::copy(body.begin(), body.end(), bytes.begin() + 4);
  return bytes;
}

// The frame reader's own refusals are tested with the reader; here one of them, every
// frame out of turn, and a flood of unread packets.
TEST_F(UsbLinkManagerTest, BadInputEndsOnlyThatConnectionWithOneLogLine) {
  enum Stage { Connected, Attached, Opened };
  Packet flood;
  for (std::uint16_t sequence = 1; sequence <= 65; ++sequence) {
    const auto frame = RawFrame(0x10, MakePacket(1, sequence, "flood"));
    flood.insert(flood.end(), frame.begin(), frame.end());
  }
  const struct {
    Stage stage;
    Packet bytes;
    const char* reason;
  } cases[] = {
      {Attached, RawFrame(0x42, {}), "unknown frame kind 0x42"},
      {Connected, RawFrame(0x01, {1, 0, 5, 0, 'B'}), "ATTACH property 1 of 1"},
      {Connected, RawFrame(0x10, {1}), "the first frame is DATA, not ATTACH"},
      {Attached, RawFrame(0x01, {0, 0}), "a second ATTACH"},
      {Attached, RawFrame(0x10, {1, 2, 3}), "DATA on a closed channel"},
      {Attached, RawFrame(0x02, {}), "OPENED without an OPEN"},
      {Attached, RawFrame(0x04, {5, 0, 0, 0}), "CHALLENGE without an OPEN"},
      {Attached, RawFrame(0x11, {}), "CLOSE with no channel open"},
      {Opened, RawFrame(0x02, {}), "OPENED without an OPEN"},
      {Opened, flood, "more than 64 unread packets"},
  };
  Create();
  auto good = Attach(100, true);
  int disconnects = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const int linesBefore = log.count;
    auto bad = c.stage == Connected ? Connect() : Attach(1, c.stage == Opened);
    bad->handheld.SendBytes(c.bytes);
    EXPECT_TRUE(bad->handheld.WaitForEnd());
    ExpectLogged(linesBefore + 1, c.reason);
    EXPECT_NE(log.Last().find("dropped"), std::string::npos) << log.Last();
    if (c.stage != Connected) {
      ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, ++disconnects));
    }
    if (c.stage == Opened) {
      EXPECT_TRUE(bad->sink.Wait(bad->sink.closed, 1));
    }
    good->Exchange("still here");
  }
  EXPECT_EQ(deviceSink.connected, 1 + disconnects) << "bad input before ATTACH never made a device";
}

TEST_F(UsbLinkManagerTest, UnadviseWaitsForAnEventBeingDeliveredAndReleasesInCallbacksDoNotDeadlock) {
  std::promise<void> entered, leave;
  std::atomic<bool> inside{false};
  deviceSink.onConnected = [&, leaving = leave.get_future().share()] {
    inside = true;
    entered.set_value();
    leaving.wait();
    inside = false;
  };
  Create();
  auto first = Connect();
  first->handheld.Attach(1);
  entered.get_future().wait();
  auto unadvise = std::async(std::launch::async, [&] { return manager->UnadviseDeviceEvents(cookie); });
  EXPECT_NE(unadvise.wait_for(100ms), std::future_status::ready) << "returned while the event ran";
  leave.set_value();
  EXPECT_EQ(unadvise.get(), S_OK);
  EXPECT_FALSE(inside);
  advised = false;
  EXPECT_EQ(deviceSink.references, 1);

  // The channel's last reference dropped inside OnDataReady, the manager's inside a
  // device event.
  *first->device.Out() = DeviceAt(manager.Get(), 0);
  first->Open();
  std::atomic<IDevMgrChannel*> held{first->channel.Detach()};
  first->sink.onDataReady = [&] {
    if (IDevMgrChannel* mine = held.exchange(nullptr)) mine->Release();
  };
  first->handheld.SendFrame(FrameKind::Data, MakePacket(1, 1, "x"));
  EXPECT_EQ(first->handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  EXPECT_EQ(first->sink.references, 1);

  std::atomic<IDevMgrMain*> last{nullptr};
  std::promise<void> released;
  deviceSink.onConnected = [&] {
    if (IDevMgrMain* mine = last.exchange(nullptr)) {
      mine->Release();
      released.set_value();
    }
  };
  ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &cookie), S_OK);
  last = manager.Detach();  // the reference now belongs to the callback
  auto second = Connect();
  second->handheld.Attach(2);
  ASSERT_EQ(released.get_future().wait_for(kEventWait), std::future_status::ready);
  EXPECT_TRUE(second->handheld.WaitForEnd());
  // The detached thread finishes the teardown on its own; the socket goes with it.
  for (int i = 0; i < 500 && Mode(socketPath) != 0; ++i) {
    std::this_thread::sleep_for(10ms);  // polling a file system state, no event to wait on
  }
  EXPECT_EQ(Mode(socketPath), 0u);
}

}  // namespace
}  // namespace skiff::testing
