// The handheld's fetch command: a URL checked and taken apart, the body's destination,
// and the whole fetch driven packet by packet over the channel (UserAgent, Host, Port, Verb, Path, Secure,
// Headers, Body, Send, ResponseHeaders, Read..., Close).
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "handheld_link.h"
#include "progress.h"
#include "url_split.h"

namespace skiff::handheld {

// A URL with a blank or a control character is refused, never sent raw; the rest is
// taken apart by the platform's URL parser.
bool ParseUrl(const std::string& url, ParsedUrl* parsed, std::string* error);

struct FetchOptions {
  std::string url;
  std::optional<std::string> verb;   // -X; GET, or POST with a body
  std::vector<std::string> headers;  // -H, joined with CR LF
  std::optional<std::string> data;   // -d DATA or -d @FILE
  std::string agent = "skiffhouse-handheld/1.3";
  bool includeHeaders = false;   // -i
  std::string outputPath;        // -o; standard output when empty or "-"
  bool failOnHttpError = false;  // --fail
  bool keepPartial = false;      // --keep-partial
};

// Where the body goes. A file is written as FILE.part beside it and renamed to FILE at
// the end, so a fetch that fails leaves FILE as it was, unless the part that arrived is
// to be kept. Open() runs before anything is sent: a folder that does not exist fails
// at once, with the system's reason. Without a file the body goes to the standard
// stream given (standard output unless a caller hands in another).
class BodyOutput {
 public:
  explicit BodyOutput(std::FILE* standardStream = stdout)
      : m_standard(standardStream), m_file(standardStream) {}
  ~BodyOutput();
  BodyOutput(const BodyOutput&) = delete;
  BodyOutput& operator=(const BodyOutput&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool IsTerminal() const;
  bool Write(const std::uint8_t* data, std::size_t size);
  // Success: the file takes its name. False with the reason when that fails.
  bool Commit(std::string* error);
  // Failure: the part is removed, or with keep renamed to FILE.
  void Abandon(bool keep);

 private:
  std::string m_path;
  std::string m_partPath;
  std::FILE* const m_standard;
  std::FILE* m_file;
  bool m_writeFailed = false;
};

// Everything a fetch sends, checked before anything goes out.
struct FetchPlan {
  ParsedUrl url;
  std::string agent;
  std::string verb;
  std::string headers;
  std::optional<std::vector<std::uint8_t>> body;
};

// Reads -d @FILE and refuses what one packet cannot carry.
bool PrepareFetch(const FetchOptions& options, FetchPlan* plan, std::string* error);

// Exit statuses of the handheld tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitLink = 2;
inline constexpr int kExitErrorReply = 3;
inline constexpr int kExitWiped = 4;
inline constexpr int kExitHttpFailure = 22;

// Hands out request sequence numbers: 1 up to 30000, then 1 again, as the desktop's
// resend rule expects.
class SequenceCounter {
 public:
  std::uint16_t Next() {
    m_last = m_last >= 30000 ? 1 : static_cast<std::uint16_t>(m_last + 1);
    return m_last;
  }

 private:
  std::uint16_t m_last = 0;
};

// Drives the fetch; the caller has opened output. err is a MessageStream over the
// progress line's stream.
int RunFetch(HandheldLink& link, SequenceCounter& sequences, const FetchPlan& plan,
             const FetchOptions& options, BodyOutput& output, ProgressLine& progress, std::ostream& err);

}  // namespace skiff::handheld
