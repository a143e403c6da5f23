// The worker as the device manager's event sink and as the log's entry point: interface
// queries, the reference count under concurrent use, the sinks' log lines, the two forms
// of Log and their console echo.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DeviceSinks, OnlyTheChannelSinkAndIUnknownAreHandedOutAndBothGiveTheSamePointer) {
  WorkerHarness h;
  CDeviceWorker& worker = *h.worker;
  IDevMgrChannelSink* const expected = &worker;

  for (IUnknown* through : {static_cast<IUnknown*>(static_cast<IDevMgrChannelSink*>(&worker)),
                            static_cast<IUnknown*>(static_cast<IDevMgrDeviceSink*>(&worker))}) {
    for (const IID* iid : {&IID_IDevMgrChannelSink, &IID_IUnknown}) {
      void* out = nullptr;
      EXPECT_EQ(through->QueryInterface(*iid, &out), S_OK);
      EXPECT_EQ(out, static_cast<void*>(expected));
      EXPECT_EQ(through->Release(), 0u) << "QueryInterface must add exactly one reference";
    }
    for (const IID* iid : {&IID_IDevMgrMain, &IID_IDevMgrDevice, &IID_IDevMgrChannel, &IID_IErrorInfo,
                           &IID_ISupportErrorInfo}) {
      void* out = reinterpret_cast<void*>(0x1);
      EXPECT_EQ(through->QueryInterface(*iid, &out), E_NOINTERFACE);
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(worker.AddRef(), 1u) << "a refused query must not add a reference";
  EXPECT_EQ(worker.Release(), 0u);
}

TEST(DeviceSinks, TheReferenceCountStaysExactUnderConcurrentUse) {
  WorkerHarness h;
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half the threads go through the second base, as a device manager holding the
      // device sink does.
      IUnknown* through = t % 2 == 0
                              ? static_cast<IUnknown*>(static_cast<IDevMgrChannelSink*>(h.worker.get()))
                              : static_cast<IUnknown*>(static_cast<IDevMgrDeviceSink*>(h.worker.get()));
      for (int i = 0; i < kRounds; ++i) through->AddRef();
      for (int i = 0; i < kRounds - 1; ++i) through->Release();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(h.worker->Release(), static_cast<ULONG>(kThreads - 1));
}

TEST(DeviceSinks, EventsWriteTheirLinesAndAnswerSuccess) {
  WorkerHarness h;
  EXPECT_EQ(h.worker->OnNotify(), S_OK);
  EXPECT_EQ(h.worker->OnDataReady(), S_OK);
  EXPECT_THAT(h.Lines(), IsEmpty()) << "a notification and data announcement write nothing";
  EXPECT_EQ(h.worker->OnDeviceConnected(nullptr), S_OK);
  EXPECT_EQ(h.worker->OnDeviceDisconnected(reinterpret_cast<void*>(0x1234)), S_OK);
  EXPECT_EQ(h.worker->OnClose(), S_OK);
  EXPECT_THAT(h.Lines(), ElementsAre("Device connected!", "Device disconnected", "rawOnClose"));
}

TEST(DeviceSinks, LogFormsKeepTextVerbatimAndOnlyTheOnePartFormEchoes) {
  WorkerHarness h;
  ::testing::internal::CaptureStderr();
  h.worker->Log("100% %s %d done");
  h.worker->Log("Opening Channel: ", "SkiffhouseUSB");
  h.worker->Log("");
  const std::string echoed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(echoed, "100% %s %d done\n\n");
  EXPECT_THAT(h.Lines(), ElementsAre("100% %s %d done", "Opening Channel: SkiffhouseUSB", ""));
}

TEST(DeviceSinks, BeforeALogIsSetLinesAreNotKeptButStillEchoed) {
  FakeDeviceManager manager;
  FakeDeviceManagerFactory factory(manager);
  HangingHttpTransport transport;
  InMemoryProfile profile;
  ScriptedPasswordRequester requester;
  CDeviceWorker worker(factory, transport, profile, requester);
  ::testing::internal::CaptureStderr();
  worker.Log("early");
  worker.Log("two ", "parts");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "early\n");

  RecordingLogDisplay display;
  CActivityLog log;
  log.SetWindow(&display);
  worker.SetLog(&log);
  worker.Log("late");
  EXPECT_THAT(display.Lines(), ElementsAre("late"));
}

}  // namespace
}  // namespace skiff::testing
