// The handheld tool's parsers: fetch URLs (with and without a port, IPv6 literals, bad
// characters, what the platform's own URL parser refuses), the fetch plan made from the
// options, and script lines. Natively with libcurl's URL API, under Wine with WinHTTP's.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fetch.h"
#include "packet_text.h"
#include "support/temporary_folder.h"

namespace skiff::handheld {
namespace {

// "secure host port path", or "refused: <reason>".
std::string Parsed(const std::string& url) {
  ParsedUrl parsed;
  std::string error;
  if (!ParseUrl(url, &parsed, &error)) return "refused: " + error;
  return std::string(parsed.secure ? "https " : "http ") + parsed.host + " " + std::to_string(parsed.port) +
         " " + parsed.path;
}

TEST(HandheldUrl, SchemeHostPortAndPathAreWhatTheFetchPacketsCarry) {
  EXPECT_EQ(Parsed("http://example.test"), "http example.test 80 /");
  EXPECT_EQ(Parsed("https://example.test:8443/a/b?c=d&e=%20#part"), "https example.test 8443 /a/b?c=d&e=%20");
  EXPECT_EQ(Parsed("http://example.test?q=1"), "http example.test 80 /?q=1");
  EXPECT_EQ(Parsed("https://example.test:443/"), "https example.test 443 /");
  EXPECT_EQ(Parsed("http://127.0.0.1:65535/x"), "http 127.0.0.1 65535 /x");
  // IPv6 literals go without their brackets, with or without a port after them.
  EXPECT_EQ(Parsed("http://[::1]:8080/v6?x"), "http ::1 8080 /v6?x");
  EXPECT_EQ(Parsed("https://[2001:db8::7]"), "https 2001:db8::7 443 /");
}

TEST(HandheldUrl, BadCharactersOtherSchemesUserNamesAndBadPortsAreRefused) {
  EXPECT_EQ(Parsed("http://example.test/a b"),
            "refused: the URL holds a blank (at character 22); write it as %20: http://example.test/a b");
  for (const char* control :
       {"http://exa\tmple.test/", "http://example.test/\r\n", "http://example.test/\x7f"}) {
    EXPECT_EQ(Parsed(control).substr(0, 45), "refused: the URL holds a control character (a") << control;
  }
  EXPECT_EQ(Parsed("ftp://example.test/"),
            "refused: the URL must start with http:// or https://: ftp://example.test/");
  for (const std::string userInfo : {"user@", ":secret@"}) {
    EXPECT_EQ(Parsed("http://" + userInfo + "example.test/"),
              "refused: user names in URLs are not supported: http://" + userInfo + "example.test/");
  }
  for (const char* bad : {"example.test/path", "http://", "http://example.test:0/",
                          "http://example.test:65536/", "http://[::1/", "http://[::1]:0/"}) {
    EXPECT_EQ(Parsed(bad).substr(0, 9), "refused: ") << bad << ": " << Parsed(bad);
  }
}

// The plan a fetch would send, or "refused: <reason>".
std::string Planned(const FetchOptions& options) {
  FetchPlan plan;
  std::string error;
  if (!PrepareFetch(options, &plan, &error)) return "refused: " + error;
  std::string shown = plan.verb + " " + plan.url.path + " [" + plan.headers + "]";
  if (plan.body) shown += " body:" + std::string(plan.body->begin(), plan.body->end());
  return shown;
}

TEST(HandheldFetchPlan, VerbHeadersAndBodyFromTheOptionsAndWhatOnePacketCannotCarryIsRefused) {
  testing::TemporaryFolder folder;
  FetchOptions options;
  options.url = "http://example.test/p";
  EXPECT_EQ(Planned(options), "GET /p []");
  options.headers = {"X-One: 1", "X-Two: 2"};
  options.data = "";  // an empty body is still a body: POST
  EXPECT_EQ(Planned(options), "POST /p [X-One: 1\r\nX-Two: 2] body:");
  options.verb = "PUT";
  options.data = "inline";
  EXPECT_EQ(Planned(options), "PUT /p [X-One: 1\r\nX-Two: 2] body:inline");

  std::ofstream(folder.File("body"), std::ios::binary) << std::string("from\0file", 9);
  options.data = "@" + folder.File("body");
  EXPECT_EQ(Planned(options), "PUT /p [X-One: 1\r\nX-Two: 2] body:" + std::string("from\0file", 9));
  options.data = "@" + folder.File("missing");
  EXPECT_EQ(Planned(options), "refused: cannot read the request body from " + folder.File("missing"));
  options.data = "@" + folder.File("");  // a folder is no body
  EXPECT_EQ(Planned(options), "refused: cannot read the request body from " + folder.Path() + "/");

  // 4000 bytes fit a packet; one more is refused before anything is sent.
  std::ofstream(folder.File("full"), std::ios::binary) << std::string(4000, 'f');
  options.data = "@" + folder.File("full");
  EXPECT_EQ(Planned(options).size(), std::string("PUT /p [X-One: 1\r\nX-Two: 2] body:").size() + 4000);
  const std::string tooBig =
      "refused: the request body of 4001 bytes does not fit one packet (4000 bytes at "
      "most); nothing was sent";
  std::ofstream(folder.File("full"), std::ios::app | std::ios::binary) << 'f';
  EXPECT_EQ(Planned(options), tooBig);
  options.data = std::string(4001, 'd');
  EXPECT_EQ(Planned(options), tooBig);
  options.data.reset();
  options.headers = {std::string(3998, 'h'), ""};  // joined: 4000 bytes
  EXPECT_EQ(Planned(options).size(), std::string("PUT /p []").size() + 4000);
  options.headers.push_back("");
  EXPECT_EQ(
      Planned(options),
      "refused: the headers of 4002 bytes does not fit one packet (4000 bytes at most); nothing was sent");
  options.headers.clear();
  options.url = "http://example.test/" + std::string(4000, 'p');
  EXPECT_EQ(Planned(options),
            "refused: the path of 4001 bytes does not fit one packet (4000 bytes at most); nothing was sent");
}

// "type sequence payload-bytes-as-text", or "skip", or "error: <reason>".
std::string Script(const std::string& line) {
  WirePacket packet;
  std::string error;
  switch (ParseScriptLine(line, &packet, &error)) {
    case ScriptLineResult::Skip:
      return "skip";
    case ScriptLineResult::Error:
      return "error: " + error;
    case ScriptLineResult::Packet:
      break;
  }
  return std::to_string(packet.type) + " " + std::to_string(packet.sequence) + " " +
         std::string(packet.payload.begin(), packet.payload.end());
}

TEST(HandheldScript, LinesGiveTypeSequenceAndPayloadAndEveryMistakeSaysWhat) {
  EXPECT_EQ(Script("Ping 7 text:hello there"), "1 7 hello there");
  EXPECT_EQ(Script("\tlogmessage\t0x10  text: padded\r"), "30 16  padded");  // a CR LF file
  EXPECT_EQ(Script("Read 65535"), "14 65535 ");
  EXPECT_EQ(Script("17 1 hex:41 42:4a"), "17 1 ABJ");  // a number is any type, invalid ones too
  EXPECT_EQ(Script("Body 2 text:\\r\\n\\t\\0\\\\\\x7e!"), std::string("11 2 \r\n\t\0\\~!", 12));
  for (const char* skipped : {"", "   ", "\r", "# Ping 1", "  #comment"}) EXPECT_EQ(Script(skipped), "skip");
  EXPECT_EQ(Script("Ping 1 text:" + std::string(4000, 'x')).size(), 4u + 4000);

  EXPECT_EQ(Script("Pingg 1"), "error: unknown packet type \"Pingg\"");
  EXPECT_EQ(Script("70000 1"), "error: unknown packet type \"70000\"");
  EXPECT_EQ(Script("Ping"), "error: a sequence number is missing");
  EXPECT_EQ(Script("Ping 65536"), "error: \"65536\" is no sequence number (0 to 65535)");
  EXPECT_EQ(Script("Ping -1"), "error: \"-1\" is no sequence number (0 to 65535)");
  EXPECT_EQ(Script("Ping 1 hello"), "error: the payload must start with text: or hex:");
  EXPECT_EQ(Script("Ping 1 text:a\\"), "error: a text ends in a lone backslash");
  EXPECT_EQ(Script("Ping 1 text:\\q"), "error: unknown escape \\q");
  EXPECT_EQ(Script("Ping 1 text:\\x4"), "error: \\x needs two hex digits");
  EXPECT_EQ(Script("Ping 1 text:\\x4g"), "error: \\x needs two hex digits");
  EXPECT_EQ(Script("Ping 1 hex:abc"), "error: the hex payload has an odd number of digits");
  EXPECT_EQ(Script("Ping 1 hex:0g"), "error: \"g\" is no hex digit");
  EXPECT_EQ(Script("Ping 1 text:" + std::string(4001, 'x')), "error: a payload of 4001 bytes is over 4000");
}

TEST(HandheldScript, RepliesAreShownAsTextOrHexWithAnErrorsCode) {
  const auto packet = [](std::uint16_t type, std::uint16_t sequence, const std::string& payload) {
    return FormatPacket(
        WirePacket{type, sequence, std::vector<std::uint8_t>(payload.begin(), payload.end())});
  };
  EXPECT_EQ(packet(15, 7, std::string("Success\0", 8)), "Reply 7 len=8 text:Success\\0");
  EXPECT_EQ(packet(3, 2, std::string("\x1d\x2f\0\0Cannot connect\0", 19)),
            "Error 2 len=19 code:12061 text:Cannot connect\\0");
  EXPECT_EQ(packet(40, 1, ""), "type40 1 len=0");
  EXPECT_EQ(packet(15, 1, std::string("\x01\x02\x03\x7f", 4)), "Reply 1 len=4 hex:0102037f");
  EXPECT_EQ(packet(15, 1, "tab\there\\ \x1b[2J"), "Reply 1 len=14 text:tab\\there\\\\ \\x1b[2J");
}

}  // namespace
}  // namespace skiff::handheld
