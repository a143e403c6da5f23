// The libcurl transport's parts that need no socket: the body ring across its wrap
// point, the response-header parser line by line, and the redirect policy.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "http/winhttp_errors.h"
#include "platform/posix/http_curl/byte_ring.h"
#include "platform/posix/http_curl/redirect_policy.h"
#include "platform/posix/http_curl/response_headers.h"

namespace skiff {
namespace {

TEST(ByteRing, KeepsOrderAcrossTheWrapPoint) {
  ByteRing ring(8);
  char out[8] = {};
  ring.Push("abcdef", 6);
  EXPECT_EQ(ring.Pop(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "abcd");
  ring.Push("ghijkl", 6);  // wraps: 2 bytes at the end, 4 at the start
  EXPECT_EQ(ring.Size(), 8u);
  EXPECT_EQ(ring.Free(), 0u);
  EXPECT_EQ(ring.Pop(out, 8), 8u);
  EXPECT_EQ(std::string(out, 8), "efghijkl");
  EXPECT_EQ(ring.Pop(out, 8), 0u) << "an empty ring gives nothing";
}

TEST(ResponseHeaderParser, CollectsOneBlockWithItsStatusAndTarget) {
  ResponseHeaderParser parser(1024);
  using Result = ResponseHeaderParser::Result;
  EXPECT_EQ(parser.Feed("HTTP/1.1 100 Continue\r\n"), Result::More);
  EXPECT_EQ(parser.Feed("\r\n"), Result::Interim) << "a 1xx answer is followed by the real one";
  EXPECT_EQ(parser.Feed("HTTP/1.1 302 Found It\r\n"), Result::More);
  EXPECT_EQ(parser.Feed("location: \t/next?a=1 \r\n"), Result::More);
  EXPECT_EQ(parser.Feed("\r\n"), Result::Complete);
  ResponseHead head = parser.Take();
  EXPECT_EQ(head.status, 302);
  EXPECT_EQ(head.reason, "Found It");
  EXPECT_EQ(head.location, "/next?a=1");
  EXPECT_EQ(head.raw, "HTTP/1.1 302 Found It\r\nlocation: \t/next?a=1 \r\n\r\n")
      << "only the interim block is gone";

  EXPECT_EQ(parser.Feed("X-Before: status line\r\n"), Result::Outside);
  EXPECT_EQ(parser.Feed("HTTP/1.1 204\r\n"), Result::More);
  EXPECT_EQ(parser.Head().status, 204);
  EXPECT_EQ(parser.Head().reason, "") << "a status line without a reason";
  EXPECT_EQ(parser.Feed("X-Big: " + std::string(1020, 'b') + "\r\n"), Result::TooLarge);

  int status = 7;
  std::string reason = "old";
  ParseStatusLine("HTTP/1.1 2x0 Odd", status, reason);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(reason, "");
}

TEST(RedirectPolicy, FollowsTheWindowsRules) {
  RedirectFrom from;
  from.url = from.fallbackUrl = "http://host.test:8080/dir/page?q=1";
  from.verb = "POST";
  from.hasBody = true;
  const struct {
    int status;
    const char* location;
    bool secure;
    int followed;
    std::uint32_t error;
    const char* url;
    const char* verb;
  } cases[] = {
      {302, "other", false, 0, 0, "http://host.test:8080/dir/other", "GET"},
      {307, "/top", false, 0, 0, "http://host.test:8080/top", "POST"},
      {303, "https://secure.test/", false, 0, 0, "https://secure.test/", "GET"},
      {308, "//elsewhere.test/x", false, 9, 0, "http://elsewhere.test/x", "POST"},
      {302, "/again", false, 10, kErrorRedirectFailed, "", ""},  // the eleventh
      {302, "http://plain.test/", true, 0, kErrorRedirectFailed, "", ""},
      {302, "ftp://files.test/", false, 0, kErrorRedirectFailed, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    from.status = c.status;
    from.location = c.location;
    from.secure = c.secure;
    from.followed = c.followed;
    RedirectTo to = NextRedirect(from);
    EXPECT_EQ(to.error, c.error);
    if (c.error != 0) continue;
    EXPECT_EQ(to.url, c.url);
    EXPECT_EQ(to.verb, c.verb);
    EXPECT_EQ(to.hasBody, std::string(c.verb) == "POST");
    EXPECT_EQ(to.secure, std::string(c.url).starts_with("https:"));
  }
  from.verb = "HEAD";
  from.hasBody = false;
  from.status = 303;
  from.location = "/h";
  from.secure = false;
  from.followed = 0;
  EXPECT_EQ(NextRedirect(from).verb, "HEAD") << "303 keeps HEAD";
}

}  // namespace
}  // namespace skiff
