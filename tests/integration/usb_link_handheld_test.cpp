// The simulated handheld: its SHA-1, script lines and URLs on their own, then the real
// skiffhouse-handheld binary against the device manager, with this test playing the
// desktop program's side of the channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <sstream>

#include "fetch.h"
#include "integration/usb_link_support/usb_link_harness.h"
#include "packet_text.h"

extern char** environ;

namespace skiff::testing {
namespace {

using namespace std::chrono_literals;
using handheld::WirePacket;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// ---- Pieces of the tool -------------------------------------------------------------

TEST(HandheldPiecesTest, ScriptLinesParseAndRefuseClearly) {
  WirePacket packet;
  std::string error;
  ASSERT_EQ(handheld::ParseScriptLine("Ping 7 text:abc", &packet, &error),
            handheld::ScriptLineResult::Packet);
  EXPECT_EQ(packet.type, 1);
  EXPECT_EQ(packet.sequence, 7);
  EXPECT_EQ(packet.payload, Bytes("abc"));
  ASSERT_EQ(handheld::ParseScriptLine("logmessage 0x10 text:a\\r\\nb\\x41\\0\r", &packet, &error),
            handheld::ScriptLineResult::Packet);
  EXPECT_EQ(packet.type, 30);
  EXPECT_EQ(packet.sequence, 16);
  EXPECT_EQ(packet.payload, Bytes(std::string("a\r\nbA\0", 6)));
  ASSERT_EQ(handheld::ParseScriptLine("  99 65535 hex:01 02:ff", &packet, &error),
            handheld::ScriptLineResult::Packet);
  EXPECT_EQ(packet.type, 99);
  EXPECT_EQ(packet.sequence, 65535);
  EXPECT_EQ(packet.payload, (std::vector<std::uint8_t>{1, 2, 0xFF}));
  ASSERT_EQ(handheld::ParseScriptLine("Send 3", &packet, &error), handheld::ScriptLineResult::Packet);
  EXPECT_TRUE(packet.payload.empty());
  EXPECT_EQ(handheld::ParseScriptLine("", &packet, &error), handheld::ScriptLineResult::Skip);
  EXPECT_EQ(handheld::ParseScriptLine("# Ping 1", &packet, &error), handheld::ScriptLineResult::Skip);

  const std::pair<std::string, std::string> bad[] = {
      {"Pingg 1", "unknown packet type \"Pingg\""},
      {"Ping", "a sequence number is missing"},
      {"Ping 65536", "is no sequence number"},
      {"Ping 1 hex:123", "odd number of digits"},
      {"Ping 1 hex:zz", "is no hex digit"},
      {"Ping 1 text:\\q", "unknown escape \\q"},
      {"Ping 1 abc", "must start with text: or hex:"},
      {"Body 1 text:" + std::string(4001, 'b'), "4001 bytes is over 4000"},
  };
  for (const auto& [line, reason] : bad) {
    error.clear();
    EXPECT_EQ(handheld::ParseScriptLine(line, &packet, &error), handheld::ScriptLineResult::Error) << line;
    EXPECT_NE(error.find(reason), std::string::npos) << line << ": " << error;
  }
}

TEST(HandheldPiecesTest, PacketsPrintReadably) {
  WirePacket reply{15, 8, Bytes(std::string("Success\0", 8))};
  EXPECT_EQ(handheld::FormatPacket(reply), "Reply 8 len=8 text:Success\\0");
  WirePacket error{3, 9, {0xCC, 0x0A, 0x0D, 0x00, 'N', 'o', 0}};
  EXPECT_EQ(handheld::FormatPacket(error), "Error 9 len=7 code:854732 text:No\\0");
  WirePacket binary{15, 10, {0, 1, 2, 0xFF}};
  EXPECT_EQ(handheld::FormatPacket(binary), "Reply 10 len=4 hex:000102ff");
  WirePacket unknown{77, 1, {}};
  EXPECT_EQ(handheld::FormatPacket(unknown), "type77 1 len=0");
}

TEST(HandheldPiecesTest, UrlsAreTakenApartOrRefused) {
  handheld::ParsedUrl url;
  std::string error;
  ASSERT_TRUE(handheld::ParseUrl("https://example.test", &url, &error)) << error;
  EXPECT_TRUE(url.secure);
  EXPECT_EQ(url.host, "example.test");
  EXPECT_EQ(url.port, 443);
  EXPECT_EQ(url.path, "/");
  ASSERT_TRUE(handheld::ParseUrl("HTTP://[::1]:8080/a/b?c=d#frag", &url, &error)) << error;
  EXPECT_FALSE(url.secure);
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.port, 8080);
  EXPECT_EQ(url.path, "/a/b?c=d");
  ASSERT_TRUE(handheld::ParseUrl("http://127.0.0.1?x", &url, &error)) << error;
  EXPECT_EQ(url.port, 80);
  EXPECT_EQ(url.path, "/?x");
  for (const char* bad : {"ftp://host/", "host/path", "http://:80/", "http://h:0/", "http://h:70000/",
                          "http://user@h/", "http://[::1/"}) {
    EXPECT_FALSE(handheld::ParseUrl(bad, &url, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(HandheldPiecesTest, FetchPlanChecksSizesBeforeAnythingIsSent) {
  TempDir dir;
  handheld::FetchOptions options;
  options.url = "http://127.0.0.1:9/upload";
  options.headers = {"A: 1", "B: 2"};
  const std::string exact = dir.Path() + "/exact", over = dir.Path() + "/over";
  std::ofstream(exact, std::ios::binary) << std::string(4000, 'e');
  std::ofstream(over, std::ios::binary) << std::string(4001, 'o');
  options.data = "@" + exact;
  handheld::FetchPlan plan;
  std::string error;
  ASSERT_TRUE(handheld::PrepareFetch(options, &plan, &error)) << error;
  EXPECT_EQ(plan.verb, "POST");
  EXPECT_EQ(plan.headers, "A: 1\r\nB: 2");
  ASSERT_TRUE(plan.body);
  EXPECT_EQ(plan.body->size(), 4000u);
  options.data = "@" + over;
  EXPECT_FALSE(handheld::PrepareFetch(options, &plan, &error));
  EXPECT_NE(error.find("4001 bytes does not fit one packet"), std::string::npos) << error;
  options.data = "@" + dir.Path() + "/missing";
  EXPECT_FALSE(handheld::PrepareFetch(options, &plan, &error));
  options.data.reset();
  options.verb = "GET";
  options.headers = {std::string(4001, 'h')};
  EXPECT_FALSE(handheld::PrepareFetch(options, &plan, &error));
  EXPECT_NE(error.find("headers"), std::string::npos) << error;

  handheld::SequenceCounter sequences;
  EXPECT_EQ(sequences.Next(), 1);
  for (int i = 2; i < 30000; ++i) sequences.Next();
  EXPECT_EQ(sequences.Next(), 30000);
  EXPECT_EQ(sequences.Next(), 1) << "after 30000 the desktop takes 1 as new";
}

// ---- The binary against the device manager --------------------------------------------

// The handheld process, its output in files.
class HandheldProcess {
 public:
  HandheldProcess(const TempDir& dir, std::vector<std::string> args, const std::string& input = {}) {
    const std::string in = dir.Path() + "/stdin" + std::to_string(s_count);
    m_out = dir.Path() + "/stdout" + std::to_string(s_count);
    m_err = dir.Path() + "/stderr" + std::to_string(s_count);
    ++s_count;
    std::ofstream(in, std::ios::binary) << input;
    args.insert(args.begin(), SKIFF_HANDHELD_BINARY);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    m_exit = std::async(std::launch::async, [pid = m_pid] {
      int status = 0;
      if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    });
  }
  ~HandheldProcess() {
    if (m_exit.valid() && m_exit.wait_for(0ms) != std::future_status::ready) {
      ::kill(m_pid, SIGKILL);
      m_exit.wait();
    }
  }

  // The exit status, or -2 when it did not end in time.
  int Wait(std::chrono::milliseconds limit = kEventWait) {
    if (m_exit.wait_for(limit) != std::future_status::ready) return -2;
    return m_exit.get();
  }
  void Signal(int signal) { ::kill(m_pid, signal); }
  std::string Out() const { return ReadFile(m_out); }
  std::string Err() const { return ReadFile(m_err); }

 private:
  static inline int s_count = 0;
  pid_t m_pid = -1;
  std::string m_out, m_err;
  std::future<int> m_exit;
};

// Plays the desktop program's side of one channel.
class DesktopSide {
 public:
  DesktopSide(IDevMgrChannel* channel, RecordingChannelSink& sink) : m_channel(channel), m_sink(sink) {}
  ~DesktopSide() {
    if (m_channel != nullptr) m_channel->Release();
  }

  std::optional<WirePacket> Next() {
    if (!m_sink.WaitDataReady(m_consumed + 1)) return std::nullopt;
    ++m_consumed;
    BYTE buffer[4006];
    ULONG count = 0;
    WirePacket packet;
    if (m_channel->ReadData(buffer, sizeof buffer, &count) != S_OK ||
        !WirePacket::Decode(buffer, count, &packet)) {
      return std::nullopt;
    }
    return packet;
  }
  HRESULT Send(std::uint16_t type, std::uint16_t sequence, const std::string& payload) {
    const auto bytes = MakePacket(type, sequence, payload);
    return m_channel->WriteData(bytes.data(), static_cast<ULONG>(bytes.size()));
  }
  HRESULT Success(std::uint16_t sequence) { return Send(15, sequence, std::string("Success\0", 8)); }
  void Release() {
    if (m_channel != nullptr) m_channel->Release();
    m_channel = nullptr;
  }

 private:
  IDevMgrChannel* m_channel;
  RecordingChannelSink& m_sink;
  int m_consumed = 0;
};

std::string Value32(std::uint32_t value, const std::string& text) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes + text + std::string(1, '\0');
}

class HandheldBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socketPath = dir.Path() + "/usb.sock";
    factory = std::make_unique<CUsbDeviceManagerFactory>(socketPath, log);
    ASSERT_EQ(factory->CreateDeviceManager(manager.Out()), S_OK);
    ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &cookie), S_OK);
  }
  void TearDown() override {
    manager->UnadviseDeviceEvents(cookie);
    manager.Reset();
  }

  std::vector<std::string> Args(std::vector<std::string> more) {
    more.insert(more.begin(), {"--socket", socketPath});
    return more;
  }

  // Waits for the handheld to attach and opens its channel.
  IDevMgrChannel* Open(RecordingChannelSink& sink, HRESULT expected = S_OK) {
    EXPECT_TRUE(deviceSink.WaitConnected(1));
    Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
    if (!device) return nullptr;
    IDevMgrChannel* channel = nullptr;
    EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, &channel), expected);
    return channel;
  }

  TempDir dir;
  std::string socketPath;
  RecordingLog log;
  RecordingDeviceSink deviceSink;
  std::unique_ptr<CUsbDeviceManagerFactory> factory;
  Ref<IDevMgrMain> manager;
  DWORD cookie = 0;
};

TEST_F(HandheldBinaryTest, PingCarriesPinAndPropertiesAndPrintsThePong) {
  HandheldProcess process(dir, Args({"--pin", "0x2a0f", "--property", "Model=Test 9", "--property",
                                     "Build=-12", "ping", "hello"}));
  ASSERT_TRUE(deviceSink.WaitConnected(1)) << process.Err();
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  EXPECT_EQ(PropertyText(device.Get(), "BBPIN"), "I4:10767");
  EXPECT_EQ(PropertyText(device.Get(), "Model"), "BSTR:Test 9");
  EXPECT_EQ(PropertyText(device.Get(), "Build"), "I4:-12");
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  auto ping = desktop.Next();
  ASSERT_TRUE(ping);
  EXPECT_EQ(ping->type, 1);
  EXPECT_EQ(ping->sequence, 1);
  EXPECT_EQ(ping->payload, Bytes("hello"));
  ASSERT_EQ(desktop.Send(2, 1, std::string("Pong: hello\0", 12)), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(), "Pong: hello\n");
  // It closes its channel and goes.
  EXPECT_TRUE(sink.WaitClosed(1));
  EXPECT_TRUE(deviceSink.WaitDisconnected(1));
}

TEST_F(HandheldBinaryTest, LostReplyIsAskedForAgainAndStrayRepliesAreIgnored) {
  HandheldProcess process(dir, Args({"--drop-reply", "1", "--timeout", "300", "log", "a note"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  auto request = desktop.Next();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->type, 30);
  EXPECT_EQ(request->payload, Bytes("a note"));
  ASSERT_EQ(desktop.Success(request->sequence), S_OK);  // thrown away by the handheld
  auto again = desktop.Next();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->type, 30);
  EXPECT_EQ(again->sequence, request->sequence) << "a resend keeps its sequence";
  ASSERT_EQ(desktop.Send(15, static_cast<std::uint16_t>(request->sequence + 5), std::string("Wrong\0", 6)),
            S_OK);
  ASSERT_EQ(desktop.Success(request->sequence), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(), "Success\n") << "the stray reply was taken";
  EXPECT_NE(process.Err().find("dropping reply 1"), std::string::npos) << process.Err();
  EXPECT_NE(process.Err().find("asking again"), std::string::npos) << process.Err();
}

TEST_F(HandheldBinaryTest, PasswordIsChallengedAndAttachEndsOnSigterm) {
  HandheldProcess process(dir, Args({"--password", "pw", "attach"}));
  RecordingChannelSink sink;
  sink.passwords = {"nope", "pw"};
  IDevMgrChannel* channel = Open(sink);
  ASSERT_NE(channel, nullptr) << process.Err();
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{10, 9}));
  channel->Release();
  process.Signal(SIGTERM);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_TRUE(deviceSink.WaitDisconnected(1));
}

TEST_F(HandheldBinaryTest, LastWrongPasswordWipesTheHandheld) {
  HandheldProcess process(dir, Args({"--password", "pw", "attach"}));
  RecordingChannelSink sink;
  sink.passwords = {"nope"};
  EXPECT_EQ(Open(sink, kHandheldWiped), nullptr);
  EXPECT_EQ(sink.Attempts(), (std::vector<int>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(process.Wait(), handheld::kExitWiped) << process.Err();
  EXPECT_NE(process.Err().find("wiped"), std::string::npos);
  EXPECT_TRUE(deviceSink.WaitDisconnected(1));
}

TEST_F(HandheldBinaryTest, CancelledChallengeEndsACommandButNotAttach) {
  HandheldProcess pinging(dir, Args({"--password", "pw", "ping"}));
  RecordingChannelSink cancelling;  // no passwords: the user cancelled
  EXPECT_EQ(Open(cancelling, kOpenCancelled), nullptr);
  EXPECT_EQ(pinging.Wait(), handheld::kExitLink);
  EXPECT_NE(pinging.Err().find("cancelled the password challenge"), std::string::npos) << pinging.Err();
  ASSERT_TRUE(deviceSink.WaitDisconnected(1));

  // An attached handheld waits for the next try, and its count goes on: 10 was used.
  HandheldProcess attached(dir, Args({"--password", "pw", "attach"}));
  ASSERT_TRUE(deviceSink.WaitConnected(2));
  Ref<IDevMgrDevice> device(DeviceAt(manager.Get(), 0));
  ASSERT_TRUE(device);
  IDevMgrChannel* channel = nullptr;
  RecordingChannelSink first;
  EXPECT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &first, &channel), kOpenCancelled);
  RecordingChannelSink second;
  second.passwords = {"bad", "pw"};
  ASSERT_EQ(device->OpenChannel(AsOle(u"SkiffhouseUSB"), &second, &channel), S_OK);
  EXPECT_EQ(second.Attempts(), (std::vector<int>{10, 9}));
  channel->Release();
  attached.Signal(SIGTERM);
  EXPECT_EQ(attached.Wait(), 0) << attached.Err();
}

TEST_F(HandheldBinaryTest, OtherChannelNamesAreRefused) {
  HandheldProcess process(dir, Args({"--channel", "Other", "attach"}));
  RecordingChannelSink sink;
  EXPECT_EQ(Open(sink, kChannelRefused), nullptr);
  EXPECT_NE(LastErrorDescription().find("no application listens on channel \"SkiffhouseUSB\""),
            std::string::npos);
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
}

TEST_F(HandheldBinaryTest, FetchDrivesEveryStepInOrderAndWritesTheBody) {
  const std::string output = dir.Path() + "/body.out";
  HandheldProcess process(dir, Args({"fetch", "-X", "PUT", "-H", "A: 1", "-H", "B: 2", "-d", "payload", "-A",
                                     "agent/1", "-i", "-o", output, "http://127.0.0.1:8080/p?q=1"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  std::vector<std::uint16_t> types;
  std::vector<std::vector<std::uint8_t>> payloads;
  int reads = 0;
  for (;;) {
    auto request = desktop.Next();
    ASSERT_TRUE(request) << process.Err();
    EXPECT_EQ(request->sequence, types.size() + 1);
    types.push_back(request->type);
    payloads.push_back(request->payload);
    if (request->type == 12) {
      ASSERT_EQ(desktop.Send(15, request->sequence, Value32(200, "OK")), S_OK);
    } else if (request->type == 13) {
      ASSERT_EQ(desktop.Send(15, request->sequence, std::string("HTTP/1.1 200 OK\r\nX: y\r\n\r\n\0", 26)),
                S_OK);
    } else if (request->type == 14) {
      const char* chunks[] = {"hello ", "world", ""};
      ASSERT_EQ(desktop.Send(15, request->sequence, chunks[reads++]), S_OK);
    } else if (request->type == 16) {
      ASSERT_EQ(desktop.Send(15, request->sequence, ""), S_OK);
      break;
    } else {
      ASSERT_EQ(desktop.Success(request->sequence), S_OK);
    }
  }
  EXPECT_EQ(types, (std::vector<std::uint16_t>{4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 14, 14, 16}));
  EXPECT_EQ(payloads[0], Bytes("agent/1"));
  EXPECT_EQ(payloads[1], Bytes("127.0.0.1"));
  EXPECT_EQ(payloads[2], (std::vector<std::uint8_t>{0x90, 0x1F}));  // 8080, low byte first
  EXPECT_EQ(payloads[3], Bytes("PUT"));
  EXPECT_EQ(payloads[4], Bytes("/p?q=1"));
  EXPECT_EQ(payloads[5], (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(payloads[6], Bytes("A: 1\r\nB: 2"));
  EXPECT_EQ(payloads[7], Bytes("payload"));
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(ReadFile(output), "HTTP/1.1 200 OK\r\nX: y\r\n\r\nhello world");
}

TEST_F(HandheldBinaryTest, ErrorReplyIsReportedAndTheFetchIsClosed) {
  HandheldProcess process(dir, Args({"fetch", "https://127.0.0.1/"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  for (;;) {
    auto request = desktop.Next();
    ASSERT_TRUE(request) << process.Err();
    if (request->type == 12) {
      ASSERT_EQ(desktop.Send(3, request->sequence, Value32(12029, "Cannot connect")), S_OK);
      break;
    }
    ASSERT_EQ(desktop.Success(request->sequence), S_OK);
  }
  auto close = desktop.Next();
  ASSERT_TRUE(close);
  EXPECT_EQ(close->type, 16) << "a failed fetch resets the desktop's client";
  ASSERT_EQ(desktop.Send(15, close->sequence, ""), S_OK);
  EXPECT_EQ(process.Wait(), handheld::kExitErrorReply);
  EXPECT_NE(process.Err().find("error 12029: Cannot connect"), std::string::npos) << process.Err();
  EXPECT_EQ(process.Out(), "");
}

TEST_F(HandheldBinaryTest, FailOptionTurnsAnHttpErrorIntoAnExitStatus) {
  HandheldProcess process(dir, Args({"fetch", "--fail", "http://127.0.0.1/missing"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  for (bool done = false; !done;) {
    auto request = desktop.Next();
    ASSERT_TRUE(request) << process.Err();
    switch (request->type) {
      case 12:
        ASSERT_EQ(desktop.Send(15, request->sequence, Value32(404, "Not Found")), S_OK);
        break;
      case 13:
        ASSERT_EQ(desktop.Send(15, request->sequence, std::string("\0", 1)), S_OK);
        break;
      case 14:
        ASSERT_EQ(desktop.Send(15, request->sequence, ""), S_OK);
        break;
      case 16:
        ASSERT_EQ(desktop.Send(15, request->sequence, ""), S_OK);
        done = true;
        break;
      default:
        ASSERT_EQ(desktop.Success(request->sequence), S_OK);
    }
  }
  EXPECT_EQ(process.Wait(), handheld::kExitHttpFailure);
  EXPECT_NE(process.Err().find("404 Not Found"), std::string::npos) << process.Err();
}

TEST_F(HandheldBinaryTest, ScriptSendsRawPacketsAndPrintsEachReply) {
  HandheldProcess process(dir, Args({"--timeout", "2000", "script"}),
                          "# a comment\nPing 5 text:abc\nPong 6\n99 7 hex:0102\nLogMessage 8 text:hi\n");
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  auto ping = desktop.Next();
  ASSERT_TRUE(ping);
  ASSERT_EQ(desktop.Send(2, 5, std::string("Pong: abc\0", 10)), S_OK);
  auto pong = desktop.Next();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->type, 2);
  auto invalid = desktop.Next();
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid->type, 99);
  EXPECT_EQ(invalid->payload, (std::vector<std::uint8_t>{1, 2}));
  auto note = desktop.Next();
  ASSERT_TRUE(note);
  EXPECT_EQ(note->sequence, 8);
  ASSERT_EQ(desktop.Success(8), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(),
            "Pong 5 len=10 text:Pong: abc\\0\n(no reply)\n(no reply)\nReply 8 len=8 text:Success\\0\n");
}

TEST_F(HandheldBinaryTest, OversizedBodyIsRefusedBeforeConnecting) {
  const std::string big = dir.Path() + "/big";
  std::ofstream(big, std::ios::binary) << std::string(5000, 'b');
  // No desktop listens here: a handheld that tried to connect would say so.
  HandheldProcess process(
      dir, {"--socket", dir.Path() + "/nobody.sock", "fetch", "-d", "@" + big, "http://127.0.0.1/"});
  EXPECT_EQ(process.Wait(), handheld::kExitUsage);
  EXPECT_NE(process.Err().find("5000 bytes does not fit one packet"), std::string::npos) << process.Err();
  EXPECT_EQ(process.Err().find("connect"), std::string::npos) << process.Err();

  HandheldProcess unknown(dir, {"--socket", socketPath, "frobnicate"});
  EXPECT_EQ(unknown.Wait(), handheld::kExitUsage);
  EXPECT_NE(unknown.Err().find("unknown command frobnicate"), std::string::npos);
  HandheldProcess help(dir, {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Out().find("fetch URL"), std::string::npos);
  EXPECT_EQ(deviceSink.Connected(), 0);
}

}  // namespace
}  // namespace skiff::testing
