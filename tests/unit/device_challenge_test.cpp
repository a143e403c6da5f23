// The password challenge of a locked handheld: remembered passwords (used only at 10
// attempts, dropped otherwise, stored only after the channel opened), the prompt, a
// wrong answer, a cancel and the ignore rule that follows it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kSection[] = "Saved passwords";
constexpr LONG kPin = 0x2A0F;
constexpr HRESULT kCancelled = MakeHresult(0x800704C7u);

std::shared_ptr<FakeDevice> LockedDevice(WorkerHarness& h, const std::string& password, int attempts = 10) {
  auto device = h.manager.NewDevice({FakePropertySpec::Number(u"BBPIN", kPin)});
  device->SetPassword(password, attempts);
  return device;
}

std::vector<std::int32_t> PromptAttempts(const WorkerHarness& h) {
  std::vector<std::int32_t> attempts;
  for (const auto& request : h.requester.Requests()) attempts.push_back(request.attempts);
  return attempts;
}

std::vector<LONG> ChallengeAttempts(const FakeDevice& device) {
  std::vector<LONG> attempts;
  for (const auto& challenge : device.Challenges()) attempts.push_back(challenge.attempts);
  return attempts;
}

TEST(DeviceChallenge, ARememberedPasswordAnswersAtTenAttemptsWithoutAPrompt) {
  WorkerHarness h;
  h.profile.Set(kSection, "2a0f", "secret");
  auto device = LockedDevice(h, "secret");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(h.Serve(device));
  const std::string console = ::testing::internal::GetCapturedStderr();

  EXPECT_THAT(console, ::testing::HasSubstr("\nraw_OnChallenge: 10\n"));
  EXPECT_THAT(ChallengeAttempts(*device), ElementsAre(10));
  EXPECT_THAT(h.requester.Requests(), IsEmpty());
  EXPECT_THAT(h.profile.Writes(), IsEmpty()) << "a remembered password is not stored again";
  EXPECT_THAT(h.profile.Deletes(), IsEmpty());
  EXPECT_EQ(h.profile.Get(kSection, "2a0f"), "secret");
  for (const auto& line : h.Lines()) EXPECT_EQ(line.find("raw_OnChallenge"), std::string::npos) << line;
}

TEST(DeviceChallenge, ARememberedPasswordIsDeletedAndNotUsedWhenAttemptsAreNotTen) {
  WorkerHarness h;
  h.profile.Set(kSection, "2a0f", "secret");
  auto device = LockedDevice(h, "secret", 7);
  h.requester.PushAnswer("secret", false);
  ASSERT_TRUE(h.Serve(device));

  EXPECT_THAT(h.profile.Deletes(), ElementsAre("Saved passwords/2a0f"));
  EXPECT_EQ(h.profile.Get(kSection, "2a0f"), std::nullopt);
  ASSERT_EQ(h.requester.Requests().size(), 1u);
  EXPECT_EQ(h.requester.Requests()[0].attempts, 7);
  EXPECT_EQ(h.requester.Requests()[0].pin, static_cast<std::uint32_t>(kPin));
  EXPECT_THAT(h.profile.Writes(), IsEmpty()) << "the answer came without the remember tick";
}

TEST(DeviceChallenge, AWrongRememberedPasswordIsDroppedAndTheUserIsAsked) {
  WorkerHarness h;
  h.profile.Set(kSection, "2a0f", "old");
  auto device = LockedDevice(h, "new");
  h.requester.PushAnswer("new", true);
  ASSERT_TRUE(h.Serve(device));

  EXPECT_THAT(ChallengeAttempts(*device), ElementsAre(10, 9));
  EXPECT_THAT(PromptAttempts(h), ElementsAre(9));
  EXPECT_THAT(h.profile.Deletes(), ElementsAre("Saved passwords/2a0f"));
  EXPECT_THAT(h.profile.Writes(), ElementsAre("Saved passwords/2a0f=new"));
}

TEST(DeviceChallenge, AWrongTypedPasswordPromptsAgainAndTheLastAnswerDecidesWhatIsStored) {
  {
    WorkerHarness h;
    auto device = LockedDevice(h, "right");
    h.requester.PushAnswer("wrong", true);
    h.requester.PushAnswer("right", false);
    ASSERT_TRUE(h.Serve(device));
    EXPECT_THAT(PromptAttempts(h), ElementsAre(10, 9));
    EXPECT_THAT(h.profile.Writes(), IsEmpty());
  }
  {
    WorkerHarness h;
    auto device = LockedDevice(h, "right");
    h.requester.PushAnswer("wrong", false);
    h.requester.PushAnswer("right", true);
    ASSERT_TRUE(h.Serve(device));
    EXPECT_THAT(h.profile.Writes(), ElementsAre("Saved passwords/2a0f=right"));
    // The next pass is answered by the remembered password, without a prompt.
    device->LastChannel()->Close();
    ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));
    h.manager.RaiseDeviceConnected();
    ASSERT_TRUE(device->WaitForChannel(2));
    EXPECT_EQ(h.requester.Requests().size(), 2u);
  }
}

TEST(DeviceChallenge, NothingIsStoredWhenTheOpenFails) {
  WorkerHarness h;
  auto device = LockedDevice(h, "right");
  device->FailOpen(E_FAIL);
  h.requester.PushAnswer("right", true);
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(E_FAIL)));
  h.StopWorker();
  EXPECT_THAT(h.profile.Writes(), IsEmpty());
  EXPECT_EQ(h.display.Count("Client successfully connected"), 0u);
}

TEST(DeviceChallenge, EmptyAndLongPasswordsAreAnsweredWithTheDigestOfTheWholePassword) {
  for (const std::string& password : {std::string(), std::string("nineteen-characters"),
                                      std::string("exactly-twenty-chars"), std::string(57, 'p') + "!"}) {
    WorkerHarness h;
    auto device = LockedDevice(h, password);
    h.requester.PushAnswer(password, false);
    h.StartAndWaitForAdvise();
    h.manager.Attach(device);
    ASSERT_TRUE(device->WaitForChallenge(1));
    EXPECT_TRUE(h.display.WaitForLine("Client successfully connected")) << "password of " << password.size();
    EXPECT_THAT(ChallengeAttempts(*device), ElementsAre(10)) << "password of " << password.size();
  }
}

TEST(DeviceChallenge, ACancelledPromptIsIgnoredThroughAQuickReattachAndAskedAgainAfterAnEmptyPass) {
  WorkerHarness h;
  auto device = LockedDevice(h, "pw");
  h.requester.PushCancel();
  h.requester.PushAnswer("pw", false);
  h.StartAndWaitForAdvise();
  h.manager.Attach(device);
  // The cancel fails the challenge, and with it the open.
  ASSERT_TRUE(h.display.WaitForLine(ErrorLine(kCancelled)));
  ASSERT_EQ(device->Challenges().size(), 1u);
  EXPECT_EQ(device->Challenges()[0].result, kCancelled);
  EXPECT_THAT(LinesFrom(h.Lines(), "Device count > 0"),
              ElementsAre("Device count > 0", "BBPIN: 2a0f", "Opening Channel: SkiffhouseUSB",
                          "User pressed cancel", ErrorLine(kCancelled)));
  const int readsAfterCancel = device->PropertyReads();

  // Still attached: the next pass ignores it.
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(h.display.WaitForLine("Disconnect, wait 10 seconds, then reconnect to be asked again."));
  EXPECT_THAT(LinesFrom(h.Lines(), ErrorLine(kCancelled)),
              ElementsAre(ErrorLine(kCancelled), "Device count > 0",
                          "Ignoring device since password dialog was cancelled.",
                          "Disconnect, wait 10 seconds, then reconnect to be asked again."));

  // Detached and attached again before any pass saw it gone: still ignored.
  h.manager.Detach(device);
  h.manager.Attach(device);
  ASSERT_TRUE(h.display.WaitForLine("Disconnect, wait 10 seconds, then reconnect to be asked again.", 2));
  EXPECT_EQ(device->PropertyReads(), readsAfterCancel);
  EXPECT_EQ(device->OpenCalls(), 1);
  EXPECT_EQ(h.requester.Requests().size(), 1u);

  // Detached, a pass finds no device, attached again: read, opened, asked again.
  h.manager.Detach(device);
  h.manager.RaiseDeviceConnected();
  ASSERT_TRUE(h.display.WaitForLine("Device count is 0"));
  h.manager.Attach(device);
  ASSERT_TRUE(device->WaitForChannel(1));
  ASSERT_TRUE(h.display.WaitForLine("Client successfully connected"));
  EXPECT_EQ(device->PropertyReads(), readsAfterCancel + 1);
  EXPECT_EQ(h.requester.Requests().size(), 2u);
  EXPECT_EQ(h.display.Count("Ignoring device since password dialog was cancelled."), 2u);
}

}  // namespace
}  // namespace skiff::testing
