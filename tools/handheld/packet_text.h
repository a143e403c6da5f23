// Packets as people read and write them: type names, the script line format
// `TYPE SEQ [text:...|hex:...]`, and a readable form of a reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "handheld_link.h"

namespace skiff::handheld {

// "Ping", "Reply", ... for the known types; null for the others.
const char* PacketTypeName(std::uint16_t type);
// A type by name (any case) or number (decimal or 0x hex, 0 to 65535).
std::optional<std::uint16_t> ParsePacketType(std::string_view text);

// An unsigned number in decimal, or in hex with 0x; nullopt when it is not one or is
// over maxValue.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t maxValue);

// One script line. Blank lines and lines starting with # give an empty result and no
// error. The text form takes C escapes (\r \n \t \0 \\ \xHH).
enum class ScriptLineResult { Packet, Skip, Error };
ScriptLineResult ParseScriptLine(std::string_view line, WirePacket* packet, std::string* error);

// "Reply 7 len=8 text:Success\0": type name (or number), sequence, length, then the
// payload as escaped text when it reads as text, else as hex. Error packets show their
// code first.
std::string FormatPacket(const WirePacket& packet);

}  // namespace skiff::handheld
