// The USB-link device manager over a real Unix socket: the socket's rules, devices and
// their properties, opening channels with and without passwords, packets both ways,
// detach at awkward moments, bad input from a raw client, and reference counting.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "handheld_link.h"
#include "integration/usb_link_support/unix_socket_test.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using namespace std::chrono_literals;
using Packet = std::vector<std::uint8_t>;
using Frame = RawHandheld::Frame;

struct OpenCall {
  HRESULT result = E_FAIL;
  IDevMgrChannel* channel = nullptr;
  std::string description;
};

std::future<OpenCall> StartOpen(IDevMgrDevice* device, IDevMgrChannelSink* sink,
                                const char16_t* name = u"SkiffhouseUSB") {
  return std::async(std::launch::async, [=] {
    OpenCall call;
    call.result = device->OpenChannel(AsOle(name), sink, &call.channel);
    if (FAILED(call.result)) call.description = LastErrorDescription();
    return call;
  });
}

bool Ready(std::future<OpenCall>& call) {
  return call.wait_for(kEventWait) == std::future_status::ready;
}

Packet I32(std::int32_t value) {
  Packet bytes(4);
  usblink::WriteLeI32(bytes.data(), value);
  return bytes;
}

// The file's type and permissions; 0 when there is none.
unsigned Mode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & (S_IFMT | 0777) : 0;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A raw handheld, its device and, once opened, its channel.
struct Link {
  explicit Link(const std::string& path) : handheld(path) {}
  RawHandheld handheld;
  Ref<IDevMgrDevice> device;
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel;
};

class UsbLinkManagerTest : public UnixUsbLinkTest {
 protected:
  // A raw handheld that attached with pin and that the manager has listed.
  std::unique_ptr<Link> Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more = {}) {
    auto link = std::make_unique<Link>(socketPath);
    EXPECT_TRUE(link->handheld.Connected());
    const int before = deviceSink.connected;
    link->handheld.Attach(pin, std::move(more));
    *link->device.Out() = WaitForDevice(before + 1);
    return link;
  }
  // The same with its channel open.
  std::unique_ptr<Link> Open(std::int32_t pin) {
    auto link = Attach(pin);
    if (link->device) OpenOnRaw(*link);
    return link;
  }
  // Opens the link's channel with sink (the link's own when none), the handheld answering OPENED.
  IDevMgrChannel* OpenOnRaw(Link& link, RecordingChannelSink* sink = nullptr) {
    auto call = StartOpen(link.device.Get(), sink ? sink : &link.sink);
    EXPECT_EQ(link.handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("SkiffhouseUSB")}));
    link.handheld.SendFrame(FrameKind::Opened);
    EXPECT_TRUE(Ready(call));
    OpenCall result = call.get();
    EXPECT_EQ(result.result, S_OK) << result.description;
    EXPECT_NE(result.channel, nullptr);
    if (sink == nullptr) *link.channel.Out() = result.channel;
    return result.channel;
  }
  // The first property (the PIN) of each device in a fresh list.
  std::vector<std::string> ListedPins() {
    std::vector<std::string> pins;
    for (LONG index = 0; index < static_cast<LONG>(DeviceCount(manager.Get())); ++index) {
      Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), index));
      pins.push_back(device ? Properties(device.Get()).at(0) : "(none)");
    }
    return pins;
  }
  // A packet each way on an open link.
  void Exchange(Link& link, const std::string& text) {
    const auto request = MakePacket(1, 1, text), reply = MakePacket(2, 1, "Pong: " + text);
    const int before = link.sink.dataReady;
    link.handheld.SendFrame(FrameKind::Data, request);
    ASSERT_TRUE(link.sink.Wait(link.sink.dataReady, before + 1));
    EXPECT_EQ(ReadPacket(link.channel.Get()), request);
    ASSERT_EQ(WritePacket(link.channel.Get(), reply), S_OK);
    EXPECT_EQ(link.handheld.ReadFrame(), (Frame{FrameKind::DesktopData, reply}));
  }
};

// ---- The socket ---------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, SocketIsPrivateServedByOneManagerAtATimeAndAStaleOneIsReplaced) {
  socketPath = dir.Path() + "/made/usb.sock";
  Create();
  EXPECT_EQ(Mode(dir.Path() + "/made"), S_IFDIR | 0700u);
  EXPECT_EQ(Mode(socketPath), S_IFSOCK | 0600u);

  // A live listener is left alone; retries do not fill the log.
  const int linesBefore = log.count;
  Ref<IDevMgrMain> second;
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
  EXPECT_FALSE(second);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + socketPath);
  ExpectLogged(linesBefore + 1, "already listening");
  auto link = Attach(1);  // the first one still serves
  EXPECT_EQ(DeviceCount(manager.Get()), 1u);

  // After the last release the socket is gone.
  ReleaseManager();
  EXPECT_EQ(Mode(socketPath), 0u);
  EXPECT_TRUE(link->handheld.WaitForEnd());

  // A socket file with nobody listening, as a crashed program leaves it, is replaced.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  EXPECT_FALSE(RawHandheld(socketPath).Connected());
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), S_OK);
  EXPECT_TRUE(RawHandheld(socketPath).Connected());

  // Any other file is not.
  const std::string filePath = dir.Path() + "/not-a-socket";
  std::ofstream(filePath) << "keep me";
  CUsbDeviceManagerFactory other(usblink::UnixSocketEndpoint(filePath), log);
  Ref<IDevMgrMain> refused;
  EXPECT_EQ(other.CreateDeviceManager(refused.Out()), kUsbSocketFailed);
  std::ifstream kept(filePath);
  std::string content;
  std::getline(kept, content);
  EXPECT_EQ(content, "keep me");
}

// ---- Devices ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, AttachMakesADeviceWithItsPropertiesInOrder) {
  const auto testThread = std::this_thread::get_id();
  deviceSink.onConnected = [testThread] { EXPECT_NE(std::this_thread::get_id(), testThread); };
  Create();
  auto link = Attach(0x2A0F, {usblink::DeviceProperty::MakeText("Name", "Sk\303\257ff"),
                              usblink::DeviceProperty::MakeInteger("Neg", -5)});
  ASSERT_TRUE(link->device);
  // In the order the handheld gave them; out of range is refused.
  EXPECT_EQ(Properties(link->device.Get()),
            (std::vector<std::string>{"BBPIN=I4:10767", "Name=BSTR:Sk\303\257ff", "Neg=I4:-5"}));
  Ref<IDevMgrPropertyList> properties;
  ASSERT_EQ(link->device->GetProperties(properties.Out()), S_OK);
  Ref<IDevMgrProperty> none;
  for (LONG outside : {3, -1}) EXPECT_EQ(PropertyAt(properties.Get(), outside, none.Out()), E_INVALIDARG);
  EXPECT_FALSE(none);
}

TEST_F(UsbLinkManagerTest, HandheldsAreListedInOrderServedApartAndGoneOnDetach) {
  Create();
  auto a = Attach(1), b = Attach(2), c = Attach(3);
  EXPECT_EQ(ListedPins(), (std::vector<std::string>{"BBPIN=I4:1", "BBPIN=I4:2", "BBPIN=I4:3"}));
  Ref<IDevMgrDeviceList> oldList;
  ASSERT_EQ(manager->GetDevices(oldList.Out()), S_OK);

  b->handheld.Close();
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  EXPECT_EQ(ListedPins(), (std::vector<std::string>{"BBPIN=I4:1", "BBPIN=I4:3"}));
  EXPECT_EQ(log.count, 1) << "an ordinary detach is no news for the log: " << log.Last();
  // The list taken before still holds the device; the device knows it is gone.
  ULONG count = 0;
  ASSERT_EQ(oldList->GetCount(&count), S_OK);
  EXPECT_EQ(count, 3u);
  IDevMgrChannel* channel = nullptr;
  EXPECT_EQ(OpenChannel(b->device.Get(), b->sink, &channel), kDeviceGone);
  EXPECT_EQ(channel, nullptr);
  EXPECT_EQ(b->sink.references, 1);
  EXPECT_EQ(Properties(b->device.Get()).at(0), "BBPIN=I4:2");

  // Each channel carries its own packets.
  OpenOnRaw(*a);
  OpenOnRaw(*c);
  c->handheld.SendFrame(FrameKind::Data, MakePacket(1, 9, "to C"));
  Exchange(*a, "to A");
  ASSERT_TRUE(c->sink.Wait(c->sink.dataReady, 1));
  EXPECT_EQ(ReadPacket(c->channel.Get()), MakePacket(1, 9, "to C"));
  EXPECT_EQ(a->sink.dataReady, 1);
}

// ---- Opening ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, RefusedOpenFailsWithTheHandheldsReasonAndCanBeTriedAgain) {
  Create();
  auto link = Attach(9);
  auto call = StartOpen(link->device.Get(), &link->sink, u"Other\u00e9");
  EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::Open, Bytes("Other\xC3\xA9")}));  // in UTF-8
  link->handheld.SendFrame(FrameKind::Refused, Bytes("nobody listens there"));
  ASSERT_TRUE(Ready(call));
  OpenCall result = call.get();
  EXPECT_EQ(result.result, kChannelRefused);
  EXPECT_EQ(result.channel, nullptr);
  EXPECT_TRUE(Contains(result.description, "nobody listens there")) << result.description;
  EXPECT_EQ(link->sink.references, 1) << "the sink of a failed open is let go";

  OpenOnRaw(*link);
  EXPECT_EQ(link->sink.references, 2);
  // One channel per device.
  IDevMgrChannel* another = nullptr;
  RecordingChannelSink otherSink;
  EXPECT_EQ(OpenChannel(link->device.Get(), otherSink, &another), kChannelBusy);
  EXPECT_EQ(another, nullptr);
  link->channel.Reset();
  EXPECT_EQ(link->sink.references, 1);
}

TEST_F(UsbLinkManagerTest, ChallengeIsAnsweredOnAManagerThreadOrCancelledWhenTheSinkFails) {
  Create();
  auto link = Attach(9);
  // No passwords: OnChallenge fails, as on a cancel.
  auto cancelled = StartOpen(link->device.Get(), &link->sink);
  ASSERT_TRUE(link->handheld.ReadFrame());
  link->handheld.SendFrame(FrameKind::Challenge, I32(4));
  EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::Cancel, {}}));
  ASSERT_TRUE(Ready(cancelled));
  EXPECT_EQ(cancelled.get().result, kOpenCancelled);
  EXPECT_EQ(link->sink.Attempts(), (std::vector<int>{4}));
  EXPECT_EQ(link->sink.references, 1);
  EXPECT_EQ(DeviceCount(manager.Get()), 1u) << "a cancel keeps the handheld attached";

  RecordingChannelSink sink;
  sink.passwords = {"first", "second"};
  std::atomic<std::thread::id> opener;
  sink.duringChallenge = [&] { EXPECT_NE(std::this_thread::get_id(), opener.load()); };
  auto call = std::async(std::launch::async, [&] {
    opener = std::this_thread::get_id();
    IDevMgrChannel* channel = nullptr;
    EXPECT_EQ(OpenChannel(link->device.Get(), sink, &channel), S_OK);
    return channel;
  });
  ASSERT_TRUE(link->handheld.ReadFrame());  // OPEN
  for (const auto& [attempts, password] : {std::pair{10, "first"}, std::pair{9, "second"}}) {
    link->handheld.SendFrame(FrameKind::Challenge, I32(attempts));
    EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::Answer, PasswordDigest(password)}));
  }
  link->handheld.SendFrame(FrameKind::Opened);
  Ref<IDevMgrChannel> held(call.get());
  EXPECT_TRUE(held);
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{10, 9}));
}

// The real handheld's lock against the device manager: a right answer restores all
// attempts, a wrong one takes one away, the count survives a new open, the last wipes.
TEST_F(UsbLinkManagerTest, AttemptsCountDownAcrossOpensUntilWipedAndARightAnswerRestoresThem) {
  Create();
  handheld::HandheldConfig config;
  config.socketPath = socketPath;
  config.password = "right";
  std::ostringstream diagnostics;
  handheld::HandheldLink link(config, diagnostics);
  std::string error;
  ASSERT_TRUE(link.Attach(&error)) << error;
  auto served = std::async(std::launch::async, [&] { return link.ServeUntilStopped(); });
  Ref<IDevMgrDevice> device(WaitForDevice());

  RecordingChannelSink right;
  right.passwords = {"wrong", "wrong", "right"};
  Ref<IDevMgrChannel> channel;
  ASSERT_EQ(OpenChannel(device.Get(), right, channel.Out()), S_OK);
  EXPECT_EQ(right.Attempts(), (std::vector<int>{10, 9, 8}));
  channel.Reset();  // CLOSE: the handheld locks again

  // Three wrong answers, then a cancel: 10, 9, 8, 7.
  RecordingChannelSink cancelling;
  cancelling.passwords = {"wrong"};
  cancelling.duringChallenge = [&] {
    if (cancelling.Attempts().size() == 4) cancelling.passwords.clear();
  };
  EXPECT_EQ(OpenChannel(device.Get(), cancelling, channel.Out()), kOpenCancelled);
  EXPECT_EQ(cancelling.Attempts(), (std::vector<int>{10, 9, 8, 7}));

  RecordingChannelSink wrong;
  wrong.passwords = {"still wrong"};
  EXPECT_EQ(OpenChannel(device.Get(), wrong, channel.Out()), kHandheldWiped);
  EXPECT_EQ(wrong.Attempts(), (std::vector<int>{7, 6, 5, 4, 3, 2, 1}));
  EXPECT_FALSE(channel);
  ASSERT_EQ(served.wait_for(kEventWait), std::future_status::ready);
  EXPECT_EQ(served.get(), handheld::Outcome::Wiped);
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  EXPECT_EQ(DeviceCount(manager.Get()), 0u);
}

// ---- Packets ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, PacketsFlowBothWaysOneEventAndOneReadPerPacket) {
  Create();
  auto link = Open(3);
  IDevMgrChannel* channel = link->channel.Get();
  const std::vector<Packet> in = {{0x42}, MakePacket(1, 1, "abc"), MakePacket(11, 2, std::string(4000, 'b'))};
  for (const auto& packet : in) link->handheld.SendFrame(FrameKind::Data, packet);
  ASSERT_TRUE(link->sink.Wait(link->sink.dataReady, 3));
  EXPECT_EQ(link->sink.dataReady, 3);

  BYTE buffer[1];
  ULONG count = 0;
  // A buffer too small for the oldest packet keeps it for the next read.
  ASSERT_EQ(channel->ReadData(buffer, 0, &count), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 1u);
  for (const auto& expected : in) EXPECT_EQ(ReadPacket(channel), expected);
  EXPECT_EQ(channel->ReadData(buffer, sizeof buffer, &count), kNoData);
  EXPECT_EQ(count, 0u);

  // Out: 6 to 4006 bytes, each one DATA frame byte for byte.
  const std::vector<Packet> out = {MakePacket(2, 1, std::string("Pong: abc\0", 10)), MakePacket(15, 9, ""),
                                   MakePacket(15, 10, std::string(4000, 'x'))};
  for (const auto& packet : out) ASSERT_EQ(WritePacket(channel, packet), S_OK);
  for (const auto& packet : out)
    EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::DesktopData, packet}));
  Packet tooLong(4007, 0);
  EXPECT_EQ(channel->WriteData(tooLong.data(), 5), E_INVALIDARG);
  EXPECT_EQ(WritePacket(channel, tooLong), E_INVALIDARG);
  EXPECT_TRUE(Contains(LastErrorDescription(), "4007 bytes"));
  EXPECT_EQ(channel->WriteData(nullptr, 6), E_POINTER);
}

TEST_F(UsbLinkManagerTest, CloseFromEitherSideEndsTheChannelOnceAndKeepsTheConnection) {
  Create();
  auto link = Open(3);
  // The handheld closes: OnClose once, the unread packet stays, no answer can go.
  const auto last = MakePacket(30, 4, "bye");
  link->handheld.SendFrame(FrameKind::Data, last);
  link->handheld.SendFrame(FrameKind::Close);
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  EXPECT_EQ(link->sink.dataReady, 1);
  EXPECT_EQ(ReadPacket(link->channel.Get()), last);
  EXPECT_EQ(WritePacket(link->channel.Get(), MakePacket(15, 4, std::string("Success\0", 8))), kChannelClosed);
  // Releasing a closed channel sends no CLOSE: the next frame is the next OPEN.
  link->channel.Reset();
  EXPECT_EQ(link->sink.references, 1) << "a closed channel holds no sink";
  RecordingChannelSink next;
  Ref<IDevMgrChannel> reopened(OpenOnRaw(*link, &next));
  ASSERT_TRUE(reopened);
  EXPECT_EQ(link->sink.closed, 1);

  // The desktop closes: CLOSE goes out, and no call reaches the sink any more.
  EXPECT_EQ(next.references, 2);
  reopened.Reset();
  EXPECT_EQ(next.references, 1);
  EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  // DATA and CLOSE the handheld sent before it saw ours are dropped quietly; a new open
  // on the same connection proves they did not end it.
  link->handheld.SendFrame(FrameKind::Data, MakePacket(1, 2, "late"));
  link->handheld.SendFrame(FrameKind::Close);
  RecordingChannelSink third;
  Ref<IDevMgrChannel> again(OpenOnRaw(*link, &third));
  EXPECT_TRUE(again);
  EXPECT_EQ(next.dataReady + third.dataReady, 0);
  EXPECT_EQ(log.count, 1);
}

// ---- Time-outs and detach at awkward moments ------------------------------------------

TEST_F(UsbLinkManagerTest, DetachWhileOpeningOrChallengedFailsTheOpen) {
  Create();
  for (const bool challenged : {false, true}) {
    SCOPED_TRACE(challenged ? "challenged" : "opening");
    // The user may still be looking at the prompt when the handheld goes: the device is
    // removed at once, and the open fails once the prompt returns.
    auto link = Attach(1);
    link->sink.passwords = {"pw"};
    std::promise<void> answered;
    link->sink.duringChallenge = [answer = answered.get_future().share()] { answer.wait(); };
    auto call = StartOpen(link->device.Get(), &link->sink);
    ASSERT_TRUE(link->handheld.ReadFrame());
    if (challenged) {
      link->handheld.SendFrame(FrameKind::Challenge, I32(10));
      ASSERT_TRUE(link->sink.Wait(link->sink.challenged, 1));
    }
    link->handheld.Close();
    ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, challenged ? 2 : 1));
    EXPECT_EQ(DeviceCount(manager.Get()), 0u);
    if (challenged) {
      EXPECT_NE(call.wait_for(50ms), std::future_status::ready) << "the open waits for its challenge";
    }
    answered.set_value();
    ASSERT_TRUE(Ready(call));
    EXPECT_EQ(call.get().result, kDeviceGone);
    EXPECT_EQ(link->sink.Attempts().size(), challenged ? 1u : 0u);
    EXPECT_EQ(link->sink.references, 1);
  }
  EXPECT_EQ(log.count, 1) << "a detach is no bad input";
}

TEST_F(UsbLinkManagerTest, DetachMidFetchClosesTheChannelOnceAndFailsWrites) {
  Create();
  auto link = Open(1);
  const auto read = MakePacket(14, 11, "");
  link->handheld.SendFrame(FrameKind::Data, read);
  ASSERT_TRUE(link->sink.Wait(link->sink.dataReady, 1));
  link->handheld.Close();
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  // The request that came before the detach can still be read; its answer cannot go.
  EXPECT_EQ(ReadPacket(link->channel.Get()), read);
  EXPECT_EQ(WritePacket(link->channel.Get(), MakePacket(15, 11, std::string(4000, 'd'))), kDeviceGone);
  // Releasing waits for a sink call still running, so the sink is let go by now.
  link->channel.Reset();
  EXPECT_EQ(link->sink.references, 1);
  EXPECT_EQ(link->sink.closed, 1);
}

TEST_F(UsbLinkManagerTest, HandheldThatTakesNoDataIsDroppedInsteadOfBlockingTheWriter) {
  UsbLinkTiming timing;
  timing.sendMs = 200;
  Create(timing);
  auto stuck = Open(1);  // never reads
  const auto chunk = MakePacket(15, 1, std::string(4000, 'c'));
  HRESULT result = S_OK;
  // The socket's buffer fills up, then a write waits 200 ms and the handheld is dropped.
  for (int sent = 0; SUCCEEDED(result) && sent < 100000; ++sent)
    result = WritePacket(stuck->channel.Get(), chunk);
  EXPECT_EQ(result, kDeviceGone);
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  ASSERT_TRUE(stuck->sink.Wait(stuck->sink.closed, 1));
  ExpectLogged(2, "send timed out");
  EXPECT_EQ(WritePacket(stuck->channel.Get(), chunk), kDeviceGone);
}

// ---- Bad input ----------------------------------------------------------------------

Packet RawFrame(std::uint8_t kind, const Packet& body, std::uint8_t reserved = 0) {
  // Sized once: growing a short vector trips a false array-bounds warning of GCC 12.
  Packet bytes(4 + body.size());
  bytes[0] = kind;
  bytes[1] = reserved;
  usblink::WriteLe16(bytes.data() + 2, static_cast<std::uint16_t>(body.size()));
  std::copy(body.begin(), body.end(), bytes.begin() + 4);
  return bytes;
}

// The frame reader's own refusals are tested with the reader; here one of them, and
// every frame out of turn.
TEST_F(UsbLinkManagerTest, BadInputEndsOnlyThatConnectionWithOneLogLine) {
  enum Stage { Connected, Attached, Opened };
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
      {Opened, RawFrame(0x10, {}), "DATA body of 0 bytes"},
      {Opened, RawFrame(0x02, {}), "OPENED without an OPEN"},
  };
  Create();
  auto good = Open(100);
  int disconnects = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const int linesBefore = log.count;
    auto bad = c.stage == Connected  ? std::make_unique<Link>(socketPath)
               : c.stage == Attached ? Attach(1)
                                     : Open(1);
    bad->handheld.SendBytes(c.bytes);
    EXPECT_TRUE(bad->handheld.WaitForEnd());
    ExpectLogged(linesBefore + 1, c.reason);
    EXPECT_TRUE(Contains(log.Last(), "dropped")) << log.Last();
    if (c.stage != Connected) {
      ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, ++disconnects));
    }
    if (c.stage == Opened) {
      EXPECT_TRUE(bad->sink.Wait(bad->sink.closed, 1));
      bad->channel.Reset();
      EXPECT_EQ(bad->sink.references, 1);
    }
    EXPECT_EQ(DeviceCount(manager.Get()), 1u);
    Exchange(*good, "still here");  // the good handheld is still served, both ways
  }
  EXPECT_EQ(deviceSink.connected, 1 + disconnects) << "bad input before ATTACH never made a device";
}

TEST_F(UsbLinkManagerTest, MoreThan64UnreadPacketsEndTheConnection) {
  Create();
  auto link = Open(1);
  for (std::uint16_t sequence = 1; sequence <= 64; ++sequence) {
    link->handheld.SendFrame(FrameKind::Data, MakePacket(1, sequence, "flood"));
  }
  ASSERT_TRUE(link->sink.Wait(link->sink.dataReady, 64));
  EXPECT_EQ(DeviceCount(manager.Get()), 1u) << "64 unread packets are still fine";
  link->handheld.SendFrame(FrameKind::Data, MakePacket(1, 65, "flood"));
  EXPECT_TRUE(link->handheld.WaitForEnd());
  ASSERT_TRUE(link->sink.Wait(link->sink.closed, 1));
  EXPECT_EQ(link->sink.dataReady, 64);
  ExpectLogged(2, "more than 64 unread packets");
}

// ---- References and teardown ----------------------------------------------------------

TEST_F(UsbLinkManagerTest, ManagerReleasedFirstLeavesItsObjectsUsableAndSafe) {
  Create();
  auto link = Open(44);
  Ref<IDevMgrDeviceList> list;
  ASSERT_EQ(manager->GetDevices(list.Out()), S_OK);
  Ref<IDevMgrPropertyList> properties;
  ASSERT_EQ(link->device->GetProperties(properties.Out()), S_OK);
  Ref<IDevMgrProperty> property;
  ASSERT_EQ(PropertyAt(properties.Get(), 0, property.Out()), S_OK);

  // The program lets the manager go first (still advised): threads end, the socket goes,
  // the open channel hears OnClose, and the sinks are let go.
  advised = false;
  manager.Reset();
  EXPECT_EQ(deviceSink.references, 1);
  EXPECT_EQ(Mode(socketPath), 0u);
  EXPECT_EQ(link->sink.closed, 1);
  EXPECT_EQ(link->sink.references, 1);
  EXPECT_TRUE(link->handheld.WaitForEnd());

  // What the program still holds answers, in any order of release.
  EXPECT_EQ(WritePacket(link->channel.Get(), MakePacket(15, 1, "late")), kDeviceGone);
  link->device.Reset();
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(property->GetValue(&value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 44);
  list.Reset();
  link->channel.Reset();
  properties.Reset();
}

TEST_F(UsbLinkManagerTest, UnadviseWaitsForAnEventBeingDeliveredAndStopsLaterOnes) {
  std::promise<void> entered, leave;
  std::atomic<bool> inside{false};
  deviceSink.onConnected = [&, leaving = leave.get_future().share()] {
    inside = true;
    entered.set_value();
    leaving.wait();
    inside = false;
  };
  Create();
  RawHandheld first(socketPath);
  first.Attach(1);
  entered.get_future().wait();
  auto unadvise = std::async(std::launch::async, [&] { return manager->UnadviseDeviceEvents(cookie); });
  EXPECT_NE(unadvise.wait_for(100ms), std::future_status::ready) << "returned while the event ran";
  leave.set_value();
  EXPECT_EQ(unadvise.get(), S_OK);
  EXPECT_FALSE(inside);
  advised = false;
  EXPECT_EQ(deviceSink.references, 1);

  // The next arrival reaches nobody; another sink still gets it.
  RecordingDeviceSink other;
  DWORD otherCookie = 0;
  ASSERT_EQ(manager->AdviseDeviceEvents(&other, &otherCookie), S_OK);
  RawHandheld second(socketPath);
  second.Attach(2);
  ASSERT_TRUE(other.Wait(other.connected, 1));
  EXPECT_EQ(deviceSink.connected, 1);
  EXPECT_EQ(manager->UnadviseDeviceEvents(otherCookie), S_OK);
  EXPECT_EQ(manager->UnadviseDeviceEvents(otherCookie), CONNECT_E_NOCONNECTION);
}

TEST_F(UsbLinkManagerTest, ReleasesFromInsideCallbacksDoNotDeadlock) {
  // The last reference to the manager dropped inside a device event.
  std::atomic<IDevMgrMain*> last{nullptr};
  std::promise<void> released;
  deviceSink.onConnected = [&] {
    if (IDevMgrMain* mine = last.exchange(nullptr)) {
      mine->Release();
      released.set_value();
    }
  };
  Create();
  auto link = Open(1);
  // The channel's last reference dropped inside OnDataReady.
  std::atomic<IDevMgrChannel*> held{link->channel.Detach()};
  link->sink.onDataReady = [&] {
    if (IDevMgrChannel* mine = held.exchange(nullptr)) mine->Release();
  };
  link->handheld.SendFrame(FrameKind::Data, MakePacket(1, 1, "x"));
  EXPECT_EQ(link->handheld.ReadFrame(), (Frame{FrameKind::DesktopClose, {}}));
  EXPECT_EQ(link->sink.references, 1);

  last = manager.Detach();  // the reference now belongs to the callback
  advised = false;
  RawHandheld second(socketPath);
  second.Attach(2);
  ASSERT_EQ(released.get_future().wait_for(kEventWait), std::future_status::ready);
  EXPECT_TRUE(second.WaitForEnd());
  // The detached thread finishes the teardown on its own; the socket goes with it.
  for (int i = 0; i < 500 && Mode(socketPath) != 0; ++i) {
    std::this_thread::sleep_for(10ms);  // polling a file system state, no event to wait on
  }
  EXPECT_EQ(Mode(socketPath), 0u);
}

TEST_F(UsbLinkManagerTest, ManyHandheldsExchangePacketsAtOnce) {
  Create();
  constexpr int kHandhelds = 4, kPackets = 200;
  std::vector<std::unique_ptr<Link>> links;
  for (int i = 0; i < kHandhelds; ++i) links.push_back(Open(i));
  std::atomic<bool> stop{false};
  std::thread lister([&] {
    while (!stop) EXPECT_EQ(DeviceCount(manager.Get()), static_cast<ULONG>(kHandhelds));
  });
  std::vector<std::thread> workers;
  for (int i = 0; i < kHandhelds; ++i) {
    // Each worker plays one handheld and its desktop side: request, read, echo, check.
    workers.emplace_back([&, i] {
      Link& link = *links[i];
      for (int n = 1; n <= kPackets; ++n) {
        const auto request =
            MakePacket(1, static_cast<std::uint16_t>(n), std::string(n * 17 % 4000, 'a' + i));
        link.handheld.SendFrame(FrameKind::Data, request);
        ASSERT_TRUE(link.sink.Wait(link.sink.dataReady, n));
        ASSERT_EQ(ReadPacket(link.channel.Get()), request);
        const auto reply = MakePacket(2, static_cast<std::uint16_t>(n), std::string(6 + n % 100, 'A' + i));
        ASSERT_EQ(WritePacket(link.channel.Get(), reply), S_OK);
        ASSERT_EQ(link.handheld.ReadFrame(), (Frame{FrameKind::DesktopData, reply}));
      }
      link.channel.Reset();
    });
  }
  for (auto& worker : workers) worker.join();
  stop = true;
  lister.join();
  for (auto& link : links) EXPECT_EQ(link->sink.references, 1);
}

}  // namespace
}  // namespace skiff::testing
