// The device worker against a scripted device manager, one scenario per behaviour a user
// meets: a handheld served, its properties and PIN, a locked handheld answered or wrong,
// signals that come together, failed reads and writes, no device events, and the stop in
// every state. A cancelled prompt is covered end to end (test_desktop.py).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/api/com_error.h"
#include "support/device_test_support.h"
#include "support/fake_http_transport.h"
#include "support/fake_profile.h"
#include "support/packet_bytes.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;
using Then = ScriptedPasswordRequester::Then;

constexpr std::uint32_t kHour = 3600000;
constexpr char kOpening[] = "Opening Channel: SkiffhouseUSB";
constexpr char kServed[] = "Client successfully connected";

Bytes Ping(std::uint16_t sequence, const std::string& text) {
  return PacketBytes(PacketType::Ping, sequence, text);
}
Bytes Pong(std::uint16_t sequence, const std::string& text) {
  return PacketBytes(PacketType::Pong, sequence, "Pong: " + text + std::string(1, '\0'));
}

usblink::DeviceProperty Number(std::string name, std::int32_t value) {
  return usblink::DeviceProperty::MakeInteger(std::move(name), value);
}
usblink::DeviceProperty Text(std::string name, std::string value) {
  return usblink::DeviceProperty::MakeText(std::move(name), std::move(value));
}

std::string ErrorLine(HRESULT code) {
  return ComErrorLine(ComError(code, nullptr));
}

// A worker wired to the fakes, its log recorded. Passes come only on arrivals unless the
// timing says otherwise.
struct Harness {
  explicit Harness(WorkerTiming timing = {kHour, kHour}) {
    log.SetWindow(&display);
    worker = std::make_unique<CDeviceWorker>(manager, transport, profile, requester, timing);
    worker->SetLog(&log);
    requester.Attach(worker.get());
  }
  ~Harness() {
    if (worker) worker->Stop();
  }
  // Starts the worker and, once it listens for device events, attaches the device.
  void Attach(const std::shared_ptr<FakeDevice>& device) {
    worker->Start();
    EXPECT_TRUE(Eventually([&] { return manager.Advised(); }));
    manager.Attach(device);
  }
  std::shared_ptr<FakeChannel> Serve(const std::shared_ptr<FakeDevice>& device) {
    Attach(device);
    return display.WaitForLine(kServed) ? device->LastChannel() : nullptr;
  }
  // The lines from the first `first` on, without the arrival lines, which come at a
  // moment of the device manager's own.
  std::vector<std::string> LinesFrom(const std::string& first) const {
    auto lines = display.Lines();
    lines.erase(std::remove(lines.begin(), lines.end(), "Device connected!"), lines.end());
    return std::vector<std::string>(std::find(lines.begin(), lines.end(), first), lines.end());
  }

  FakeDeviceManager manager;
  FakeHttpTransport transport;
  InMemoryProfile profile;
  ScriptedPasswordRequester requester;
  RecordingLogDisplay display;
  CActivityLog log;
  std::unique_ptr<CDeviceWorker> worker;
};

// After the stop: everything the worker held is let go, and no event reaches it any more.
void ExpectLetGo(Harness& h) {
  EXPECT_EQ(h.manager.refs, 0);
  EXPECT_FALSE(h.manager.Advised());
  EXPECT_EQ(h.worker->AddRef(), 1u) << "the device manager still holds a sink reference";
  h.worker->Release();
  const auto lines = h.display.Lines();
  h.manager.Arrival();
  h.worker->OnDeviceConnected(nullptr);
  h.worker->OnClose();
  h.worker->OnDataReady();
  EXPECT_EQ(h.display.Lines(), lines);
}

TEST(DeviceWorker, TheFirstHandheldIsServedUntilItClosesAndEverythingIsLetGo) {
  Harness h;
  h.worker->Stop();  // before the start: does nothing
  auto first = h.manager.NewDevice({Text("DeviceName", "Skiff 9000"), Number("BBPIN", 0x2A0F)});
  auto second = h.manager.NewDevice({Number("BBPIN", 0x22)});
  h.manager.Attach(first);  // not yet listened to: no event
  h.Serve(second);
  auto channel = first->LastChannel();
  ASSERT_TRUE(channel);
  channel->Deliver(Ping(1, "abcdefghij"));
  auto liar = Ping(2, "xyz");
  liar[4] = 10;  // claims 10 payload bytes; 3 arrived
  channel->Deliver(liar);
  channel->Deliver(PacketBytes(PacketType::Pong, 3));
  ASSERT_TRUE(h.display.WaitForLine("Got ping response"));
  channel->Close();
  ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));

  EXPECT_THAT(channel->written.Get(), ElementsAre(Pong(1, "abcdefghij"), Pong(2, "xyz")));
  EXPECT_THAT(
      h.LinesFrom("Device count > 0"),
      ElementsAre("Device count > 0", "DeviceName: Skiff 9000", "BBPIN: 2a0f", kOpening, kServed,
                  "Packet length 10 exceeds the 3 payload bytes received; using those", "Got ping response",
                  "rawOnClose", "Port closed", "No longer connected", "Finished handling client"));
  EXPECT_EQ(second->openCalls, 0);
  EXPECT_EQ(channel->refs, 0);
  h.manager.Detach(second);  // a removal starts no pass
  h.worker->Stop();
  EXPECT_THAT(h.LinesFrom("Finished handling client"),
              ElementsAre("Finished handling client", "Device disconnected"));
  EXPECT_EQ(first->refs, 0);
  ExpectLetGo(h);
  h.worker->Stop();
  h.worker->Start();  // a stopped worker does not start again
  EXPECT_EQ(h.manager.attempts, 1);
  EXPECT_EQ(h.manager.unadviseCalls, 1);
}

TEST(DeviceWorker, PropertiesAreLoggedAndTheOneNamedBbpinGivesThePin) {
  const struct Case {
    std::vector<usblink::DeviceProperty> properties;
    std::vector<std::string> lines;  // up to the open, or the error that ends the pass
    std::uint32_t pin;               // 0: left alone
  } cases[] = {
      {{Text("BBPIN", "4660")}, {"BBPIN: 1234", kOpening}, 4660},
      {{Number("BBPIN", 0x00AB0C), Text("Name", "Skiff"), Number("BBPIN", -1)},  // the last one decides
       {"BBPIN: ab0c", "Name: Skiff", "BBPIN: ffffffff", kOpening},
       0xFFFFFFFF},
      {{Number("bbpin", 5), Number("BBPIN ", 6), Text("Owner", "BBPIN"), Number("", -7)},
       {"bbpin: 5", "BBPIN : 6", "Owner: BBPIN", ": -7", kOpening},
       0},
      {{Text("BBPIN", "12ab"), Text("Later", "x")}, {ErrorLine(DISP_E_TYPEMISMATCH)}, 0},
      {{Text("BBPIN", "99999999999")}, {ErrorLine(DISP_E_OVERFLOW)}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.front());
    Harness h;
    h.Attach(h.manager.NewDevice(c.properties));
    ASSERT_TRUE(h.display.WaitForLine(c.lines.back()));
    h.worker->Stop();
    auto lines = h.LinesFrom("Device count > 0");
    const auto opening = std::find(lines.begin(), lines.end(), kOpening);
    lines.erase(opening == lines.end() ? opening : opening + 1, lines.end());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.lines);
    EXPECT_EQ(h.worker->Pin(), c.pin);
  }
}

TEST(DeviceWorker, ALockedHandheldIsAnsweredFromTheProfileOrThePromptAndOnlyAnOpenStoresIt) {
  const std::string right = "right, and longer than a SHA-1 block: all of it must be digested, not a part";
  const ScriptedPasswordRequester::Step wrong{Then::Answer, "wrong"}, typed{Then::Answer, right},
      typedKept{Then::Answer, right, true};
  const struct Case {        // NOLINT(clang-analyzer-optin.performance.Padding): a test table
    const char* remembered;  // none: nullptr
    LONG attempts;
    std::vector<ScriptedPasswordRequester::Step> prompt;
    HRESULT openFailure;
    std::vector<LONG> challenged, prompted;
    bool stored;  // right is in the profile at the end
    std::size_t writes;
  } cases[] = {
      {"", 10, {}, S_OK, {10}, {}, true, 0},                  // remembered: not asked
      {"old", 10, {typedKept}, S_OK, {10, 9}, {9}, true, 1},  // dropped, asked
      {"", 7, {typed}, S_OK, {7}, {7}, false, 0},             // not at 10: not used, dropped
      {nullptr, 10, {wrong, typedKept}, S_OK, {10, 9}, {10, 9}, true, 1},
      {nullptr, 10, {typedKept}, E_FAIL, {10}, {10}, false, 0},  // only an open stores it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Harness h;
    if (c.remembered) h.profile.Set(kSavedPasswordsSection, "2a0f", *c.remembered ? c.remembered : right);
    auto device = h.manager.NewDevice({Number("BBPIN", 0x2A0F)});
    device->password = right;
    device->attempts = c.attempts;
    device->openFailure = c.openFailure;
    h.requester.script = c.prompt;
    h.Attach(device);
    ASSERT_TRUE(
        Eventually([&] { return h.display.Count(kServed) + h.display.Count(ErrorLine(E_FAIL)) > 0; }));
    h.worker->Stop();

    std::vector<LONG> challenged, prompted;
    for (const auto& challenge : device->challenges.Get()) challenged.push_back(challenge.first);
    for (const auto& [attempts, pin] : h.requester.requests.Get()) {
      prompted.push_back(attempts);
      EXPECT_EQ(pin, 0x2A0Fu);
    }
    EXPECT_EQ(challenged, c.challenged);
    EXPECT_EQ(prompted, c.prompted);
    EXPECT_EQ(h.profile.Get(kSavedPasswordsSection, "2a0f") == right, c.stored);
    EXPECT_EQ(h.profile.Writes().size(), c.writes);
  }
}

TEST(DeviceWorker, SignalsThatComeWhileAReplyIsWrittenAreEachHandledDataBeforeTheClose) {
  Harness h;
  auto device = h.manager.NewDevice({Number("BBPIN", 0x42)});
  auto channel = h.Serve(device);
  ASSERT_TRUE(channel);
  channel->holdWrites = true;
  channel->Deliver(Ping(1, "a"));
  ASSERT_TRUE(Eventually([&] { return channel->writeHeld.load(); }));
  channel->Deliver(Ping(2, "b"));
  channel->Deliver(Ping(3, "c"));
  channel->Close();
  // The handheld also goes and another comes before the worker has seen the close.
  h.manager.Detach(device);
  h.manager.Attach(h.manager.NewDevice({Number("BBPIN", 0x43)}));
  channel->holdWrites = false;
  ASSERT_TRUE(h.display.WaitForLine(kServed, 2));

  EXPECT_THAT(channel->written.Get(), ElementsAre(Pong(1, "a"), Pong(2, "b"), Pong(3, "c")));
}

TEST(DeviceWorker, AFailedReadKeepsTheClientAndAFailedWriteEndsThePassKeepingTheChannel) {
  Harness h;
  auto device = h.manager.NewDevice({Number("BBPIN", 1)});
  auto channel = h.Serve(device);
  ASSERT_TRUE(channel);
  channel->readFailure = RPC_E_DISCONNECTED;
  channel->Deliver(Ping(1, "lost"));
  channel->Deliver(Ping(2, "next"));
  ASSERT_TRUE(Eventually([&] { return !channel->written.Get().empty(); }));
  channel->writeFailure = E_ACCESSDENIED;
  channel->Deliver(Ping(3, "x"));
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_ACCESSDENIED)));
  EXPECT_THAT(channel->written.Get(), ElementsAre(Pong(2, "next")));
  EXPECT_THAT(h.LinesFrom(kServed),
              ElementsAre(kServed, ErrorLine(RPC_E_DISCONNECTED), ErrorLine(E_ACCESSDENIED)));
  EXPECT_EQ(channel->refs, 1);
  // The next pass opens a new channel and lets go of the old; the stop lets go of one
  // that a failed pass left too.
  h.manager.Arrival();
  ASSERT_TRUE(h.display.WaitForLine(kServed, 2));
  device->LastChannel()->writeFailure = E_FAIL;
  device->LastChannel()->Deliver(Ping(1, "y"));
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_FAIL)));
  h.worker->Stop();
  EXPECT_EQ(h.display.Count("No longer connected"), 0u);
  ExpectLetGo(h);
}

TEST(DeviceWorker, ACloseReportedWhenAChannelIsLetGoDoesNotEndTheNextClient) {
  Harness h({kHour, 20});  // the next pass comes by time-out, with no arrival
  auto device = h.manager.NewDevice({Number("BBPIN", 7)});
  device->closeOnRelease = true;
  auto first = h.Serve(device);
  ASSERT_TRUE(first);
  first->Close();
  ASSERT_TRUE(h.display.WaitForLine(kServed, 2));
  auto second = device->LastChannel();
  second->Deliver(Ping(1, "x"));
  ASSERT_TRUE(Eventually([&] { return !second->written.Get().empty(); }));
  EXPECT_EQ(h.display.Count("rawOnClose"), 2u);
  EXPECT_EQ(h.display.Count("Finished handling client"), 1u);
  h.manager.unadviseFailure = E_UNEXPECTED;
  h.worker.reset();  // a running worker stops first
  EXPECT_EQ(second->refs, 0);
  EXPECT_EQ(h.manager.refs, 0) << "a failed unregistration does not stop the teardown";
  EXPECT_EQ(h.display.Lines().back(), ErrorLine(E_UNEXPECTED));
}

// A missing device manager's lines and retries are met end to end under Wine
// (NoDeviceManager); here the handheld is still found when device events cannot be had.
TEST(DeviceWorker, WithoutDeviceEventsTimedPassesStillFindTheHandheld) {
  Harness h({kHour, 20});
  h.manager.adviseFailure = E_FAIL;
  h.worker->Start();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0"));
  h.manager.Attach(h.manager.NewDevice({Number("BBPIN", 1)}));
  ASSERT_TRUE(h.display.WaitForLine(kServed));
  h.worker->Stop();
  auto lines = h.display.Lines();
  lines.resize(3);
  EXPECT_THAT(lines, ElementsAre("Connection advice is unavailable", ErrorLine(E_FAIL), "Device count is 0"));
  EXPECT_EQ(h.manager.unadviseCalls, 0) << "a sink never registered is not unregistered";
  ExpectLetGo(h);
}

TEST(DeviceWorker, StopEndsEveryStatePromptlyAndLetsEverythingGo) {
  for (const std::string state : {"watching", "retrying", "serving", "prompt open", "answer never comes"}) {
    SCOPED_TRACE(state);
    Harness h;
    auto device = h.manager.NewDevice({Number("BBPIN", 1)});
    if (state != "serving") device->password = "pw";
    h.requester.script = {{state == "prompt open" ? Then::HoldUntilAbandoned : Then::ReturnWithoutAnswer}};
    h.manager.failures = state == "retrying" ? 1000 : 0;
    if (state == "watching" || state == "retrying") {
      h.worker->Start();
    } else {
      h.Attach(device);
    }
    ASSERT_TRUE(Eventually([&] {
      if (state == "retrying") return h.manager.attempts == 2;
      if (state == "watching") return h.manager.Advised();
      return h.display.Count(kServed) + h.requester.requests.Get().size() > 0;
    }));
    const auto stopping = std::chrono::steady_clock::now();
    h.worker->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2)) << "not promptly";
    ExpectLetGo(h);
    EXPECT_EQ(device->refs, 0);
    EXPECT_TRUE(device->LastChannel() == nullptr || device->LastChannel()->refs == 0);
    EXPECT_EQ(h.manager.attempts, state == "retrying" ? 2 : 1);
    EXPECT_EQ(h.manager.getDevicesCalls, device->openCalls) << "the stop ran a pass";
    EXPECT_EQ(h.display.Count("Finished handling client"), state == "serving" ? 1u : 0u);
    EXPECT_EQ(h.display.Count("User pressed cancel"), 0u) << "the program stopped; the user did not cancel";
    for (const auto& challenge : device->challenges.Get()) EXPECT_EQ(challenge.second, kChallengeCancelled);
  }
}

}  // namespace
}  // namespace skiff::testing
