// skiffhouse-handheld: a simulated handheld for the desktop program. It attaches to the
// USB-link socket, serves the application channel and speaks the packet protocol.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fetch.h"
#include "handheld_link.h"
#include "packet_text.h"

namespace {

using namespace skiff::handheld;

constexpr char kUsage[] = R"(Usage: skiffhouse-handheld [OPTIONS] COMMAND [ARGS]

A simulated handheld: attaches to the desktop program's USB-link socket, lets the
desktop open the application channel and sends it request packets.

Commands:
  fetch URL [FETCH OPTIONS]  fetch an http:// or https:// URL through the desktop
  ping [TEXT]                send a Ping and print the Pong's text
  log TEXT                   write TEXT into the desktop's activity log
  attach                     stay attached until SIGINT or SIGTERM
  script [FILE]              send raw packets from FILE (or standard input), one per
                             line as `TYPE SEQ [text:...|hex:...]`, and print each reply

Options:
  --socket PATH          the desktop's socket (default: $SKIFFHOUSE_USB_SOCKET, else
                         $XDG_RUNTIME_DIR/skiffhouse/usb.sock, else
                         /tmp/skiffhouse-<uid>/usb.sock)
  --port N               attach over TCP to 127.0.0.1:N instead (default on Windows,
                         and wherever $SKIFFHOUSE_USB_PORT is set: that port, else 47147)
  --pin N                the handheld's PIN, hex (0x2a0f) or decimal (property BBPIN)
  --property NAME=VALUE  an extra property; integers are sent as numbers, the rest as
                         text (repeatable)
  --password P           lock the handheld with password P
  --channel NAME         the application channel served (default SkiffhouseUSB)
  --drop-reply N         throw away the Nth reply, to make the handheld ask again
  --timeout MS           time to wait for a reply before asking again (default 10000)
  --tries N              sends of one request before giving up (default 6)
  --open-timeout MS      time to wait for the desktop to open the channel (default: no
                         limit)
  -v, --verbose          say what happens on the link
  -h, --help             show this text

Fetch options:
  -X VERB                request verb (default GET, or POST with -d)
  -H 'Name: value'       an extra request header (repeatable)
  -d DATA, -d @FILE      request body, at most 4000 bytes
  -A AGENT               user agent
  -i                     print the status line and headers before the body
  -o FILE                write the body to FILE instead of standard output
  --fail                 exit with status 22 when the server answers 400 or above

Exit status: 0 done, 1 usage or local error, 2 link failure (no desktop, channel
refused or closed, no reply), 3 an Error reply (its code and text are on standard
error), 4 wiped after the last wrong password, 22 HTTP failure with --fail.
)";

int UsageError(const std::string& message) {
  std::cerr << "skiffhouse-handheld: " << message << "\nTry 'skiffhouse-handheld --help'.\n";
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

}  // namespace

int main(int argc, char** argv) {
  HandheldConfig config;
  std::optional<std::uint32_t> pin;
  std::vector<std::string> words;  // the command and its arguments
  FetchOptions fetch;
  bool haveFetchOptions = false;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return kExitOk;
    } else if (arg == "-v" || arg == "--verbose") {
      config.verbose = true;
    } else if (arg == "--socket") {
      if (!value(&config.socketPath)) return UsageError("--socket needs a path");
    } else if (arg == "--port") {
      std::optional<std::uint64_t> port;
      if (!value(&text) || !(port = ParseNumber(text, 65535)) || *port == 0)
        return UsageError("--port needs a port number from 1 to 65535");
      config.tcpPort = static_cast<std::uint16_t>(*port);
    } else if (arg == "--pin") {
      if (!value(&text) || !(pin = ParsePin(text))) return UsageError("--pin needs a number, hex or decimal");
    } else if (arg == "--property") {
      if (!value(&text) || text.find('=') == std::string::npos || text.front() == '=') {
        return UsageError("--property needs NAME=VALUE");
      }
      const auto equals = text.find('=');
      config.properties.push_back(MakeProperty(text.substr(0, equals), text.substr(equals + 1)));
    } else if (arg == "--password") {
      if (!value(&text)) return UsageError("--password needs the password");
      config.password = text;
    } else if (arg == "--channel") {
      if (!value(&config.channel)) return UsageError("--channel needs a name");
    } else if (arg == "--drop-reply" || arg == "--timeout" || arg == "--tries" || arg == "--open-timeout") {
      std::optional<std::uint64_t> number;
      if (!value(&text) || !(number = ParseNumber(text, 0x7FFFFFFF)))
        return UsageError(arg + " needs a number");
      if (arg == "--drop-reply") config.dropReply = static_cast<unsigned>(*number);
      if (arg == "--timeout") config.replyTimeoutMs = static_cast<unsigned>(*number);
      if (arg == "--tries") config.maxTries = *number == 0 ? 1 : static_cast<unsigned>(*number);
      if (arg == "--open-timeout") config.openTimeoutMs = static_cast<int>(*number);
    } else if (arg == "-X" || arg == "-H" || arg == "-d" || arg == "-A" || arg == "-o") {
      if (!value(&text)) return UsageError(arg + " needs a value");
      haveFetchOptions = true;
      if (arg == "-X") fetch.verb = text;
      if (arg == "-H") fetch.headers.push_back(text);
      if (arg == "-d") fetch.data = text;
      if (arg == "-A") fetch.agent = text;
      if (arg == "-o") fetch.outputPath = text;
    } else if (arg == "-i" || arg == "--fail") {
      haveFetchOptions = true;
      (arg == "-i" ? fetch.includeHeaders : fetch.failOnHttpError) = true;
    } else if (arg.size() > 1 && arg[0] == '-' && words.size() < 2) {
      return UsageError("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return UsageError("no command given");
  const std::string command = words[0];
  if (haveFetchOptions && command != "fetch")
    return UsageError("-X, -H, -d, -A, -i, -o and --fail belong to fetch");

  bool havePinProperty = false;
  for (const auto& property : config.properties) havePinProperty |= property.name == "BBPIN";
  if (pin || !havePinProperty) {
    // Without --pin the handheld still has a PIN, as every real one does.
    config.properties.insert(config.properties.begin(),
                             skiff::usblink::DeviceProperty::MakeInteger(
                                 "BBPIN", static_cast<std::int32_t>(pin.value_or(0x2A0F1E3Cu))));
  }

  FetchPlan plan;
  std::ifstream scriptFile;
  std::istream* scriptInput = &std::cin;
  if (command == "fetch") {
    if (words.size() != 2) return UsageError("fetch needs one URL");
    fetch.url = words[1];
    std::string error;
    if (!PrepareFetch(fetch, &plan, &error)) {
      std::cerr << "skiffhouse-handheld: " << error << "\n";
      return kExitUsage;
    }
  } else if (command == "ping") {
    if (words.size() > 2) return UsageError("ping takes one text at most");
  } else if (command == "log") {
    if (words.size() != 2) return UsageError("log needs one text");
  } else if (command == "attach") {
    if (words.size() != 1) return UsageError("attach takes no arguments");
  } else if (command == "script") {
    if (words.size() > 2) return UsageError("script takes one file at most");
    if (words.size() == 2 && words[1] != "-") {
      scriptFile.open(words[1]);
      if (!scriptFile) {
        std::cerr << "skiffhouse-handheld: cannot read " << words[1] << "\n";
        return kExitUsage;
      }
      scriptInput = &scriptFile;
    }
  } else {
    return UsageError("unknown command " + command);
  }

  HandheldLink::CatchStopSignals();
  const unsigned timeoutMs = config.replyTimeoutMs;
  HandheldLink link(config, std::cerr);
  std::string error;
  if (!link.Attach(&error)) {
    std::cerr << "skiffhouse-handheld: " << error << "\n";
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
    status = RunFetch(link, sequences, plan, fetch, std::cout, std::cerr);
  } else if (command == "script") {
    status = RunScript(link, *scriptInput, timeoutMs);
  } else {
    WirePacket request, reply;
    const bool ping = command == "ping";
    request.type = ping ? 1 : 30;
    request.sequence = sequences.Next();
    const std::string text = words.size() > 1 ? words[1] : "ping";
    request.payload.assign(text.begin(), text.end());
    const Outcome outcome = link.Request(request, &reply);
    if (outcome != Outcome::Ok) {
      std::cerr << "skiffhouse-handheld: " << OutcomeText(outcome) << "\n";
      status = outcome == Outcome::Wiped ? kExitWiped : kExitLink;
    } else if (reply.type != (ping ? 2 : 15)) {
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
