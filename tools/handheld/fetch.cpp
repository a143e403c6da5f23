// The fetch command of the simulated handheld.
#include "fetch.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "packet_text.h"

namespace skiff::handheld {

namespace {

enum : std::uint16_t {
  kError = 3,
  kUserAgent = 4,
  kHost = 5,
  kPort = 6,
  kVerb = 7,
  kPath = 8,
  kSecure = 9,
  kHeaders = 10,
  kBody = 11,
  kSend = 12,
  kResponseHeaders = 13,
  kRead = 14,
  kReply = 15,
  kClose = 16,
};

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

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
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
    if (reply->type == kError) {
      const std::uint32_t code = reply->payload.size() >= 4
                                     ? static_cast<std::uint32_t>(usblink::ReadLeI32(reply->payload.data()))
                                     : 0;
      m_err << "skiffhouse-handheld: error " << code << ": " << ReplyText(reply->payload, 4) << " (at "
            << PacketTypeName(type) << ")\n";
      m_failed = true;
      return kExitErrorReply;
    }
    if (reply->type != kReply) {
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
    request.type = kClose;
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
  std::string rest;
  const auto schemeEnd = url.find("://");
  std::string scheme = schemeEnd == std::string::npos ? "" : url.substr(0, schemeEnd);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme == "http") {
    parsed->secure = false;
  } else if (scheme == "https") {
    parsed->secure = true;
  } else {
    *error = "the URL must start with http:// or https://: " + url;
    return false;
  }
  rest = url.substr(schemeEnd + 3);
  if (const auto fragment = rest.find('#'); fragment != std::string::npos) rest.erase(fragment);
  const auto pathStart = rest.find_first_of("/?");
  std::string authority = rest.substr(0, pathStart);
  parsed->path = pathStart == std::string::npos ? "/" : rest.substr(pathStart);
  if (parsed->path[0] == '?') parsed->path.insert(0, "/");
  if (authority.find('@') != std::string::npos) {
    *error = "user names in URLs are not supported: " + url;
    return false;
  }
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) {
      *error = "an IPv6 address lacks its ]: " + url;
      return false;
    }
    parsed->host = authority.substr(1, close - 1);
    const std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') {
        *error = "unexpected text after the IPv6 address: " + url;
        return false;
      }
      portText = after.substr(1);
    }
  } else {
    const auto colon = authority.rfind(':');
    parsed->host = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  if (parsed->host.empty()) {
    *error = "the URL names no host: " + url;
    return false;
  }
  parsed->port = parsed->secure ? 443 : 80;
  if (!portText.empty()) {
    const auto port = ParseNumber(portText, 65535);
    if (!port || *port == 0 || portText.starts_with("0x")) {
      *error = "\"" + portText + "\" is no port number: " + url;
      return false;
    }
    parsed->port = static_cast<std::uint16_t>(*port);
  }
  return true;
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

int RunFetch(HandheldLink& link, SequenceCounter& sequences, const FetchPlan& plan,
             const FetchOptions& options, std::ostream& out, std::ostream& err) {
  Fetcher fetcher(link, sequences, err);
  WirePacket reply;
  auto fail = [&](int status) {
    if (fetcher.Failed()) fetcher.CloseQuietly();
    return status;
  };
  const std::uint8_t port[2] = {static_cast<std::uint8_t>(plan.url.port & 0xFF),
                                static_cast<std::uint8_t>(plan.url.port >> 8)};
  const struct {
    std::uint16_t type;
    std::vector<std::uint8_t> payload;
  } setup[] = {
      {kUserAgent, Bytes(plan.agent)}, {kHost, Bytes(plan.url.host)},
      {kPort, {port[0], port[1]}},     {kVerb, Bytes(plan.verb)},
      {kPath, Bytes(plan.url.path)},   {kSecure, {static_cast<std::uint8_t>(plan.url.secure ? 1 : 0)}},
      {kHeaders, Bytes(plan.headers)},
  };
  for (const auto& step : setup) {
    if (auto status = fetcher.Step(step.type, step.payload, &reply)) return fail(*status);
  }
  if (plan.body) {
    if (auto status = fetcher.Step(kBody, *plan.body, &reply)) return fail(*status);
  }
  if (auto status = fetcher.Step(kSend, {}, &reply)) return fail(*status);
  const std::uint32_t httpStatus =
      reply.payload.size() >= 4 ? static_cast<std::uint32_t>(usblink::ReadLeI32(reply.payload.data())) : 0;
  const std::string statusText = ReplyText(reply.payload, 4);
  if (auto status = fetcher.Step(kResponseHeaders, {}, &reply)) return fail(*status);
  const std::string headers = ReplyText(reply.payload, 0);

  const bool failing = options.failOnHttpError && httpStatus >= 400;
  std::ofstream file;
  std::ostream* sink = &out;
  if (!failing && !options.outputPath.empty()) {
    file.open(options.outputPath, std::ios::binary | std::ios::trunc);
    if (!file) {
      err << "skiffhouse-handheld: cannot write " << options.outputPath << "\n";
      fetcher.CloseQuietly();
      return kExitUsage;
    }
    sink = &file;
  }
  if (options.includeHeaders && !failing) {
    if (!headers.starts_with("HTTP/")) *sink << "HTTP " << httpStatus << " " << statusText << "\r\n";
    *sink << headers;
    if (!headers.ends_with("\r\n\r\n")) *sink << (headers.ends_with("\r\n") ? "\r\n" : "\r\n\r\n");
  }

  // The body, chunk by chunk as it comes; a progress line only for a person watching.
  const bool showProgress = ::isatty(STDERR_FILENO) != 0 && !failing;
  const auto started = std::chrono::steady_clock::now();
  std::uint64_t received = 0;
  for (;;) {
    if (auto status = fetcher.Step(kRead, {}, &reply)) {
      if (showProgress) err << "\n";
      return fail(*status);
    }
    if (reply.payload.empty()) break;
    received += reply.payload.size();
    if (!failing)
      sink->write(reinterpret_cast<const char*>(reply.payload.data()),
                  static_cast<std::streamsize>(reply.payload.size()));
    if (showProgress) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      err << "\r" << HumanBytes(static_cast<double>(received)) << "  "
          << HumanBytes(seconds > 0 ? static_cast<double>(received) / seconds : 0) << "/s   " << std::flush;
    }
  }
  if (showProgress) err << "\n";
  sink->flush();
  if (auto status = fetcher.Step(kClose, {}, &reply)) return status.value();
  if (!*sink) {
    err << "skiffhouse-handheld: writing the body failed\n";
    return kExitUsage;
  }
  if (failing) {
    err << "skiffhouse-handheld: the server answered " << httpStatus << " " << statusText << "\n";
    return kExitHttpFailure;
  }
  return kExitOk;
}

}  // namespace skiff::handheld
