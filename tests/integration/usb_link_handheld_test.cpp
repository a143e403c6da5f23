// The simulated handheld: its script lines, packet text and URLs on their own, then the
// real skiffhouse-handheld binary against the device manager, with this test playing the
// desktop program's side of the channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <sstream>

#include "fetch.h"
#include "integration/usb_link_support/unix_socket_test.h"
#include "packet_text.h"

extern char** environ;

namespace skiff::testing {
namespace {

using namespace std::chrono_literals;
using handheld::WirePacket;
using Reply = std::pair<std::uint16_t, std::string>;  // a reply's type and payload
const std::string kSuccess("Success\0", 8);

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// ---- Pieces of the tool -------------------------------------------------------------

TEST(HandheldPiecesTest, ScriptLinesParseAndRefuseClearly) {
  const struct {
    std::string line;
    WirePacket expected;
  } good[] = {
      {"Ping 7 text:abc", {1, 7, Bytes("abc")}},
      {"logmessage 0x10 text:a\\r\\nb\\x41\\0\r", {30, 16, Bytes(std::string("a\r\nbA\0", 6))}},
      {"  99 65535 hex:01 02:ff", {99, 65535, {1, 2, 0xFF}}},
      {"Send 3", {12, 3, {}}},
  };
  WirePacket packet;
  std::string error;
  for (const auto& [line, expected] : good) {
    ASSERT_EQ(handheld::ParseScriptLine(line, &packet, &error), handheld::ScriptLineResult::Packet) << line;
    EXPECT_EQ(packet.type, expected.type) << line;
    EXPECT_EQ(packet.sequence, expected.sequence) << line;
    EXPECT_EQ(packet.payload, expected.payload) << line;
  }
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
    EXPECT_TRUE(Contains(error, reason)) << line << ": " << error;
  }
}

TEST(HandheldPiecesTest, PacketsPrintReadably) {
  const std::pair<WirePacket, std::string> cases[] = {
      {{15, 8, Bytes(std::string("Success\0", 8))}, "Reply 8 len=8 text:Success\\0"},
      {{3, 9, {0xCC, 0x0A, 0x0D, 0x00, 'N', 'o', 0}}, "Error 9 len=7 code:854732 text:No\\0"},
      {{15, 10, {0, 1, 2, 0xFF}}, "Reply 10 len=4 hex:000102ff"},
      {{77, 1, {}}, "type77 1 len=0"},
  };
  for (const auto& [packet, text] : cases) EXPECT_EQ(handheld::FormatPacket(packet), text);
}

TEST(HandheldPiecesTest, UrlsAreTakenApartOrRefused) {
  const struct {
    const char* url;
    bool secure;
    const char* host;
    int port;
    const char* path;
  } good[] = {
      {"https://example.test", true, "example.test", 443, "/"},
      {"HTTP://[::1]:8080/a/b?c=d#frag", false, "::1", 8080, "/a/b?c=d"},
      {"http://127.0.0.1?x", false, "127.0.0.1", 80, "/?x"},
  };
  handheld::ParsedUrl url;
  std::string error;
  for (const auto& c : good) {
    ASSERT_TRUE(handheld::ParseUrl(c.url, &url, &error)) << c.url << ": " << error;
    EXPECT_EQ(url.secure, c.secure) << c.url;
    EXPECT_EQ(url.host, c.host) << c.url;
    EXPECT_EQ(url.port, c.port) << c.url;
    EXPECT_EQ(url.path, c.path) << c.url;
  }
  for (const char* bad : {"ftp://host/", "host/path", "http://:80/", "http://h:0/", "http://h:70000/",
                          "http://user@h/", "http://[::1/"}) {
    error.clear();
    EXPECT_FALSE(handheld::ParseUrl(bad, &url, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
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
  EXPECT_TRUE(Contains(error, "4001 bytes does not fit one packet")) << error;
  options.data = "@" + dir.Path() + "/missing";
  EXPECT_FALSE(handheld::PrepareFetch(options, &plan, &error));
  options.data.reset();
  options.verb = "GET";
  options.headers = {std::string(4001, 'h')};
  EXPECT_FALSE(handheld::PrepareFetch(options, &plan, &error));
  EXPECT_TRUE(Contains(error, "headers")) << error;

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
  // environment: NAME=VALUE entries added to this process's own.
  HandheldProcess(const TempDir& dir, std::vector<std::string> args, const std::string& input = {},
                  std::vector<std::string> environment = {}) {
    const std::string stem = dir.Path() + "/" + std::to_string(s_count++), in = stem + ".in";
    m_out = stem + ".out";
    m_err = stem + ".err";
    std::ofstream(in, std::ios::binary) << input;
    args.insert(args.begin(), SKIFF_HANDHELD_BINARY);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
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
  int Wait() { return m_exit.wait_for(kEventWait) == std::future_status::ready ? m_exit.get() : -2; }
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

  std::optional<WirePacket> Next() {
    if (!m_channel || !m_sink.Wait(m_sink.dataReady, ++m_consumed)) return std::nullopt;
    const auto bytes = ReadPacket(m_channel.Get());
    WirePacket packet;
    if (!WirePacket::Decode(bytes.data(), bytes.size(), &packet)) return std::nullopt;
    return packet;
  }
  HRESULT Send(std::uint16_t type, std::uint16_t sequence, const std::string& payload) {
    return WritePacket(m_channel.Get(), MakePacket(type, sequence, payload));
  }
  HRESULT Success(std::uint16_t sequence) { return Send(15, sequence, kSuccess); }

  // Answers a fetch's requests, each with answer(request) or else Success, until the
  // handheld closes its client (type 16, answered empty); the requests in order.
  std::vector<WirePacket> ServeFetch(const std::function<std::optional<Reply>(const WirePacket&)>& answer) {
    std::vector<WirePacket> requests;
    while (auto request = Next()) {
      requests.push_back(*request);
      const Reply reply =
          request->type == 16 ? Reply{15, ""} : answer(*request).value_or(Reply{15, kSuccess});
      EXPECT_EQ(Send(reply.first, request->sequence, reply.second), S_OK);
      if (request->type == 16) break;
    }
    return requests;
  }

 private:
  Ref<IDevMgrChannel> m_channel;
  RecordingChannelSink& m_sink;
  int m_consumed = 0;
};

// A packet as the tool prints it ("Ping 1 len=5 text:hello"), or "(none)".
std::string Text(const std::optional<WirePacket>& packet) {
  return packet ? handheld::FormatPacket(*packet) : "(none)";
}

std::string Value32(std::uint32_t value, const std::string& text) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes + text + std::string(1, '\0');
}

std::vector<std::string> Texts(const std::vector<WirePacket>& packets) {
  std::vector<std::string> texts;
  for (const auto& packet : packets) texts.push_back(Text(packet));
  return texts;
}

class HandheldBinaryTest : public UnixUsbLinkTest {
 protected:
  void SetUp() override {
    UnixUsbLinkTest::SetUp();
    Create();
  }
  std::vector<std::string> Args(std::vector<std::string> more) {
    more.insert(more.begin(), {"--socket", socketPath});
    return more;
  }
  // Waits for the handheld to attach and opens its channel.
  IDevMgrChannel* Open(RecordingChannelSink& sink, HRESULT expected = S_OK) {
    Ref<IDevMgrDevice> device(WaitForDevice(deviceSink.disconnected + 1));
    IDevMgrChannel* channel = nullptr;
    if (device) {
      EXPECT_EQ(OpenChannel(device.Get(), sink, &channel), expected);
    }
    return channel;
  }
};

TEST_F(HandheldBinaryTest, PingCarriesPinAndPropertiesAndPrintsThePong) {
  HandheldProcess process(dir, Args({"--pin", "0x2a0f", "--property", "Model=Test 9", "--property",
                                     "Build=-12", "ping", "hello"}));
  Ref<IDevMgrDevice> device(WaitForDevice());
  ASSERT_TRUE(device) << process.Err();
  EXPECT_EQ(Properties(device.Get()),
            (std::vector<std::string>{"BBPIN=I4:10767", "Model=BSTR:Test 9", "Build=I4:-12"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  EXPECT_EQ(Text(desktop.Next()), "Ping 1 len=5 text:hello");
  ASSERT_EQ(desktop.Send(2, 1, std::string("Pong: hello\0", 12)), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(), "Pong: hello\n");
  // It closes its channel and goes.
  EXPECT_TRUE(sink.Wait(sink.closed, 1));
  EXPECT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
}

TEST_F(HandheldBinaryTest, TcpPortComesFromTheOptionOrTheEnvironment) {
  ReleaseManager();
  CreateTcp();
  const std::string port = std::to_string(tcpPort);
  for (const bool fromEnvironment : {false, true}) {
    HandheldProcess process(dir,
                            fromEnvironment ? std::vector<std::string>{"ping", "x"}
                                            : std::vector<std::string>{"--port", port, "ping", "x"},
                            {}, {fromEnvironment ? "SKIFFHOUSE_USB_PORT=" + port : "SKIFFHOUSE_USB_PORT="});
    RecordingChannelSink sink;
    DesktopSide desktop(Open(sink), sink);
    EXPECT_EQ(Text(desktop.Next()), "Ping 1 len=1 text:x") << process.Err();
    ASSERT_EQ(desktop.Send(2, 1, std::string("Pong: x\0", 8)), S_OK);
    EXPECT_EQ(process.Wait(), 0) << process.Err();
  }
  HandheldProcess bad(dir, {"ping"}, {}, {"SKIFFHOUSE_USB_PORT=70000"});
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_TRUE(Contains(bad.Err(), "SKIFFHOUSE_USB_PORT is not a port number from 1 to 65535: 70000"))
      << bad.Err();
}

TEST_F(HandheldBinaryTest, LostReplyIsAskedForAgainAndStrayRepliesAreIgnored) {
  HandheldProcess process(dir, Args({"--drop-reply", "1", "--timeout", "300", "log", "a note"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  EXPECT_EQ(Text(desktop.Next()), "LogMessage 1 len=6 text:a note");
  ASSERT_EQ(desktop.Success(1), S_OK);  // thrown away by the handheld
  EXPECT_EQ(Text(desktop.Next()), "LogMessage 1 len=6 text:a note") << "a resend keeps its sequence";
  ASSERT_EQ(desktop.Send(15, 6, std::string("Wrong\0", 6)), S_OK);
  ASSERT_EQ(desktop.Success(1), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(), "Success\n") << "the stray reply was taken";
  EXPECT_TRUE(Contains(process.Err(), "dropping reply 1")) << process.Err();
  EXPECT_TRUE(Contains(process.Err(), "asking again")) << process.Err();
}

TEST_F(HandheldBinaryTest, CancelledChallengeEndsACommandButAnAttachedHandheldWaitsForTheRightPassword) {
  HandheldProcess pinging(dir, Args({"--password", "pw", "ping"}));
  RecordingChannelSink cancelling;  // no passwords: the user cancelled
  EXPECT_EQ(Open(cancelling, kOpenCancelled), nullptr);
  EXPECT_EQ(pinging.Wait(), handheld::kExitLink);
  EXPECT_TRUE(Contains(pinging.Err(), "cancelled the password challenge")) << pinging.Err();
  ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));

  // An attached handheld waits for the next try, and a cancel costs no attempt.
  HandheldProcess attached(dir, Args({"--password", "pw", "attach"}));
  RecordingChannelSink first, second;
  EXPECT_EQ(Open(first, kOpenCancelled), nullptr);
  second.passwords = {"bad", "pw"};
  Ref<IDevMgrChannel> channel(Open(second));
  ASSERT_TRUE(channel) << attached.Err();
  EXPECT_EQ(second.Attempts(), (std::vector<int>{10, 9}));
  channel.Reset();
  attached.Signal(SIGTERM);
  EXPECT_EQ(attached.Wait(), 0) << attached.Err();
  EXPECT_TRUE(deviceSink.Wait(deviceSink.disconnected, 2));
}

TEST_F(HandheldBinaryTest, OtherChannelNamesAreRefused) {
  HandheldProcess process(dir, Args({"--channel", "Other", "attach"}));
  RecordingChannelSink sink;
  EXPECT_EQ(Open(sink, kChannelRefused), nullptr);
  EXPECT_TRUE(Contains(LastErrorDescription(), "no application listens on channel \"SkiffhouseUSB\""));
  process.Signal(SIGINT);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
}

TEST_F(HandheldBinaryTest, FetchDrivesEveryStepInOrderAndWritesTheBody) {
  const std::string output = dir.Path() + "/body.out";
  HandheldProcess process(dir, Args({"fetch", "-X", "PUT", "-H", "A: 1", "-H", "B: 2", "-d", "payload", "-A",
                                     "agent/1", "-i", "-o", output, "http://127.0.0.1:8080/p?q=1"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  const char* chunks[] = {"hello ", "world", ""};
  int reads = 0;
  const auto requests = desktop.ServeFetch([&](const WirePacket& request) -> std::optional<Reply> {
    if (request.type == 12) return Reply{15, Value32(200, "OK")};
    if (request.type == 13) return Reply{15, std::string("HTTP/1.1 200 OK\r\nX: y\r\n\r\n\0", 26)};
    if (request.type == 14) return Reply{15, chunks[reads++]};
    return std::nullopt;
  });
  // In order, one sequence number each; the port low byte first.
  EXPECT_EQ(Texts(requests), (std::vector<std::string>{
                                 "UserAgent 1 len=7 text:agent/1", "Host 2 len=9 text:127.0.0.1",
                                 "Port 3 len=2 hex:901f", "Verb 4 len=3 text:PUT", "Path 5 len=6 text:/p?q=1",
                                 "Secure 6 len=1 text:\\0", "Headers 7 len=10 text:A: 1\\r\\nB: 2",
                                 "Body 8 len=7 text:payload", "Send 9 len=0", "ResponseHeaders 10 len=0",
                                 "Read 11 len=0", "Read 12 len=0", "Read 13 len=0", "Close 14 len=0"}));
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(ReadFile(output), "HTTP/1.1 200 OK\r\nX: y\r\n\r\nhello world");
}

TEST_F(HandheldBinaryTest, ErrorReplyOrWithFailAnHttpErrorEndsTheFetchWithAStatus) {
  {
    HandheldProcess process(dir, Args({"fetch", "https://127.0.0.1/"}));
    RecordingChannelSink sink;
    DesktopSide desktop(Open(sink), sink);
    const auto requests = desktop.ServeFetch([](const WirePacket& request) -> std::optional<Reply> {
      if (request.type == 12) return Reply{3, Value32(12029, "Cannot connect")};
      return std::nullopt;
    });
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(Text(requests.back()), "Close " + std::to_string(requests.size()) + " len=0")
        << "a failed fetch resets the desktop's client after " << Text(requests[requests.size() - 2]);
    EXPECT_EQ(requests[requests.size() - 2].type, 12);
    EXPECT_EQ(process.Wait(), handheld::kExitErrorReply);
    EXPECT_TRUE(Contains(process.Err(), "error 12029: Cannot connect")) << process.Err();
    EXPECT_EQ(process.Out(), "");
    ASSERT_TRUE(deviceSink.Wait(deviceSink.disconnected, 1));
  }
  HandheldProcess process(dir, Args({"fetch", "--fail", "http://127.0.0.1/missing"}));
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  desktop.ServeFetch([](const WirePacket& request) -> std::optional<Reply> {
    if (request.type == 12) return Reply{15, Value32(404, "Not Found")};
    if (request.type == 13) return Reply{15, std::string("\0", 1)};
    if (request.type == 14) return Reply{15, ""};
    return std::nullopt;
  });
  EXPECT_EQ(process.Wait(), handheld::kExitHttpFailure);
  EXPECT_TRUE(Contains(process.Err(), "404 Not Found")) << process.Err();
}

TEST_F(HandheldBinaryTest, ScriptSendsRawPacketsAndPrintsEachReply) {
  HandheldProcess process(dir, Args({"--timeout", "2000", "script"}),
                          "# a comment\nPing 5 text:abc\nPong 6\n99 7 hex:0102\nLogMessage 8 text:hi\n");
  RecordingChannelSink sink;
  DesktopSide desktop(Open(sink), sink);
  EXPECT_EQ(Text(desktop.Next()), "Ping 5 len=3 text:abc");
  ASSERT_EQ(desktop.Send(2, 5, std::string("Pong: abc\0", 10)), S_OK);
  EXPECT_EQ(Text(desktop.Next()), "Pong 6 len=0");
  EXPECT_EQ(Text(desktop.Next()), "type99 7 len=2 hex:0102");
  EXPECT_EQ(Text(desktop.Next()), "LogMessage 8 len=2 text:hi");
  ASSERT_EQ(desktop.Success(8), S_OK);
  EXPECT_EQ(process.Wait(), 0) << process.Err();
  EXPECT_EQ(process.Out(),
            "Pong 5 len=10 text:Pong: abc\\0\n(no reply)\n(no reply)\nReply 8 len=8 text:Success\\0\n");
}

TEST_F(HandheldBinaryTest, UsageErrorsAndAnOversizedBodyAreRefusedBeforeConnecting) {
  const std::string big = dir.Path() + "/big";
  std::ofstream(big, std::ios::binary) << std::string(5000, 'b');
  // No desktop listens here: a handheld that tried to connect would say so.
  HandheldProcess process(
      dir, {"--socket", dir.Path() + "/nobody.sock", "fetch", "-d", "@" + big, "http://127.0.0.1/"});
  EXPECT_EQ(process.Wait(), handheld::kExitUsage);
  EXPECT_TRUE(Contains(process.Err(), "5000 bytes does not fit one packet")) << process.Err();
  EXPECT_FALSE(Contains(process.Err(), "connect")) << process.Err();

  HandheldProcess unknown(dir, {"--socket", socketPath, "frobnicate"});
  EXPECT_EQ(unknown.Wait(), handheld::kExitUsage);
  EXPECT_TRUE(Contains(unknown.Err(), "unknown command frobnicate"));
  HandheldProcess help(dir, {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_TRUE(Contains(help.Out(), "fetch URL"));
  EXPECT_EQ(deviceSink.connected, 0);
}

}  // namespace
}  // namespace skiff::testing
