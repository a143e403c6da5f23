// Reading and writing packets as text for the handheld's script command.
#include "packet_text.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "protocol/packet.h"

namespace skiff::handheld {

namespace {

struct NamedType {
  const char* name;
  PacketType type;
};

constexpr NamedType kTypes[] = {
    {"Ping", PacketType::Ping},
    {"Pong", PacketType::Pong},
    {"Error", PacketType::Error},
    {"UserAgent", PacketType::UserAgent},
    {"Host", PacketType::Host},
    {"Port", PacketType::Port},
    {"Verb", PacketType::Verb},
    {"Path", PacketType::Path},
    {"Secure", PacketType::Secure},
    {"Headers", PacketType::Headers},
    {"Body", PacketType::Body},
    {"Send", PacketType::Send},
    {"ResponseHeaders", PacketType::ResponseHeaders},
    {"Read", PacketType::Read},
    {"Reply", PacketType::Reply},
    {"Close", PacketType::Close},
    {"LogMessage", PacketType::LogMessage},
};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view NextWord(std::string_view& rest) {
  std::size_t start = 0;
  while (start < rest.size() && (rest[start] == ' ' || rest[start] == '\t')) ++start;
  std::size_t end = start;
  while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
  const std::string_view word = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return word;
}

bool Unescape(std::string_view text, std::vector<std::uint8_t>* out, std::string* error) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(static_cast<std::uint8_t>(text[i]));
      continue;
    }
    if (++i == text.size()) {
      *error = "a text ends in a lone backslash";
      return false;
    }
    switch (text[i]) {
      case 'r':
        out->push_back('\r');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 't':
        out->push_back('\t');
        break;
      case '0':
        out->push_back(0);
        break;
      case '\\':
        out->push_back('\\');
        break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          *error = "\\x needs two hex digits";
          return false;
        }
        out->push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
        break;
      }
      default:
        *error = std::string("unknown escape \\") + text[i];
        return false;
    }
  }
  return true;
}

}  // namespace

const char* PacketTypeName(std::uint16_t type) {
  for (const NamedType& named : kTypes) {
    if (static_cast<std::uint16_t>(named.type) == type) return named.name;
  }
  return nullptr;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t maxValue) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    if (value > (maxValue - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base))
      return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

std::optional<std::uint16_t> ParsePacketType(std::string_view text) {
  for (const NamedType& named : kTypes) {
    if (SameIgnoringCase(text, named.name)) return static_cast<std::uint16_t>(named.type);
  }
  if (const auto number = ParseNumber(text, 0xFFFF)) return static_cast<std::uint16_t>(*number);
  return std::nullopt;
}

ScriptLineResult ParseScriptLine(std::string_view line, WirePacket* packet, std::string* error) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view rest = line;
  const std::string_view typeWord = NextWord(rest);
  if (typeWord.empty() || typeWord[0] == '#') return ScriptLineResult::Skip;
  const auto type = ParsePacketType(typeWord);
  if (!type) {
    *error = "unknown packet type \"" + std::string(typeWord) + "\"";
    return ScriptLineResult::Error;
  }
  const std::string_view sequenceWord = NextWord(rest);
  const auto sequence = ParseNumber(sequenceWord, 0xFFFF);
  if (!sequence) {
    *error = sequenceWord.empty()
                 ? "a sequence number is missing"
                 : "\"" + std::string(sequenceWord) + "\" is no sequence number (0 to 65535)";
    return ScriptLineResult::Error;
  }
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  packet->type = *type;
  packet->sequence = static_cast<std::uint16_t>(*sequence);
  packet->payload.clear();
  if (rest.starts_with("text:")) {
    if (!Unescape(rest.substr(5), &packet->payload, error)) return ScriptLineResult::Error;
  } else if (rest.starts_with("hex:")) {
    rest.remove_prefix(4);
    int high = -1;
    for (char c : rest) {
      if (c == ' ' || c == '\t' || c == ':') continue;
      const int digit = HexDigit(c);
      if (digit < 0) {
        *error = std::string("\"") + c + "\" is no hex digit";
        return ScriptLineResult::Error;
      }
      if (high < 0) {
        high = digit;
      } else {
        packet->payload.push_back(static_cast<std::uint8_t>(high * 16 + digit));
        high = -1;
      }
    }
    if (high >= 0) {
      *error = "the hex payload has an odd number of digits";
      return ScriptLineResult::Error;
    }
  } else if (!rest.empty()) {
    *error = "the payload must start with text: or hex:";
    return ScriptLineResult::Error;
  }
  if (packet->payload.size() > kMaxPayload) {
    *error = "a payload of " + std::to_string(packet->payload.size()) + " bytes is over " +
             std::to_string(kMaxPayload);
    return ScriptLineResult::Error;
  }
  return ScriptLineResult::Packet;
}

std::string FormatPacket(const WirePacket& packet) {
  std::string out;
  const char* name = PacketTypeName(packet.type);
  out += name != nullptr ? name : "type" + std::to_string(packet.type);
  out += " " + std::to_string(packet.sequence) + " len=" + std::to_string(packet.payload.size());
  std::size_t from = 0;
  if (packet.type == static_cast<std::uint16_t>(PacketType::Error) && packet.payload.size() >= 4) {
    const auto code = static_cast<std::uint32_t>(usblink::ReadLeI32(packet.payload.data()));
    out += " code:" + std::to_string(code);
    from = 4;
  }
  if (from == packet.payload.size()) return out;
  std::size_t unprintable = 0;
  for (std::size_t i = from; i < packet.payload.size(); ++i) {
    const std::uint8_t byte = packet.payload[i];
    if (byte < 0x20 && byte != '\r' && byte != '\n' && byte != '\t' &&
        !(byte == 0 && i + 1 == packet.payload.size())) {
      ++unprintable;
    }
  }
  char hex[8];
  if (unprintable * 10 > packet.payload.size() - from) {
    out += " hex:";
    for (std::size_t i = from; i < packet.payload.size(); ++i) {
      std::snprintf(hex, sizeof hex, "%02x", packet.payload[i]);
      out += hex;
    }
    return out;
  }
  out += " text:";
  for (std::size_t i = from; i < packet.payload.size(); ++i) {
    const std::uint8_t byte = packet.payload[i];
    switch (byte) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          std::snprintf(hex, sizeof hex, "\\x%02x", byte);
          out += hex;
        } else {
          out += static_cast<char>(byte);
        }
    }
  }
  return out;
}

}  // namespace skiff::handheld
