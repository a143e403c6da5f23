// skiffhouse-handheld: a simulated handheld for the desktop program. It attaches to the
// USB-link socket, serves the application channel and speaks the packet protocol.
#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fetch.h"
#include "handheld_link.h"
#include "packet_text.h"
#include "progress.h"
#include "protocol/packet.h"

namespace {

using namespace skiff::handheld;
using skiff::PacketType;

constexpr char kUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] COMMAND [ARGS]

A simulated handheld: attaches to the desktop program's USB-link socket, lets the
desktop open the application channel and sends it request packets. The desktop
program (skiffhouse) must be running.

Commands:
  fetch URL [FETCH OPTIONS]  fetch an http:// or https:// URL through the desktop
  ping [TEXT]                send a Ping and print the Pong's text
  log TEXT                   write TEXT into the desktop's activity log
  attach                     stay attached until SIGINT or SIGTERM
  script [FILE]              send raw packets from FILE (or standard input), one per
                             line as `TYPE SEQ [text:...|hex:...]`, and print each reply
  help [COMMAND]             show this text, or a command's own

Options (before or after the command):
  --socket PATH          the desktop's socket (default: $SKIFFHOUSE_USB_SOCKET, else
                         $XDG_RUNTIME_DIR/skiffhouse/usb.sock, else
                         /tmp/skiffhouse-<uid>/usb.sock)
  --port N               attach over TCP to 127.0.0.1:N instead (default on Windows,
                         and wherever $SKIFFHOUSE_USB_PORT is set: that port, else 47147)
  --pin N                the handheld's PIN, hex (0x2a0f) or decimal (property BBPIN)
  --property NAME=VALUE  an extra property; integers are sent as numbers, the rest as
                         text (repeatable); the handheld sends Name=skiffhouse-handheld
                         unless a Name is given
  --password P           lock the handheld with password P
  --channel NAME         the application channel served (default SkiffhouseUSB)
  --drop-reply N         throw away the Nth reply, to make the handheld ask again
  --timeout MS           time to wait for a reply before asking again (default 10000)
  --tries N              sends of one request before giving up (default 6)
  --open-timeout MS      time to wait for the desktop to open the channel (default: no
                         limit)
  -v, --verbose          say what happens on the link
  -h, --help             show this text (after a command: that command's usage)

Exit status: 0 done, 1 usage or local error, 2 link failure (no desktop, channel
refused or closed, no reply), 3 an Error reply (its code and text are on standard
error), 4 wiped after the last wrong password, 22 HTTP failure with --fail.
)";

constexpr char kFetchUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] fetch URL [FETCH OPTIONS]

Fetches an http:// or https:// URL through the desktop program and writes the body to
standard output or FILE. A URL with a blank or a control character is refused: write
a blank as %20.

Fetch options:
  -X, --request VERB       request verb (default GET, or POST with -d)
  -H, --header 'Name: v'   an extra request header (repeatable)
  -d, --data DATA|@FILE    request body, at most 4000 bytes
  -A, --user-agent AGENT   user agent
  -i, --include            write the status line and headers before the body
  -o, --output FILE        write the body to FILE (checked before anything is sent;
                           "-" is standard output)
      --keep-partial       keep what arrived in FILE when the fetch fails (by default
                           FILE is left as it was)
      --fail               exit with status 22 when the server answers 400 or above
      --progress           show the progress line even when standard error is not a
                           terminal
  -s, --silent             no progress line

The progress line (on a terminal, when the body does not go to that terminal) shows a
bar, the percentage, the size and the rate when the server gives the size, and the
bytes so far and the rate when it does not.
)";

constexpr char kPingUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] ping [TEXT]

Sends a Ping carrying TEXT (default "ping") and prints the text of the desktop's Pong.
)";

constexpr char kLogUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] log TEXT

Writes TEXT into the desktop's activity log (a LogMessage) and prints the reply.
)";

constexpr char kAttachUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] attach

Attaches and stays attached, answering the desktop's channel opens and password
challenges, until SIGINT or SIGTERM.
)";

constexpr char kScriptUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] script [FILE]

Sends raw packets from FILE (or standard input, also as "-"), one per line as
`TYPE SEQ [text:...|hex:...]` (TYPE a name such as Ping or a number; the text takes
\r \n \t \0 \\ \xHH), and prints each reply; blank lines and lines starting with #
are skipped.
)";

constexpr char kHelpUsage[] = R"(Usage: skiffhouse-handheld help [COMMAND]

Shows the general usage, or COMMAND's own.
)";

const char* CommandUsage(const std::string& command) {
  if (command == "fetch") return kFetchUsage;
  if (command == "ping") return kPingUsage;
  if (command == "log") return kLogUsage;
  if (command == "attach") return kAttachUsage;
  if (command == "script") return kScriptUsage;
  if (command == "help") return kHelpUsage;
  return nullptr;
}

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

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  HandheldConfig& config = settings.config;

  // The options before the command, then the command's own (and the global ones again).
  std::vector<std::string> words;
  std::string error;
  if (!Parse(argc, argv, false, true, settings, words, &error)) return UsageError(error);
  if (settings.help) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (words.empty()) return UsageError("no command given");
  const std::string command = words[0];
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
  if (command == "help") {
    if (words.size() > 1) return UsageError("help takes one command at most", command);
    const char* usage = words.empty() ? kUsage : CommandUsage(words[0]);
    if (usage == nullptr) return UsageError("unknown command " + words[0]);
    std::cout << usage;
    return kExitOk;
  }

  bool havePinProperty = false, haveNameProperty = false;
  for (const auto& property : config.properties) {
    havePinProperty |= property.name == "BBPIN";
    haveNameProperty |= property.name == "Name";
  }
  // A handheld has a name, and without --pin it still has a PIN, as every real one does.
  if (!haveNameProperty)
    config.properties.insert(config.properties.begin(),
                             skiff::usblink::DeviceProperty::MakeText("Name", "skiffhouse-handheld"));
  if (settings.pin || !havePinProperty) {
    config.properties.insert(config.properties.begin(),
                             skiff::usblink::DeviceProperty::MakeInteger(
                                 "BBPIN", static_cast<std::int32_t>(settings.pin.value_or(0x2A0F1E3Cu))));
  }

  FetchPlan plan;
  BodyOutput output;
  std::ifstream scriptFile;
  std::istream* scriptInput = &std::cin;
  if (command == "fetch") {
    if (words.size() != 1) return UsageError("fetch needs one URL", command);
    settings.fetch.url = words[0];
    if (!PrepareFetch(settings.fetch, &plan, &error) || !output.Open(settings.fetch.outputPath, &error)) {
      std::cerr << "skiffhouse-handheld: " << error << "\n";
      return kExitUsage;
    }
  } else if (command == "ping") {
    if (words.size() > 1) return UsageError("ping takes one text at most", command);
  } else if (command == "log") {
    if (words.size() != 1) return UsageError("log needs one text", command);
  } else if (command == "attach") {
    if (!words.empty()) return UsageError("attach takes no arguments", command);
  } else if (command == "script") {
    if (words.size() > 1) return UsageError("script takes one file at most", command);
    if (words.size() == 1 && words[0] != "-") {
      scriptFile.open(words[0]);
      if (!scriptFile) {
        std::cerr << "skiffhouse-handheld: cannot read " << words[0] << "\n";
        return kExitUsage;
      }
      scriptInput = &scriptFile;
    }
  }
  {
    std::vector<std::uint8_t> attach;
    if (!skiff::usblink::EncodeAttach(config.properties, &attach, &error)) {
      std::cerr << "skiffhouse-handheld: " << error << "\n";
      return kExitUsage;
    }
  }

  // A progress line for a person watching: on a terminal that the body does not go to.
  const bool showProgress =
      settings.progress == ProgressWish::Always ||
      (settings.progress == ProgressWish::Auto && ::isatty(STDERR_FILENO) != 0 && !output.IsTerminal());
  ProgressLine progress(std::cerr, showProgress);
  MessageStream messages(std::cerr, progress);

  HandheldLink::CatchStopSignals();
  const unsigned timeoutMs = config.replyTimeoutMs;
  HandheldLink link(config, messages);
  if (!link.Attach(&error)) {
    std::cerr << "skiffhouse-handheld: cannot reach the desktop program: " << error
              << "\nIs it running? Start it with `skiffhouse` (in a source tree: scripts/run.sh), then try "
                 "again.\n";
    return kExitLink;
  }
  if (command == "attach") {
    const Outcome outcome = link.ServeUntilStopped();
    link.Detach();
    if (outcome == Outcome::Interrupted) return kExitOk;
    std::cerr << "skiffhouse-handheld: " << OutcomeText(outcome) << "\n";
    return outcome == Outcome::Wiped ? kExitWiped : kExitLink;
  }
  const Outcome opened = link.WaitForOpen();
  if (opened != Outcome::Ok) {
    std::cerr << "skiffhouse-handheld: waiting for the desktop to open the channel: " << OutcomeText(opened)
              << "\n";
    return opened == Outcome::Wiped ? kExitWiped : kExitLink;
  }

  int status = kExitOk;
  SequenceCounter sequences;
  if (command == "fetch") {
    status = RunFetch(link, sequences, plan, settings.fetch, output, progress, messages);
  } else if (command == "script") {
    status = RunScript(link, *scriptInput, timeoutMs);
  } else {
    WirePacket request, reply;
    const bool ping = command == "ping";
    request.type = static_cast<std::uint16_t>(ping ? PacketType::Ping : PacketType::LogMessage);
    request.sequence = sequences.Next();
    const std::string text = words.empty() ? "ping" : words[0];
    request.payload.assign(text.begin(), text.end());
    const Outcome outcome = link.Request(request, &reply);
    if (outcome != Outcome::Ok) {
      std::cerr << "skiffhouse-handheld: " << OutcomeText(outcome) << "\n";
      status = outcome == Outcome::Wiped ? kExitWiped : kExitLink;
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
  }
  link.Detach();
  return status;
}
