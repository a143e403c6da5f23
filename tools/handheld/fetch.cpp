// The fetch command of the simulated handheld.
#include "fetch.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "packet_text.h"
#include "protocol/packet.h"

namespace skiff::handheld {

namespace {

constexpr std::uint16_t Type(PacketType type) {
  return static_cast<std::uint16_t>(type);
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// The text of a reply payload: up to its NUL.
std::string ReplyText(const std::vector<std::uint8_t>& payload, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < payload.size() && payload[i] != 0; ++i)
    text += static_cast<char>(payload[i]);
  return text;
}

class Fetcher {
 public:
  Fetcher(HandheldLink& link, SequenceCounter& sequences, std::ostream& err)
      : m_link(link), m_sequences(sequences), m_err(err) {}

  // One step: Ok with a Reply, or an exit status to end with (the Error is reported).
  std::optional<int> Step(std::uint16_t type, std::vector<std::uint8_t> payload, WirePacket* reply) {
    WirePacket request;
    request.type = type;
    request.sequence = m_sequences.Next();
    request.payload = std::move(payload);
    const Outcome outcome = m_link.Request(request, reply);
    if (outcome != Outcome::Ok) {
      m_err << "skiffhouse-handheld: " << PacketTypeName(type) << ": " << OutcomeText(outcome) << "\n";
      return outcome == Outcome::Wiped ? kExitWiped : kExitLink;
    }
    if (reply->type == Type(PacketType::Error)) {
      const std::uint32_t code = reply->payload.size() >= 4
                                     ? static_cast<std::uint32_t>(usblink::ReadLeI32(reply->payload.data()))
                                     : 0;
      m_err << "skiffhouse-handheld: error " << code << ": " << ReplyText(reply->payload, 4) << " (at "
            << PacketTypeName(type) << ")\n";
      m_failed = true;
      return kExitErrorReply;
    }
    if (reply->type != Type(PacketType::Reply)) {
      m_err << "skiffhouse-handheld: " << PacketTypeName(type) << " was answered by " << FormatPacket(*reply)
            << "\n";
      m_failed = true;
      return kExitLink;
    }
    return std::nullopt;
  }

  // Resets the desktop's HTTP client after a failure, so the next fetch starts clean.
  void CloseQuietly() {
    WirePacket request, reply;
    request.type = Type(PacketType::Close);
    request.sequence = m_sequences.Next();
    m_link.Request(request, &reply);
  }

  bool Failed() const { return m_failed; }

 private:
  HandheldLink& m_link;
  SequenceCounter& m_sequences;
  std::ostream& m_err;
  bool m_failed = false;
};

}  // namespace

bool ParseUrl(const std::string& url, ParsedUrl* parsed, std::string* error) {
  for (std::size_t i = 0; i < url.size(); ++i) {
    const auto byte = static_cast<unsigned char>(url[i]);
    if (byte == ' ') {
      *error = "the URL holds a blank (at character " + std::to_string(i + 1) + "); write it as %20: " + url;
      return false;
    }
    if (byte < 0x20 || byte == 0x7F) {
      *error = "the URL holds a control character (at character " + std::to_string(i + 1) + ")";
      return false;
    }
  }
  return SplitUrl(url, parsed, error);
}

bool PrepareFetch(const FetchOptions& options, FetchPlan* plan, std::string* error) {
  if (!ParseUrl(options.url, &plan->url, error)) return false;
  plan->agent = options.agent;
  plan->verb = options.verb.value_or(options.data ? "POST" : "GET");
  plan->headers.clear();
  for (const std::string& header : options.headers) {
    if (!plan->headers.empty()) plan->headers += "\r\n";
    plan->headers += header;
  }
  plan->body.reset();
  if (options.data) {
    std::vector<std::uint8_t> body;
    if (options.data->starts_with("@")) {
      const std::string path = options.data->substr(1);
      std::error_code sizeError;
      const auto fileSize = std::filesystem::file_size(path, sizeError);
      std::ifstream file(path, std::ios::binary);
      if (sizeError || !file) {
        *error = "cannot read the request body from " + path;
        return false;
      }
      // Too big is refused by its size, without reading it.
      if (fileSize <= kMaxPayload) {
        body.resize(static_cast<std::size_t>(fileSize));
        file.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(body.size()));
        if (file.gcount() != static_cast<std::streamsize>(body.size())) {
          *error = "cannot read the request body from " + path;
          return false;
        }
      } else {
        *error = "the request body of " + std::to_string(fileSize) + " bytes does not fit one packet (" +
                 std::to_string(kMaxPayload) + " bytes at most); nothing was sent";
        return false;
      }
    } else {
      body = Bytes(*options.data);
    }
    if (body.size() > kMaxPayload) {
      *error = "the request body of " + std::to_string(body.size()) + " bytes does not fit one packet (" +
               std::to_string(kMaxPayload) + " bytes at most); nothing was sent";
      return false;
    }
    plan->body = std::move(body);
  }
  const struct {
    const char* what;
    std::size_t size;
  } texts[] = {{"user agent", plan->agent.size()},
               {"host name", plan->url.host.size()},
               {"verb", plan->verb.size()},
               {"path", plan->url.path.size()},
               {"headers", plan->headers.size()}};
  for (const auto& text : texts) {
    if (text.size > kMaxPayload) {
      *error = std::string("the ") + text.what + " of " + std::to_string(text.size) +
               " bytes does not fit one packet (" + std::to_string(kMaxPayload) +
               " bytes at most); nothing was sent";
      return false;
    }
  }
  return true;
}

BodyOutput::~BodyOutput() {
  Abandon(false);
}

bool BodyOutput::Open(const std::string& path, std::string* error) {
  if (path.empty() || path == "-") return true;
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    *error = "cannot write " + path + ": it is a folder";
    return false;
  }
  const std::string part = path + ".part";
  errno = 0;
  std::FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  m_path = path;
  m_partPath = part;
  m_file = file;
  return true;
}

bool BodyOutput::IsTerminal() const {
  return m_file == stdout && ::isatty(STDOUT_FILENO) != 0;
}

bool BodyOutput::Write(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && std::fwrite(data, 1, size, m_file) != size) m_writeFailed = true;
  return !m_writeFailed;
}

bool BodyOutput::Commit(std::string* error) {
  if (m_file == m_standard) {
    if (std::fflush(m_file) != 0 || m_writeFailed) {
      *error = "writing the body failed";
      return false;
    }
    return true;
  }
  const bool written = std::fclose(m_file) == 0 && !m_writeFailed;
  m_file = m_standard;
  std::error_code renameError;
  if (written) {
    std::filesystem::rename(m_partPath, m_path, renameError);
    if (renameError) {
      // Windows renames onto an existing file only once it is gone.
      std::filesystem::remove(m_path, renameError);
      std::filesystem::rename(m_partPath, m_path, renameError);
    }
  }
  if (!written || renameError) {
    std::error_code ignored;
    std::filesystem::remove(m_partPath, ignored);
    *error = "writing " + m_path + " failed" + (renameError ? ": " + renameError.message() : "");
    return false;
  }
  return true;
}

void BodyOutput::Abandon(bool keep) {
  if (m_file == m_standard) {
    std::fflush(m_file);
    return;
  }
  std::fclose(m_file);
  m_file = m_standard;
  std::error_code ignored;
  if (keep)
    std::filesystem::rename(m_partPath, m_path, ignored);
  else
    std::filesystem::remove(m_partPath, ignored);
}

namespace {

// The Content-Length of a response header block, when it has one.
std::optional<std::uint64_t> ContentLength(const std::string& headers) {
  std::size_t start = 0;
  while (start < headers.size()) {
    std::size_t end = headers.find('\n', start);
    if (end == std::string::npos) end = headers.size();
    const std::string line = headers.substr(start, end - start);
    start = end + 1;
    constexpr std::string_view kName = "content-length:";
    if (line.size() <= kName.size()) continue;
    bool match = true;
    for (std::size_t i = 0; i < kName.size() && match; ++i)
      match = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
    if (!match) continue;
    std::size_t digits = kName.size();
    while (digits < line.size() && (line[digits] == ' ' || line[digits] == '\t')) ++digits;
    std::size_t last = line.size();
    while (last > digits && (line[last - 1] == '\r' || line[last - 1] == ' ')) --last;
    if (auto value = ParseNumber(line.substr(digits, last - digits), ~0ull >> 1)) return value;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

int RunFetch(HandheldLink& link, SequenceCounter& sequences, const FetchPlan& plan,
             const FetchOptions& options, BodyOutput& output, ProgressLine& progress, std::ostream& err) {
  Fetcher fetcher(link, sequences, err);
  WirePacket reply;
  auto fail = [&](int status) {
    if (fetcher.Failed()) fetcher.CloseQuietly();
    output.Abandon(options.keepPartial);
    return status;
  };
  const std::uint8_t port[2] = {static_cast<std::uint8_t>(plan.url.port & 0xFF),
                                static_cast<std::uint8_t>(plan.url.port >> 8)};
  const struct {
    std::uint16_t type;
    std::vector<std::uint8_t> payload;
  } setup[] = {
      {Type(PacketType::UserAgent), Bytes(plan.agent)},
      {Type(PacketType::Host), Bytes(plan.url.host)},
      {Type(PacketType::Port), {port[0], port[1]}},
      {Type(PacketType::Verb), Bytes(plan.verb)},
      {Type(PacketType::Path), Bytes(plan.url.path)},
      {Type(PacketType::Secure), {static_cast<std::uint8_t>(plan.url.secure ? 1 : 0)}},
      {Type(PacketType::Headers), Bytes(plan.headers)},
  };
  for (const auto& step : setup) {
    if (auto status = fetcher.Step(step.type, step.payload, &reply)) return fail(*status);
  }
  if (plan.body) {
    if (auto status = fetcher.Step(Type(PacketType::Body), *plan.body, &reply)) return fail(*status);
  }
  if (auto status = fetcher.Step(Type(PacketType::Send), {}, &reply)) return fail(*status);
  const std::uint32_t httpStatus =
      reply.payload.size() >= 4 ? static_cast<std::uint32_t>(usblink::ReadLeI32(reply.payload.data())) : 0;
  const std::string statusText = ReplyText(reply.payload, 4);
  if (auto status = fetcher.Step(Type(PacketType::ResponseHeaders), {}, &reply)) return fail(*status);
  const std::string headers = ReplyText(reply.payload, 0);

  const bool failing = options.failOnHttpError && httpStatus >= 400;
  if (options.includeHeaders && !failing) {
    std::string head = headers;
    if (!head.starts_with("HTTP/"))
      head = "HTTP " + std::to_string(httpStatus) + " " + statusText + "\r\n" + head;
    if (!head.ends_with("\r\n\r\n")) head += head.ends_with("\r\n") ? "\r\n" : "\r\n\r\n";
    output.Write(reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
  }

  // The body, chunk by chunk as it comes.
  progress.Start(plan.verb == "HEAD" ? std::nullopt : ContentLength(headers));
  std::uint64_t received = 0;
  for (;;) {
    if (auto status = fetcher.Step(Type(PacketType::Read), {}, &reply)) return fail(*status);
    if (reply.payload.empty()) break;
    received += reply.payload.size();
    if (!failing) output.Write(reply.payload.data(), reply.payload.size());
    progress.Update(received);
  }
  progress.Finish();
  if (auto status = fetcher.Step(Type(PacketType::Close), {}, &reply)) return fail(status.value());
  if (failing) {
    output.Abandon(false);
    err << "skiffhouse-handheld: the server answered " << httpStatus << " " << statusText << "\n";
    return kExitHttpFailure;
  }
  std::string error;
  if (!output.Commit(&error)) {
    err << "skiffhouse-handheld: " << error << "\n";
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace skiff::handheld
