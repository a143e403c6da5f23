// skiffhouse-handheld: a simulated handheld for the desktop program. It attaches to the
// USB-link socket, serves the application channel and speaks the packet protocol.
#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "fetch.h"
#include "handheld_link.h"
#include "packet_text.h"
#include "progress.h"
#include "protocol/packet.h"
#include "usage_text.h"

namespace {

using namespace skiff::handheld;
using skiff::PacketType;

int UsageError(const std::string& message, const std::string& command = "") {
  std::cerr << "skiffhouse-handheld: " << message << "\nTry 'skiffhouse-handheld "
            << (command.empty() ? "--help" : command + " --help") << "'.\n";
  return kExitUsage;
}

skiff::usblink::DeviceProperty MakeProperty(const std::string& name, const std::string& value) {
  const bool negative = value.starts_with("-");
  const auto number =
      ParseNumber(negative ? value.substr(1) : value, negative ? 0x80000000ull : 0x7FFFFFFFull);
  if (number && !value.starts_with("0x") && !value.starts_with("-0x")) {
    const auto magnitude = static_cast<std::int64_t>(*number);
    return skiff::usblink::DeviceProperty::MakeInteger(
        name, static_cast<std::int32_t>(negative ? -magnitude : magnitude));
  }
  return skiff::usblink::DeviceProperty::MakeText(name, value);
}

std::optional<std::uint32_t> ParsePin(const std::string& text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    if (auto value = ParseNumber(text, 0xFFFFFFFFull)) return static_cast<std::uint32_t>(*value);
    return std::nullopt;
  }
  if (auto value = ParseNumber(text, 0xFFFFFFFFull)) return static_cast<std::uint32_t>(*value);
  // Digits and letters a-f without a prefix: a PIN as the handheld shows it.
  if (auto value = ParseNumber("0x" + text, 0xFFFFFFFFull)) return static_cast<std::uint32_t>(*value);
  return std::nullopt;
}

int RunScript(HandheldLink& link, std::istream& input, unsigned timeoutMs) {
  std::string line;
  int lineNumber = 0;
  int status = kExitOk;
  while (std::getline(input, line)) {
    ++lineNumber;
    WirePacket packet;
    std::string error;
    switch (ParseScriptLine(line, &packet, &error)) {
      case ScriptLineResult::Skip:
        continue;
      case ScriptLineResult::Error:
        std::cerr << "skiffhouse-handheld: line " << lineNumber << ": " << error << "\n";
        status = kExitUsage;
        continue;
      case ScriptLineResult::Packet:
        break;
    }
    if (ExpectsReply(packet.type)) {
      WirePacket reply;
      const Outcome outcome = link.Request(packet, &reply);
      if (outcome != Outcome::Ok) {
        std::cerr << "skiffhouse-handheld: line " << lineNumber << ": " << OutcomeText(outcome) << "\n";
        if (outcome == Outcome::TimedOut) {
          status = kExitLink;
          continue;
        }
        return outcome == Outcome::Wiped ? kExitWiped : kExitLink;
      }
      std::cout << FormatPacket(reply) << std::endl;
    } else {
      // No reply is due; a short wait shows one that comes anyway.
      std::optional<WirePacket> stray;
      const Outcome outcome = link.SendWithoutReply(packet, timeoutMs < 500 ? timeoutMs : 500, &stray);
      if (outcome != Outcome::Ok) {
        std::cerr << "skiffhouse-handheld: line " << lineNumber << ": " << OutcomeText(outcome) << "\n";
        return outcome == Outcome::Wiped ? kExitWiped : kExitLink;
      }
      std::cout << (stray ? FormatPacket(*stray) : "(no reply)") << std::endl;
    }
  }
  return status;
}

// Option codes of long options without a short form.
enum : int {
  kOptSocket = 256,
  kOptPort,
  kOptPin,
  kOptProperty,
  kOptPassword,
  kOptChannel,
  kOptDropReply,
  kOptTimeout,
  kOptTries,
  kOptOpenTimeout,
  kOptFail,
  kOptKeepPartial,
  kOptProgress,
};

constexpr option kGlobalOptions[] = {
    {"socket", required_argument, nullptr, kOptSocket},
    {"port", required_argument, nullptr, kOptPort},
    {"pin", required_argument, nullptr, kOptPin},
    {"property", required_argument, nullptr, kOptProperty},
    {"password", required_argument, nullptr, kOptPassword},
    {"channel", required_argument, nullptr, kOptChannel},
    {"drop-reply", required_argument, nullptr, kOptDropReply},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"tries", required_argument, nullptr, kOptTries},
    {"open-timeout", required_argument, nullptr, kOptOpenTimeout},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
};
constexpr option kFetchOptions[] = {
    {"request", required_argument, nullptr, 'X'},
    {"header", required_argument, nullptr, 'H'},
    {"data", required_argument, nullptr, 'd'},
    {"user-agent", required_argument, nullptr, 'A'},
    {"include", no_argument, nullptr, 'i'},
    {"output", required_argument, nullptr, 'o'},
    {"silent", no_argument, nullptr, 's'},
    {"fail", no_argument, nullptr, kOptFail},
    {"keep-partial", no_argument, nullptr, kOptKeepPartial},
    {"progress", no_argument, nullptr, kOptProgress},
};

enum class ProgressWish { Auto, Always, Never };

struct Settings {
  HandheldConfig config;
  std::optional<std::uint32_t> pin;
  bool help = false;
  FetchOptions fetch;
  ProgressWish progress = ProgressWish::Auto;
};

// Applies an option that any command takes; false with the message when its value is bad.
bool ApplyGlobal(int code, const std::string& value, Settings& settings, std::string* error) {
  HandheldConfig& config = settings.config;
  switch (code) {
    case 'v':
      config.verbose = true;
      return true;
    case 'h':
      settings.help = true;
      return true;
    case kOptSocket:
      config.socketPath = value;
      return true;
    case kOptPort: {
      const auto port = ParseNumber(value, 65535);
      if (!port || *port == 0) *error = "a port number from 1 to 65535 is needed";
      config.tcpPort = static_cast<std::uint16_t>(port.value_or(0));
      return config.tcpPort != 0;
    }
    case kOptPin:
      settings.pin = ParsePin(value);
      if (!settings.pin) *error = "a number is needed, hex or decimal";
      return settings.pin.has_value();
    case kOptProperty: {
      const auto equals = value.find('=');
      if (equals == std::string::npos || equals == 0) {
        *error = "NAME=VALUE is needed";
        return false;
      }
      config.properties.push_back(MakeProperty(value.substr(0, equals), value.substr(equals + 1)));
      return true;
    }
    case kOptPassword:
      config.password = value;
      return true;
    case kOptChannel:
      config.channel = value;
      return true;
    default:
      break;
  }
  const auto number = ParseNumber(value, 0x7FFFFFFF);
  if (!number) {
    *error = "a number is needed, not \"" + value + "\"";
    return false;
  }
  if (code == kOptDropReply) config.dropReply = static_cast<unsigned>(*number);
  if (code == kOptTimeout) config.replyTimeoutMs = static_cast<unsigned>(*number);
  if (code == kOptTries) config.maxTries = *number == 0 ? 1 : static_cast<unsigned>(*number);
  if (code == kOptOpenTimeout) config.openTimeoutMs = static_cast<int>(*number);
  return true;
}

void ApplyFetch(int code, const char* value, Settings& settings) {
  FetchOptions& fetch = settings.fetch;
  switch (code) {
    case 'X':
      fetch.verb = value;
      break;
    case 'H':
      fetch.headers.emplace_back(value);
      break;
    case 'd':
      fetch.data = value;
      break;
    case 'A':
      fetch.agent = value;
      break;
    case 'i':
      fetch.includeHeaders = true;
      break;
    case 'o':
      fetch.outputPath = value;
      break;
    case 's':
      settings.progress = ProgressWish::Never;
      break;
    case kOptProgress:
      settings.progress = ProgressWish::Always;
      break;
    case kOptFail:
      fetch.failOnHttpError = true;
      break;
    case kOptKeepPartial:
      fetch.keepPartial = true;
      break;
    default:
      break;
  }
}

// Parses argv with getopt_long: options, then (with stopAtWord) the first word ends
// the options. Words go to words. The message of a bad option goes to error.
bool Parse(int argc, char** argv, bool forFetch, bool stopAtWord, Settings& settings,
           std::vector<std::string>& words, std::string* error) {
  std::vector<option> options(std::begin(kGlobalOptions), std::end(kGlobalOptions));
  if (forFetch) options.insert(options.end(), std::begin(kFetchOptions), std::end(kFetchOptions));
  options.push_back(option{nullptr, 0, nullptr, 0});
  const std::string shortOptions =
      std::string(stopAtWord ? "+" : "") + ":vh" + (forFetch ? "X:H:d:A:io:s" : "");
  opterr = 0;
  optind = 0;  // starts getopt_long afresh for each list
  for (;;) {
    const int code = getopt_long(argc, argv, shortOptions.c_str(), options.data(), nullptr);
    if (code == -1) break;
    const std::string given = argv[optind - 1] != nullptr ? argv[optind - 1] : "";
    if (code == '?') {
      *error = "unknown option " + (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt)) : given);
      return false;
    }
    if (code == ':') {
      *error = given + " needs a value";
      return false;
    }
    const bool fetchOption = code >= kOptFail || (code < 128 && std::strchr("XHdAios", code) != nullptr);
    if (forFetch && fetchOption) {
      ApplyFetch(code, optarg, settings);
    } else if (!ApplyGlobal(code, optarg != nullptr ? optarg : "", settings, error)) {
      for (const option& known : options)
        if (known.name != nullptr && known.val == code)
          *error = "--" + std::string(known.name) + ": " + *error;
      return false;
    }
  }
  for (int i = optind; i < argc; ++i) words.emplace_back(argv[i]);
  return true;
}

int ExitStatusFor(Outcome outcome) {
  return outcome == Outcome::Wiped ? kExitWiped : kExitLink;
}

// The options before the command, then the command's own (and the global ones again).
// An exit status when the run ends here: with a usage shown, or a usage error.
std::optional<int> ParseCommandLine(int argc, char** argv, Settings& settings, std::string& command,
                                    std::vector<std::string>& words) {
  std::string error;
  if (!Parse(argc, argv, false, true, settings, words, &error)) return UsageError(error);
  if (settings.help) {
    std::cout << GeneralUsage();
    return kExitOk;
  }
  if (words.empty()) return UsageError("no command given");
  command = words[0];
  const char* commandUsage = CommandUsage(command);
  if (commandUsage == nullptr) return UsageError("unknown command " + command);
  std::vector<char*> rest{argv[0]};
  for (int i = argc - static_cast<int>(words.size()) + 1; i < argc; ++i) rest.push_back(argv[i]);
  rest.push_back(nullptr);
  words.clear();
  if (!Parse(static_cast<int>(rest.size()) - 1, rest.data(), command == "fetch", false, settings, words,
             &error))
    return UsageError(error, command);
  if (settings.help) {
    std::cout << commandUsage;
    return kExitOk;
  }
  return std::nullopt;
}

// A handheld has a name, and without --pin it still has a PIN, as every real one does.
// False with the reason when the properties do not fit an ATTACH.
bool CompleteProperties(Settings& settings, std::string* error) {
  auto& properties = settings.config.properties;
  bool havePinProperty = false, haveNameProperty = false;
  for (const auto& property : properties) {
    havePinProperty |= property.name == "BBPIN";
    haveNameProperty |= property.name == "Name";
  }
  if (!haveNameProperty)
    properties.insert(properties.begin(),
                      skiff::usblink::DeviceProperty::MakeText("Name", "skiffhouse-handheld"));
  if (settings.pin || !havePinProperty) {
    properties.insert(properties.begin(),
                      skiff::usblink::DeviceProperty::MakeInteger(
                          "BBPIN", static_cast<std::int32_t>(settings.pin.value_or(0x2A0F1E3Cu))));
  }
  std::vector<std::uint8_t> attach;
  return skiff::usblink::EncodeAttach(properties, &attach, error);
}

// Attaches and, with waitForOpen, waits until the desktop has opened the channel; an
// exit status when either fails.
std::optional<int> Connect(HandheldLink& link, bool waitForOpen) {
  HandheldLink::CatchStopSignals();
  std::string error;
  if (!link.Attach(&error)) {
    std::cerr << "skiffhouse-handheld: cannot reach the desktop program: " << error << "\n"
              << StartDesktopHint();
    return kExitLink;
  }
  if (!waitForOpen) return std::nullopt;
  const Outcome opened = link.WaitForOpen();
  if (opened == Outcome::Ok) return std::nullopt;
  std::cerr << "skiffhouse-handheld: waiting for the desktop to open the channel: " << OutcomeText(opened)
            << "\n";
  return ExitStatusFor(opened);
}

int RunHelp(const std::vector<std::string>& words) {
  if (words.size() > 1) return UsageError("help takes one command at most", "help");
  const char* usage = words.empty() ? GeneralUsage() : CommandUsage(words[0]);
  if (usage == nullptr) return UsageError("unknown command " + words[0]);
  std::cout << usage;
  return kExitOk;
}

int RunAttach(const Settings& settings, const std::vector<std::string>& words) {
  if (!words.empty()) return UsageError("attach takes no arguments", "attach");
  HandheldLink link(settings.config, std::cerr);
  if (const auto status = Connect(link, false)) return *status;
  const Outcome outcome = link.ServeUntilStopped();
  link.Detach();
  if (outcome == Outcome::Interrupted) return kExitOk;
  std::cerr << "skiffhouse-handheld: " << OutcomeText(outcome) << "\n";
  return ExitStatusFor(outcome);
}

// ping [TEXT] and log TEXT: one request, and the text of its reply printed.
int RunPingOrLog(const Settings& settings, const std::string& command,
                 const std::vector<std::string>& words) {
  const bool ping = command == "ping";
  if (ping && words.size() > 1) return UsageError("ping takes one text at most", command);
  if (!ping && words.size() != 1) return UsageError("log needs one text", command);
  HandheldLink link(settings.config, std::cerr);
  if (const auto status = Connect(link, true)) return *status;
  WirePacket request, reply;
  request.type = static_cast<std::uint16_t>(ping ? PacketType::Ping : PacketType::LogMessage);
  request.sequence = SequenceCounter().Next();
  const std::string text = words.empty() ? "ping" : words[0];
  request.payload.assign(text.begin(), text.end());
  const Outcome outcome = link.Request(request, &reply);
  int status = kExitOk;
  if (outcome != Outcome::Ok) {
    std::cerr << "skiffhouse-handheld: " << OutcomeText(outcome) << "\n";
    status = ExitStatusFor(outcome);
  } else if (reply.type != static_cast<std::uint16_t>(ping ? PacketType::Pong : PacketType::Reply)) {
    std::cerr << "skiffhouse-handheld: unexpected answer " << FormatPacket(reply) << "\n";
    status = kExitLink;
  } else {
    std::string answer;
    for (std::uint8_t byte : reply.payload) {
      if (byte == 0) break;
      answer += static_cast<char>(byte);
    }
    std::cout << answer << std::endl;
  }
  link.Detach();
  return status;
}

int RunScriptCommand(const Settings& settings, const std::vector<std::string>& words) {
  if (words.size() > 1) return UsageError("script takes one file at most", "script");
  std::ifstream file;
  if (words.size() == 1 && words[0] != "-") {
    file.open(words[0]);
    if (!file) {
      std::cerr << "skiffhouse-handheld: cannot read " << words[0] << "\n";
      return kExitUsage;
    }
  }
  HandheldLink link(settings.config, std::cerr);
  if (const auto status = Connect(link, true)) return *status;
  const int status = RunScript(link, file.is_open() ? file : std::cin, settings.config.replyTimeoutMs);
  link.Detach();
  return status;
}

int RunFetchCommand(Settings& settings, const std::vector<std::string>& words) {
  if (words.size() != 1) return UsageError("fetch needs one URL", "fetch");
  settings.fetch.url = words[0];
  FetchPlan plan;
  BodyOutput output;
  std::string error;
  if (!PrepareFetch(settings.fetch, &plan, &error) || !output.Open(settings.fetch.outputPath, &error)) {
    std::cerr << "skiffhouse-handheld: " << error << "\n";
    return kExitUsage;
  }
  // A progress line for a person watching: on a terminal that the body does not go to.
  const bool showProgress =
      settings.progress == ProgressWish::Always ||
      (settings.progress == ProgressWish::Auto && ::isatty(STDERR_FILENO) != 0 && !output.IsTerminal());
  ProgressLine progress(std::cerr, showProgress);
  MessageStream messages(std::cerr, progress);
  HandheldLink link(settings.config, messages);
  if (const auto status = Connect(link, true)) return *status;
  SequenceCounter sequences;
  const int status = RunFetch(link, sequences, plan, settings.fetch, output, progress, messages);
  link.Detach();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::string command;
  std::vector<std::string> words;
  if (const auto status = ParseCommandLine(argc, argv, settings, command, words)) return *status;
  if (command == "help") return RunHelp(words);
  std::string error;
  if (!CompleteProperties(settings, &error)) {
    std::cerr << "skiffhouse-handheld: " << error << "\n";
    return kExitUsage;
  }
  if (command == "fetch") return RunFetchCommand(settings, words);
  if (command == "script") return RunScriptCommand(settings, words);
  if (command == "attach") return RunAttach(settings, words);
  return RunPingOrLog(settings, command, words);
}
