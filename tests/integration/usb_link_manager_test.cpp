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

#include "handheld_link.h"
#include "integration/usb_link_support/usb_link_harness.h"
#include "platform/posix/usb_link/usb_device_manager.h"

namespace skiff::testing {
namespace {

using usblink::FrameKind;
using namespace std::chrono_literals;

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

bool Ready(std::future<OpenCall>& call, std::chrono::milliseconds limit = kEventWait) {
  return call.wait_for(limit) == std::future_status::ready;
}

std::vector<std::uint8_t> I32(std::int32_t value) {
  std::vector<std::uint8_t> bytes(4);
  usblink::WriteLeI32(bytes.data(), value);
  return bytes;
}

class UsbLinkManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { socketPath = dir.Path() + "/usb.sock"; }
  void TearDown() override {
    if (manager && advised) manager->UnadviseDeviceEvents(cookie);
    manager.Reset();
    EXPECT_EQ(deviceSink.References(), 1) << "the manager kept a reference to the device sink";
  }

  void Create(UsbLinkTiming timing = {}) {
    factory = std::make_unique<CUsbDeviceManagerFactory>(socketPath, log, timing);
    ASSERT_EQ(factory->CreateDeviceManager(manager.Out()), S_OK);
    ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &cookie), S_OK);
    advised = true;
  }

  // Attaches a raw handheld and waits until the manager has listed it.
  void AttachRaw(RawHandheld& handheld, std::int32_t pin, std::vector<usblink::DeviceProperty> more = {}) {
    const int before = deviceSink.Connected();
    ASSERT_TRUE(handheld.Connected());
    handheld.Attach(pin, std::move(more));
    ASSERT_TRUE(deviceSink.WaitConnected(before + 1));
  }

  // Opens the channel on the device of a raw handheld that answers OPENED.
  IDevMgrChannel* OpenOnRaw(RawHandheld& handheld, IDevMgrDevice* device, RecordingChannelSink& sink) {
    auto call = StartOpen(device, &sink);
    auto open = handheld.ReadFrame();
    EXPECT_TRUE(open && open->kind == FrameKind::Open);
    handheld.SendFrame(FrameKind::Opened);
    EXPECT_TRUE(Ready(call));
    OpenCall result = call.get();
    EXPECT_EQ(result.result, S_OK) << result.description;
    return result.channel;
  }

  TempDir dir;
  std::string socketPath;
  RecordingLog log;
  RecordingDeviceSink deviceSink;
  std::unique_ptr<CUsbDeviceManagerFactory> factory;
  Ref<IDevMgrMain> manager;
  DWORD cookie = 0;
  bool advised = false;
};

// ---- The socket ---------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, SocketIsPrivateAndServedByOneManagerAtATime) {
  socketPath = dir.Path() + "/made/usb.sock";
  Create();
  struct stat folder {
  }, socketInfo{};
  ASSERT_EQ(::stat((dir.Path() + "/made").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  ASSERT_EQ(::lstat(socketPath.c_str(), &socketInfo), 0);
  EXPECT_TRUE(S_ISSOCK(socketInfo.st_mode));
  EXPECT_EQ(socketInfo.st_mode & 0777, 0600u);

  // A live listener is left alone; retries do not fill the log.
  const std::size_t linesBefore = log.Count();
  Ref<IDevMgrMain> second;
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), kUsbSocketInUse);
  EXPECT_FALSE(second);
  EXPECT_EQ(LastErrorDescription(), "another program is already listening on " + socketPath);
  ASSERT_EQ(log.Count(), linesBefore + 1);
  EXPECT_NE(log.Lines().back().find("already listening"), std::string::npos);

  // The first one still serves.
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 1);
  EXPECT_EQ(DeviceCount(manager.Get()), 1u);

  // After the last release the socket is gone and the path can be served again.
  manager->UnadviseDeviceEvents(cookie);
  advised = false;
  manager.Reset();
  EXPECT_NE(::lstat(socketPath.c_str(), &socketInfo), 0);
  EXPECT_TRUE(handheld.WaitForEnd());
  EXPECT_EQ(factory->CreateDeviceManager(second.Out()), S_OK);
}

TEST_F(UsbLinkManagerTest, StaleSocketIsReplacedAndOtherFilesAreNot) {
  // A socket file with nobody listening, as a crashed program leaves it.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 7);

  const std::string filePath = dir.Path() + "/not-a-socket";
  std::ofstream(filePath) << "keep me";
  CUsbDeviceManagerFactory other(filePath, log);
  Ref<IDevMgrMain> refused;
  EXPECT_EQ(other.CreateDeviceManager(refused.Out()), kUsbSocketFailed);
  std::ifstream kept(filePath);
  std::string content;
  std::getline(kept, content);
  EXPECT_EQ(content, "keep me");
}

TEST(UsbLinkSocketPathTest, DefaultPathFollowsTheEnvironment) {
  const char* savedSocket = std::getenv("SKIFFHOUSE_USB_SOCKET");
  const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
  const std::string keepSocket = savedSocket ? savedSocket : "",
                    keepRuntime = savedRuntime ? savedRuntime : "";
  ::setenv("SKIFFHOUSE_USB_SOCKET", "/somewhere/link.sock", 1);
  ::setenv("XDG_RUNTIME_DIR", "/run/user/99", 1);
  EXPECT_EQ(DefaultUsbSocketPath(), "/somewhere/link.sock");
  ::unsetenv("SKIFFHOUSE_USB_SOCKET");
  EXPECT_EQ(DefaultUsbSocketPath(), "/run/user/99/skiffhouse/usb.sock");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DefaultUsbSocketPath(), "/tmp/skiffhouse-" + std::to_string(::getuid()) + "/usb.sock");
  if (savedSocket) ::setenv("SKIFFHOUSE_USB_SOCKET", keepSocket.c_str(), 1);
  if (savedRuntime) ::setenv("XDG_RUNTIME_DIR", keepRuntime.c_str(), 1);
}

// ---- Devices ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, AttachMakesADeviceWithItsPropertiesInOrder) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 0x2A0F,
            {usblink::DeviceProperty::MakeText("Name",
                                               "Sk\xC3\xAF"
                                               "ff"),
             usblink::DeviceProperty::MakeInteger("Neg", -5)});
  // The event comes on a thread of the manager's.
  EXPECT_NE(deviceSink.Threads().at(0), std::this_thread::get_id());

  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  ASSERT_TRUE(device);
  EXPECT_EQ(PropertyText(device.Get(), "BBPIN"), "I4:10767");
  EXPECT_EQ(PropertyText(device.Get(), "Name"),
            "BSTR:Sk\xC3\xAF"
            "ff");
  EXPECT_EQ(PropertyText(device.Get(), "Neg"), "I4:-5");

  Ref<IDevMgrPropertyList> properties;
  ASSERT_EQ(device->GetProperties(properties.Out()), S_OK);
  LONG count = 0;
  ASSERT_EQ(properties->GetCount(&count), S_OK);
  EXPECT_EQ(count, 3);
  // In the order the handheld gave them; out of range is refused.
  VARIANT index;
  VariantInit(&index);
  index.vt = VT_I4;
  index.lVal = 2;
  Ref<IDevMgrProperty> third;
  ASSERT_EQ(properties->GetItem(index, third.Out()), S_OK);
  BSTR name = nullptr;
  ASSERT_EQ(third->GetName(&name), S_OK);
  EXPECT_EQ(std::u16string(AsWide(name), SysStringLen(name)), u"Neg");
  SysFreeString(name);
  index.lVal = 3;
  Ref<IDevMgrProperty> none;
  EXPECT_EQ(properties->GetItem(index, none.Out()), E_INVALIDARG);
  index.lVal = -1;
  EXPECT_EQ(properties->GetItem(index, none.Out()), E_INVALIDARG);
  EXPECT_FALSE(none);
}

TEST_F(UsbLinkManagerTest, DetachRemovesTheDeviceAndItsObjectsAnswerGone) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 5);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  ASSERT_TRUE(device);
  Ref<IDevMgrDeviceList> oldList;
  ASSERT_EQ(manager->GetDevices(oldList.Out()), S_OK);

  handheld.Close();
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  EXPECT_EQ(DeviceCount(manager.Get()), 0u);
  // An ordinary detach is no news for the log.
  EXPECT_EQ(log.Count(), 1u) << log.Lines().back();

  // The list taken before still holds the device; the device knows it is gone.
  ULONG count = 0;
  ASSERT_EQ(oldList->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  RecordingChannelSink sink;
  IDevMgrChannel* channel = nullptr;
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, &channel), kDeviceGone);
  EXPECT_EQ(channel, nullptr);
  EXPECT_EQ(sink.References(), 1);
  EXPECT_EQ(PropertyText(device.Get(), "BBPIN"), "I4:5");
}

TEST_F(UsbLinkManagerTest, HandheldsAreListedInOrderOfAttachmentAndServedApart) {
  Create();
  RawHandheld first(socketPath), second(socketPath), third(socketPath);
  AttachRaw(first, 1);
  AttachRaw(second, 2);
  AttachRaw(third, 3);
  ASSERT_EQ(DeviceCount(manager.Get()), 3u);
  for (LONG index = 0; index < 3; ++index) {
    Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), index));
    EXPECT_EQ(PropertyText(device.Get(), "BBPIN"), "I4:" + std::to_string(index + 1));
  }
  second.Close();
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  ASSERT_EQ(DeviceCount(manager.Get()), 2u);
  Ref<IDevMgrDevice> a(DeviceAt(manager.Get(), 0)), c(DeviceAt(manager.Get(), 1));
  EXPECT_EQ(PropertyText(a.Get(), "BBPIN"), "I4:1");
  EXPECT_EQ(PropertyText(c.Get(), "BBPIN"), "I4:3");

  // Each channel carries its own packets.
  RecordingChannelSink sinkA, sinkC;
  Ref<IDevMgrChannel> channelA(OpenOnRaw(first, a.Get(), sinkA));
  Ref<IDevMgrChannel> channelC(OpenOnRaw(third, c.Get(), sinkC));
  ASSERT_TRUE(channelA && channelC);
  first.SendFrame(FrameKind::Data, MakePacket(1, 1, "to A"));
  third.SendFrame(FrameKind::Data, MakePacket(1, 1, "to C"));
  ASSERT_TRUE(sinkA.WaitDataReady(1));
  ASSERT_TRUE(sinkC.WaitDataReady(1));
  BYTE buffer[4006];
  ULONG got = 0;
  ASSERT_EQ(channelC->ReadData(buffer, sizeof buffer, &got), S_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + got), MakePacket(1, 1, "to C"));
  const auto reply = MakePacket(2, 1, "Pong: to A");
  ASSERT_EQ(channelA->WriteData(reply.data(), static_cast<ULONG>(reply.size())), S_OK);
  auto frame = first.ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->body, reply);
}

// ---- Opening ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, RefusedOpenFailsWithTheHandheldsReasonAndCanBeTriedAgain) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 9);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  auto call = StartOpen(device.Get(), &sink, u"Other\u00e9");
  auto open = handheld.ReadFrame();
  ASSERT_TRUE(open);
  EXPECT_EQ(open->kind, FrameKind::Open);
  EXPECT_EQ(open->body, Bytes("Other\xC3\xA9"));  // the name in UTF-8
  handheld.SendFrame(FrameKind::Refused, Bytes("nobody listens there"));
  ASSERT_TRUE(Ready(call));
  OpenCall result = call.get();
  EXPECT_EQ(result.result, kChannelRefused);
  EXPECT_EQ(result.channel, nullptr);
  EXPECT_NE(result.description.find("nobody listens there"), std::string::npos) << result.description;
  EXPECT_EQ(sink.References(), 1) << "the sink of a failed open is let go";

  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  EXPECT_TRUE(channel);
  EXPECT_EQ(sink.References(), 2);
  // One channel per device.
  IDevMgrChannel* another = nullptr;
  RecordingChannelSink otherSink;
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &otherSink, &another), kChannelBusy);
  EXPECT_EQ(another, nullptr);
  channel.Reset();
  EXPECT_EQ(sink.References(), 1);
}

TEST_F(UsbLinkManagerTest, ChallengeIsAnsweredOnAManagerThreadWithTheDigest) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 9);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  sink.passwords = {"first", "second"};
  std::thread::id caller;
  auto call = std::async(std::launch::async, [&] {
    caller = std::this_thread::get_id();
    IDevMgrChannel* channel = nullptr;
    const HRESULT result = device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, &channel);
    return std::make_pair(result, channel);
  });
  ASSERT_TRUE(handheld.ReadFrame());  // OPEN
  handheld.SendFrame(FrameKind::Challenge, I32(10));
  auto answer = handheld.ReadFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->kind, FrameKind::Answer);
  EXPECT_EQ(answer->body, PasswordDigest("first"));
  handheld.SendFrame(FrameKind::Challenge, I32(9));
  answer = handheld.ReadFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, PasswordDigest("second"));
  handheld.SendFrame(FrameKind::Opened);
  auto [result, channel] = call.get();
  EXPECT_EQ(result, S_OK);
  Ref<IDevMgrChannel> held(channel);
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{10, 9}));
  for (const auto& thread : sink.ChallengeThreads()) EXPECT_NE(thread, caller);
}

TEST_F(UsbLinkManagerTest, FailedChallengeSendsCancelAndTheOpenFails) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 9);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;  // no passwords: OnChallenge fails, as on a cancel
  auto call = StartOpen(device.Get(), &sink);
  ASSERT_TRUE(handheld.ReadFrame());
  handheld.SendFrame(FrameKind::Challenge, I32(4));
  auto cancel = handheld.ReadFrame();
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->kind, FrameKind::Cancel);
  ASSERT_TRUE(Ready(call));
  EXPECT_EQ(call.get().result, kOpenCancelled);
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{4}));
  EXPECT_EQ(sink.References(), 1);
  EXPECT_EQ(DeviceCount(manager.Get()), 1u) << "a cancel keeps the handheld attached";
}

// The real handheld's lock against the device manager: the count goes down by one per
// wrong answer and survives a new open; the last wrong one wipes.
TEST_F(UsbLinkManagerTest, WrongAnswersCountDownAcrossOpensUntilWiped) {
  Create();
  handheld::HandheldConfig config;
  config.socketPath = socketPath;
  config.properties = {usblink::DeviceProperty::MakeInteger("BBPIN", 0x77)};
  config.password = "right";
  std::ostringstream diagnostics;
  handheld::HandheldLink link(config, diagnostics);
  std::string error;
  ASSERT_TRUE(link.Attach(&error)) << error;
  auto served = std::async(std::launch::async, [&] { return link.ServeUntilStopped(); });
  ASSERT_TRUE(deviceSink.WaitConnected(1));
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));

  // Three wrong answers, then a cancel: 10, 9, 8, 7.
  RecordingChannelSink cancelling;
  cancelling.passwords = {"wrong"};
  cancelling.duringChallenge = [&] {
    if (cancelling.Attempts().size() == 4) cancelling.passwords.clear();
  };
  IDevMgrChannel* channel = nullptr;
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &cancelling, &channel), kOpenCancelled);
  EXPECT_EQ(cancelling.Attempts(), (std::vector<int>{10, 9, 8, 7}));

  // The next open goes on counting where the last one stopped, down to the wipe.
  RecordingChannelSink wrong;
  wrong.passwords = {"still wrong"};
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &wrong, &channel), kHandheldWiped);
  EXPECT_EQ(wrong.Attempts(), (std::vector<int>{7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(channel, nullptr);
  ASSERT_EQ(served.wait_for(kEventWait), std::future_status::ready);
  EXPECT_EQ(served.get(), handheld::Outcome::Wiped);
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  EXPECT_EQ(DeviceCount(manager.Get()), 0u);
}

TEST_F(UsbLinkManagerTest, RightAnswerRestoresAllAttempts) {
  Create();
  handheld::HandheldConfig config;
  config.socketPath = socketPath;
  config.password = "right";
  std::ostringstream diagnostics;
  handheld::HandheldLink link(config, diagnostics);
  std::string error;
  ASSERT_TRUE(link.Attach(&error)) << error;
  auto served = std::async(std::launch::async, [&] { return link.ServeUntilStopped(); });
  ASSERT_TRUE(deviceSink.WaitConnected(1));
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));

  RecordingChannelSink sink;
  sink.passwords = {"wrong", "wrong", "right"};
  Ref<IDevMgrChannel> channel;
  ASSERT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, channel.Out()), S_OK);
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{10, 9, 8}));
  channel.Reset();  // CLOSE: the handheld locks again

  RecordingChannelSink again;
  again.passwords = {"right"};
  ASSERT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &again, channel.Out()), S_OK);
  EXPECT_EQ(again.Attempts(), (std::vector<int>{10}));
  channel.Reset();
  device.Reset();
  manager->UnadviseDeviceEvents(cookie);
  advised = false;
  manager.Reset();  // the handheld sees the end of the connection
  ASSERT_EQ(served.wait_for(kEventWait), std::future_status::ready);
  EXPECT_EQ(served.get(), handheld::Outcome::Detached);
}

// ---- Packets ------------------------------------------------------------------------

TEST_F(UsbLinkManagerTest, PacketsFlowBothWaysOneEventAndOneReadPerPacket) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 3);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);

  const std::vector<std::uint8_t> tiny = {0x42};
  const auto ping = MakePacket(1, 1, "abc");
  std::vector<std::uint8_t> largest = MakePacket(11, 2, std::string(4000, 'b'));
  handheld.SendFrame(FrameKind::Data, tiny);
  handheld.SendFrame(FrameKind::Data, ping);
  handheld.SendFrame(FrameKind::Data, largest);
  ASSERT_TRUE(sink.WaitDataReady(3));
  EXPECT_EQ(sink.DataReady(), 3);

  BYTE buffer[4006];
  ULONG count = 0;
  // A buffer too small for the oldest packet keeps it for the next read.
  ASSERT_EQ(channel->ReadData(buffer, 0, &count), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 1u);
  for (const auto& expected : {tiny, ping, largest}) {
    ASSERT_EQ(channel->ReadData(buffer, sizeof buffer, &count), S_OK);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + count), expected);
  }
  EXPECT_EQ(channel->ReadData(buffer, sizeof buffer, &count), kNoData);
  EXPECT_EQ(count, 0u);

  // Out: 6 to 4006 bytes, each one DATA frame byte for byte.
  const auto pong = MakePacket(2, 1, std::string("Pong: abc\0", 10));
  const auto smallest = MakePacket(15, 9, "");
  const auto full = MakePacket(15, 10, std::string(4000, 'x'));
  for (const auto& packet : {pong, smallest, full}) {
    ASSERT_EQ(channel->WriteData(packet.data(), static_cast<ULONG>(packet.size())), S_OK);
  }
  for (const auto& packet : {pong, smallest, full}) {
    auto frame = handheld.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->kind, FrameKind::DesktopData);
    EXPECT_EQ(frame->body, packet);
  }
  std::vector<std::uint8_t> tooLong(4007, 0);
  EXPECT_EQ(channel->WriteData(tooLong.data(), 5), E_INVALIDARG);
  EXPECT_EQ(channel->WriteData(tooLong.data(), 4007), E_INVALIDARG);
  EXPECT_NE(LastErrorDescription().find("4007 bytes"), std::string::npos);
  EXPECT_EQ(channel->WriteData(nullptr, 6), E_POINTER);
}

TEST_F(UsbLinkManagerTest, ReleasingTheChannelSendsCloseAndEndsItsEvents) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 3);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);
  EXPECT_EQ(sink.References(), 2);
  channel.Reset();
  EXPECT_EQ(sink.References(), 1) << "no call can reach the sink any more";
  auto close = handheld.ReadFrame();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->kind, FrameKind::DesktopClose);
  EXPECT_TRUE(close->body.empty());

  // DATA and CLOSE the handheld sent before it saw ours are dropped quietly.
  handheld.SendFrame(FrameKind::Data, MakePacket(1, 2, "late"));
  handheld.SendFrame(FrameKind::Close);
  // A new open on the same connection proves the frames above did not end it.
  RecordingChannelSink next;
  Ref<IDevMgrChannel> reopened(OpenOnRaw(handheld, device.Get(), next));
  EXPECT_TRUE(reopened);
  EXPECT_EQ(sink.DataReady(), 0);
  EXPECT_EQ(next.DataReady(), 0);
  EXPECT_EQ(log.Count(), 1u);
}

TEST_F(UsbLinkManagerTest, CloseFromTheHandheldRaisesOnCloseOnceAndKeepsUnreadPackets) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 3);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);
  const auto last = MakePacket(30, 4, "bye");
  handheld.SendFrame(FrameKind::Data, last);
  handheld.SendFrame(FrameKind::Close);
  ASSERT_TRUE(sink.WaitClosed(1));
  EXPECT_EQ(sink.DataReady(), 1);
  BYTE buffer[4006];
  ULONG count = 0;
  ASSERT_EQ(channel->ReadData(buffer, sizeof buffer, &count), S_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + count), last);
  const auto reply = MakePacket(15, 4, std::string("Success\0", 8));
  EXPECT_EQ(channel->WriteData(reply.data(), static_cast<ULONG>(reply.size())), kChannelClosed);

  // The channel is closed already: releasing it sends no CLOSE, and the next frame the
  // handheld sees is the next OPEN.
  channel.Reset();
  EXPECT_EQ(sink.References(), 1) << "a closed channel holds no sink";
  RecordingChannelSink next;
  auto call = StartOpen(device.Get(), &next);
  auto frame = handheld.ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind, FrameKind::Open);
  handheld.SendFrame(FrameKind::Opened);
  ASSERT_TRUE(Ready(call));
  Ref<IDevMgrChannel> reopened(call.get().channel);
  EXPECT_TRUE(reopened);
  EXPECT_EQ(sink.Closed(), 1);
}

// ---- Time-outs and detach at awkward moments ------------------------------------------

TEST_F(UsbLinkManagerTest, NoAnswerToOpenEndsTheConnectionWithOneLogLine) {
  UsbLinkTiming timing;
  timing.openReplyMs = 300;
  Create(timing);
  RawHandheld silent(socketPath), other(socketPath);
  AttachRaw(silent, 1);
  AttachRaw(other, 2);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  const std::size_t linesBefore = log.Count();
  IDevMgrChannel* channel = nullptr;
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, &channel), kOpenTimedOut);
  EXPECT_TRUE(silent.WaitForEnd());
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  ASSERT_TRUE(log.WaitForCount(linesBefore + 1));
  EXPECT_EQ(log.Count(), linesBefore + 1);
  EXPECT_NE(log.Lines().back().find("no answer to OPEN within 300 ms"), std::string::npos)
      << log.Lines().back();
  EXPECT_EQ(sink.References(), 1);
  EXPECT_EQ(DeviceCount(manager.Get()), 1u);
}

TEST_F(UsbLinkManagerTest, DetachWhileOpeningOrChallengedFailsTheOpen) {
  Create();
  {
    RawHandheld handheld(socketPath);
    AttachRaw(handheld, 1);
    Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
    RecordingChannelSink sink;
    auto call = StartOpen(device.Get(), &sink);
    ASSERT_TRUE(handheld.ReadFrame());
    handheld.Close();
    ASSERT_TRUE(Ready(call));
    EXPECT_EQ(call.get().result, kDeviceGone);
    EXPECT_EQ(sink.References(), 1);
  }
  {
    // The user is still looking at the prompt when the handheld goes: the device is
    // removed at once, and the open fails once the prompt returns.
    RawHandheld handheld(socketPath);
    AttachRaw(handheld, 2);
    Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
    RecordingChannelSink sink;
    sink.passwords = {"pw"};
    std::promise<void> answered;
    std::shared_future<void> answer = answered.get_future().share();
    sink.duringChallenge = [answer] { answer.wait(); };
    auto call = StartOpen(device.Get(), &sink);
    ASSERT_TRUE(handheld.ReadFrame());
    handheld.SendFrame(FrameKind::Challenge, I32(10));
    ASSERT_TRUE(sink.WaitChallenged(1));
    handheld.Close();
    ASSERT_TRUE(deviceSink.WaitDisconnected(2));
    EXPECT_EQ(DeviceCount(manager.Get()), 0u);
    EXPECT_NE(call.wait_for(50ms), std::future_status::ready) << "the open waits for its challenge";
    answered.set_value();
    ASSERT_TRUE(Ready(call));
    EXPECT_EQ(call.get().result, kDeviceGone);
    EXPECT_EQ(sink.Attempts(), (std::vector<int>{10}));
    EXPECT_EQ(sink.References(), 1);
  }
  EXPECT_EQ(log.Count(), 1u) << "a detach is no bad input";
}

TEST_F(UsbLinkManagerTest, DetachMidFetchClosesTheChannelOnceAndFailsWrites) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 1);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);
  const auto read = MakePacket(14, 11, "");
  handheld.SendFrame(FrameKind::Data, read);
  ASSERT_TRUE(sink.WaitDataReady(1));
  handheld.Close();
  ASSERT_TRUE(sink.WaitClosed(1));
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  // The request that came before the detach can still be read; its answer cannot go.
  BYTE buffer[4006];
  ULONG count = 0;
  ASSERT_EQ(channel->ReadData(buffer, sizeof buffer, &count), S_OK);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + count), read);
  const auto chunk = MakePacket(15, 11, std::string(4000, 'd'));
  EXPECT_EQ(channel->WriteData(chunk.data(), static_cast<ULONG>(chunk.size())), kDeviceGone);
  // Releasing waits for a sink call still running, so the sink is let go by now.
  channel.Reset();
  EXPECT_EQ(sink.References(), 1);
  EXPECT_EQ(sink.Closed(), 1);
}

TEST_F(UsbLinkManagerTest, HandheldThatTakesNoDataIsDroppedInsteadOfBlockingTheWriter) {
  UsbLinkTiming timing;
  timing.sendMs = 200;
  Create(timing);
  RawHandheld stuck(socketPath);  // never reads
  AttachRaw(stuck, 1);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(stuck, device.Get(), sink));
  ASSERT_TRUE(channel);
  const auto chunk = MakePacket(15, 1, std::string(4000, 'c'));
  HRESULT result = S_OK;
  int sent = 0;
  // The socket's buffer fills up, then a write waits 200 ms and the handheld is dropped.
  while (SUCCEEDED(result) && sent < 100000) {
    result = channel->WriteData(chunk.data(), static_cast<ULONG>(chunk.size()));
    ++sent;
  }
  EXPECT_EQ(result, kDeviceGone);
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));
  ASSERT_TRUE(sink.WaitClosed(1));
  ASSERT_TRUE(log.WaitForCount(2));
  EXPECT_NE(log.Lines().back().find("send timed out"), std::string::npos) << log.Lines().back();
  EXPECT_EQ(channel->WriteData(chunk.data(), static_cast<ULONG>(chunk.size())), kDeviceGone);
}

// ---- Bad input ----------------------------------------------------------------------

struct BadInput {
  const char* name;
  bool attachFirst;
  bool openFirst;
  std::vector<std::uint8_t> bytes;
  const char* reason;
};

std::vector<std::uint8_t> RawFrame(std::uint8_t kind, std::vector<std::uint8_t> body,
                                   std::uint8_t reserved = 0) {
  std::vector<std::uint8_t> bytes(4 + body.size());
  bytes[0] = kind;
  bytes[1] = reserved;
  usblink::WriteLe16(bytes.data() + 2, static_cast<std::uint16_t>(body.size()));
  if (!body.empty()) std::memcpy(bytes.data() + 4, body.data(), body.size());
  return bytes;
}

TEST_F(UsbLinkManagerTest, BadInputEndsOnlyThatConnectionWithOneLogLine) {
  const std::vector<BadInput> cases = {
      {"unknown kind", true, false, RawFrame(0x42, {}), "unknown frame kind 0x42"},
      {"length over 8192", true, false, {0x10, 0, 0x01, 0x20}, "length 8193 is over 8192"},
      {"reserved byte", true, false, RawFrame(0x11, {}, 7), "reserved byte 0x07"},
      {"desktop's kind", true, false, RawFrame(0x90, std::vector<std::uint8_t>(6)),
       "is not sent by a handheld"},
      {"ATTACH cut short", false, false, RawFrame(0x01, {1, 0, 5, 0, 'B'}), "ATTACH property 1 of 1"},
      {"ATTACH unknown type", false, false, RawFrame(0x01, {1, 0, 1, 0, 'X', 9}), "unknown type 9"},
      {"no ATTACH first", false, false, RawFrame(0x10, {1}), "the first frame is DATA, not ATTACH"},
      {"second ATTACH", true, false, RawFrame(0x01, {0, 0}), "a second ATTACH"},
      {"DATA on a closed channel", true, false, RawFrame(0x10, {1, 2, 3}), "DATA on a closed channel"},
      {"OPENED unasked", true, false, RawFrame(0x02, {}), "OPENED without an OPEN"},
      {"CHALLENGE unasked", true, false, RawFrame(0x04, {5, 0, 0, 0}), "CHALLENGE without an OPEN"},
      {"CHALLENGE of 0", true, false, RawFrame(0x04, {0, 0, 0, 0}), "attempts 0 is not from 1 to 10"},
      {"CLOSE unasked", true, false, RawFrame(0x11, {}), "CLOSE with no channel open"},
      {"empty DATA", true, true, RawFrame(0x10, {}), "DATA body of 0 bytes"},
      {"second OPENED", true, true, RawFrame(0x02, {}), "OPENED without an OPEN"},
  };
  Create();
  RawHandheld good(socketPath);
  AttachRaw(good, 100);
  Ref<IDevMgrDevice> goodDevice(DeviceAt(manager.Get(), 0));
  RecordingChannelSink goodSink;
  Ref<IDevMgrChannel> goodChannel(OpenOnRaw(good, goodDevice.Get(), goodSink));
  ASSERT_TRUE(goodChannel);

  int disconnects = 0;
  std::uint16_t sequence = 1;
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t linesBefore = log.Count();
    RawHandheld bad(socketPath);
    Ref<IDevMgrChannel> badChannel;
    RecordingChannelSink badSink;
    if (c.attachFirst) {
      AttachRaw(bad, 1);
      if (c.openFirst) {
        Ref<IDevMgrDevice> badDevice(DeviceAt(manager.Get(), 1));
        *badChannel.Out() = OpenOnRaw(bad, badDevice.Get(), badSink);
        ASSERT_TRUE(badChannel);
      }
    }
    bad.SendBytes(c.bytes);
    EXPECT_TRUE(bad.WaitForEnd());
    ASSERT_TRUE(log.WaitForCount(linesBefore + 1));
    const auto lines = log.Lines();
    EXPECT_EQ(lines.size(), linesBefore + 1);
    EXPECT_NE(lines.back().find(c.reason), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("dropped"), std::string::npos) << lines.back();
    if (c.attachFirst) {
      ASSERT_TRUE(deviceSink.WaitDisconnected(++disconnects));
    }
    if (c.openFirst) {
      EXPECT_TRUE(badSink.WaitClosed(1));
      badChannel.Reset();
      EXPECT_EQ(badSink.References(), 1);
    }
    EXPECT_EQ(DeviceCount(manager.Get()), 1u);

    // The good handheld is still served, both ways.
    const auto packet = MakePacket(1, sequence, "still here");
    const int readyBefore = goodSink.DataReady();
    good.SendFrame(FrameKind::Data, packet);
    ASSERT_TRUE(goodSink.WaitDataReady(readyBefore + 1));
    BYTE buffer[4006];
    ULONG count = 0;
    ASSERT_EQ(goodChannel->ReadData(buffer, sizeof buffer, &count), S_OK);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + count), packet);
    const auto reply = MakePacket(2, sequence++, "ok");
    ASSERT_EQ(goodChannel->WriteData(reply.data(), static_cast<ULONG>(reply.size())), S_OK);
    auto frame = good.ReadFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->body, reply);
  }
  // Bad input before ATTACH never made a device.
  EXPECT_EQ(deviceSink.Connected(), 1 + disconnects);
}

TEST_F(UsbLinkManagerTest, MoreThan64UnreadPacketsEndTheConnection) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 1);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);
  for (std::uint16_t sequence = 1; sequence <= 64; ++sequence) {
    handheld.SendFrame(FrameKind::Data, MakePacket(1, sequence, "flood"));
  }
  ASSERT_TRUE(sink.WaitDataReady(64));
  EXPECT_EQ(DeviceCount(manager.Get()), 1u) << "64 unread packets are still fine";
  handheld.SendFrame(FrameKind::Data, MakePacket(1, 65, "flood"));
  EXPECT_TRUE(handheld.WaitForEnd());
  ASSERT_TRUE(sink.WaitClosed(1));
  EXPECT_EQ(sink.DataReady(), 64);
  ASSERT_TRUE(log.WaitForCount(2));
  EXPECT_NE(log.Lines().back().find("more than 64 unread packets"), std::string::npos) << log.Lines().back();
}

// ---- References and teardown ----------------------------------------------------------

TEST_F(UsbLinkManagerTest, ManagerReleasedFirstLeavesItsObjectsUsableAndSafe) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 44);
  Ref<IDevMgrDeviceList> list;
  ASSERT_EQ(manager->GetDevices(list.Out()), S_OK);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  Ref<IDevMgrPropertyList> properties;
  ASSERT_EQ(device->GetProperties(properties.Out()), S_OK);
  VARIANT zero;
  VariantInit(&zero);
  zero.vt = VT_I4;
  Ref<IDevMgrProperty> property;
  ASSERT_EQ(properties->GetItem(zero, property.Out()), S_OK);
  RecordingChannelSink sink;
  Ref<IDevMgrChannel> channel(OpenOnRaw(handheld, device.Get(), sink));
  ASSERT_TRUE(channel);

  // The program lets the manager go first (still advised): threads end, the socket goes,
  // the open channel hears OnClose, and the sinks are let go.
  advised = false;
  manager.Reset();
  EXPECT_EQ(deviceSink.References(), 1);
  struct stat info {};
  EXPECT_NE(::lstat(socketPath.c_str(), &info), 0);
  EXPECT_EQ(sink.Closed(), 1);
  EXPECT_EQ(sink.References(), 1);
  EXPECT_TRUE(handheld.WaitForEnd());

  // What the program still holds answers, in any order of release.
  const auto packet = MakePacket(15, 1, "late");
  EXPECT_EQ(channel->WriteData(packet.data(), static_cast<ULONG>(packet.size())), kDeviceGone);
  device.Reset();
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(property->GetValue(&value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 44);
  list.Reset();
  channel.Reset();
  properties.Reset();
  property.Reset();
}

TEST_F(UsbLinkManagerTest, UnadviseWaitsForAnEventBeingDeliveredAndStopsLaterOnes) {
  Create();
  std::promise<void> entered, leave;
  std::shared_future<void> leaving = leave.get_future().share();
  std::atomic<bool> inside{false};
  deviceSink.onConnected = [&] {
    inside = true;
    entered.set_value();
    leaving.wait();
    inside = false;
  };
  RawHandheld first(socketPath);
  first.Attach(1);
  entered.get_future().wait();
  auto unadvise = std::async(std::launch::async, [&] { return manager->UnadviseDeviceEvents(cookie); });
  EXPECT_NE(unadvise.wait_for(100ms), std::future_status::ready) << "returned while the event ran";
  leave.set_value();
  EXPECT_EQ(unadvise.get(), S_OK);
  EXPECT_FALSE(inside);
  advised = false;
  EXPECT_EQ(deviceSink.References(), 1);
  deviceSink.onConnected = nullptr;

  // The next arrival reaches nobody; another sink still gets it.
  RecordingDeviceSink other;
  DWORD otherCookie = 0;
  ASSERT_EQ(manager->AdviseDeviceEvents(&other, &otherCookie), S_OK);
  RawHandheld second(socketPath);
  second.Attach(2);
  ASSERT_TRUE(other.WaitConnected(1));
  EXPECT_EQ(deviceSink.Connected(), 1);
  EXPECT_EQ(manager->UnadviseDeviceEvents(otherCookie), S_OK);
  EXPECT_EQ(manager->UnadviseDeviceEvents(otherCookie), CONNECT_E_NOCONNECTION);
}

TEST_F(UsbLinkManagerTest, ReleasesFromInsideCallbacksDoNotDeadlock) {
  Create();
  RawHandheld handheld(socketPath);
  AttachRaw(handheld, 1);
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  RecordingChannelSink sink;
  IDevMgrChannel* channel = OpenOnRaw(handheld, device.Get(), sink);
  ASSERT_NE(channel, nullptr);
  std::atomic<IDevMgrChannel*> held{channel};
  sink.onDataReady = [&] {
    if (IDevMgrChannel* mine = held.exchange(nullptr)) mine->Release();
  };
  handheld.SendFrame(FrameKind::Data, MakePacket(1, 1, "x"));
  auto close = handheld.ReadFrame();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->kind, FrameKind::DesktopClose);
  EXPECT_EQ(sink.References(), 1);

  // The last reference to the manager dropped inside a device event.
  std::atomic<IDevMgrMain*> last{nullptr};
  std::promise<void> released;
  deviceSink.onConnected = [&] {
    if (IDevMgrMain* mine = last.exchange(nullptr)) {
      mine->Release();
      released.set_value();
    }
  };
  manager->UnadviseDeviceEvents(cookie);
  advised = false;
  DWORD insideCookie = 0;
  ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &insideCookie), S_OK);
  last = manager.Detach();  // the reference now belongs to the callback
  RawHandheld second(socketPath);
  second.Attach(2);
  ASSERT_EQ(released.get_future().wait_for(kEventWait), std::future_status::ready);
  EXPECT_TRUE(second.WaitForEnd());
  // The detached thread finishes the teardown on its own; the socket goes with it.
  for (int i = 0; i < 500; ++i) {
    struct stat info {};
    if (::lstat(socketPath.c_str(), &info) != 0 && deviceSink.References() == 1) break;
    std::this_thread::sleep_for(10ms);  // polling a file system state, no event to wait on
  }
  EXPECT_EQ(deviceSink.References(), 1);
}

TEST_F(UsbLinkManagerTest, ManyHandheldsExchangePacketsAtOnce) {
  Create();
  constexpr int kHandhelds = 4;
  constexpr int kPackets = 200;
  std::vector<std::unique_ptr<RawHandheld>> handhelds;
  for (int i = 0; i < kHandhelds; ++i) {
    handhelds.push_back(std::make_unique<RawHandheld>(socketPath));
    AttachRaw(*handhelds.back(), i);
  }
  std::atomic<bool> stop{false};
  std::thread lister([&] {
    while (!stop) EXPECT_EQ(DeviceCount(manager.Get()), static_cast<ULONG>(kHandhelds));
  });
  std::vector<std::thread> workers;
  std::vector<std::unique_ptr<RecordingChannelSink>> sinks;
  for (int i = 0; i < kHandhelds; ++i) sinks.push_back(std::make_unique<RecordingChannelSink>());
  for (int i = 0; i < kHandhelds; ++i) {
    Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), i));
    IDevMgrChannel* channel = OpenOnRaw(*handhelds[i], device.Get(), *sinks[i]);
    ASSERT_NE(channel, nullptr);
    // Each worker plays one handheld and its desktop side: request, read, echo, check.
    workers.emplace_back([&, i, channel] {
      BYTE buffer[4006];
      for (int n = 1; n <= kPackets; ++n) {
        const auto request =
            MakePacket(1, static_cast<std::uint16_t>(n), std::string(n * 17 % 4000, 'a' + i));
        handhelds[i]->SendFrame(FrameKind::Data, request);
        ASSERT_TRUE(sinks[i]->WaitDataReady(n));
        ULONG count = 0;
        ASSERT_EQ(channel->ReadData(buffer, sizeof buffer, &count), S_OK);
        ASSERT_EQ(std::vector<std::uint8_t>(buffer, buffer + count), request);
        const auto reply = MakePacket(2, static_cast<std::uint16_t>(n), std::string(6 + n % 100, 'A' + i));
        ASSERT_EQ(channel->WriteData(reply.data(), static_cast<ULONG>(reply.size())), S_OK);
        auto frame = handhelds[i]->ReadFrame();
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->body, reply);
      }
      channel->Release();
    });
  }
  for (auto& worker : workers) worker.join();
  stop = true;
  lister.join();
  for (auto& sink : sinks) EXPECT_EQ(sink->References(), 1);
}

}  // namespace
}  // namespace skiff::testing
