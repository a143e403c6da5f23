// Frame codec of the USB link: header checks, body checks by kind, the incremental
// reader and the ATTACH body. Everything here must be safe on any bytes a peer sends.
#include "usb_link/usb_frame.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace skiff::usblink {

namespace {

// The archetype of the build's vsnprintf: the Windows build names the one that knows
// %zu (its default archetype is the system's older printf).
#ifndef SKIFF_PRINTF_FORMAT
#define SKIFF_PRINTF_FORMAT printf
#endif

bool Fail(std::string* reason, const char* format, ...) __attribute__((format(SKIFF_PRINTF_FORMAT, 2, 3)));

bool Fail(std::string* reason, const char* format, ...) {
  if (reason != nullptr) {
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format,
                   args);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
    va_end(args);
    *reason = text;
  }
  return false;
}

bool SentTo(Direction direction, std::uint8_t kind) {
  switch (static_cast<FrameKind>(kind)) {
    case FrameKind::Attach:
    case FrameKind::Opened:
    case FrameKind::Refused:
    case FrameKind::Challenge:
    case FrameKind::Wiped:
    case FrameKind::Data:
    case FrameKind::Close:
      return direction == Direction::ToDesktop;
    case FrameKind::Open:
    case FrameKind::Answer:
    case FrameKind::Cancel:
    case FrameKind::DesktopData:
    case FrameKind::DesktopClose:
      return direction == Direction::ToHandheld;
  }
  return false;
}

bool CheckHeader(Direction direction, std::uint8_t kind, std::uint8_t reserved, std::size_t length,
                 std::string* reason) {
  const char* name = FrameKindName(kind);
  if (name == nullptr) return Fail(reason, "unknown frame kind 0x%02X", kind);
  if (!SentTo(direction, kind)) {
    return Fail(reason, "frame kind 0x%02X (%s) is not sent by %s", kind, name,
                direction == Direction::ToDesktop ? "a handheld" : "the desktop");
  }
  if (reserved != 0) return Fail(reason, "%s frame has reserved byte 0x%02X, not 0", name, reserved);
  if (length > kMaxFrameBody)
    return Fail(reason, "%s frame length %zu is over %zu", name, length, kMaxFrameBody);
  return true;
}

bool CheckEmpty(const char* name, std::size_t length, std::string* reason) {
  if (length != 0) return Fail(reason, "%s body must be empty, has %zu bytes", name, length);
  return true;
}

bool CheckBody(FrameKind kind, const std::uint8_t* body, std::size_t length, std::string* reason) {
  switch (kind) {
    case FrameKind::Attach:
      return DecodeAttach(body, length, nullptr, reason);
    case FrameKind::Opened:
      return CheckEmpty("OPENED", length, reason);
    case FrameKind::Wiped:
      return CheckEmpty("WIPED", length, reason);
    case FrameKind::Close:
    case FrameKind::DesktopClose:
      return CheckEmpty("CLOSE", length, reason);
    case FrameKind::Cancel:
      return CheckEmpty("CANCEL", length, reason);
    case FrameKind::Refused:
    case FrameKind::Open:
      return true;  // any text
    case FrameKind::Challenge: {
      if (length != 4) return Fail(reason, "CHALLENGE body must be 4 bytes, has %zu", length);
      const std::int32_t attempts = ReadLeI32(body);
      if (attempts < 1 || attempts > kMaxAttempts) {
        return Fail(reason, "CHALLENGE attempts %d is not from 1 to %d", attempts, kMaxAttempts);
      }
      return true;
    }
    case FrameKind::Answer:
      if (length != kAnswerSize)
        return Fail(reason, "ANSWER body must be %zu bytes, has %zu", kAnswerSize, length);
      return true;
    case FrameKind::Data:
      if (length < 1 || length > kMaxDataBody) {
        return Fail(reason, "DATA body of %zu bytes is not from 1 to %zu", length, kMaxDataBody);
      }
      return true;
    case FrameKind::DesktopData:
      if (length < kMinDesktopDataBody || length > kMaxDataBody) {
        return Fail(reason, "DATA body of %zu bytes is not from %zu to %zu", length, kMinDesktopDataBody,
                    kMaxDataBody);
      }
      return true;
  }
  return Fail(reason, "unknown frame kind");
}

}  // namespace

const char* FrameKindName(std::uint8_t kind) {
  switch (static_cast<FrameKind>(kind)) {
    case FrameKind::Attach:
      return "ATTACH";
    case FrameKind::Opened:
      return "OPENED";
    case FrameKind::Refused:
      return "REFUSED";
    case FrameKind::Challenge:
      return "CHALLENGE";
    case FrameKind::Wiped:
      return "WIPED";
    case FrameKind::Data:
      return "DATA";
    case FrameKind::Close:
      return "CLOSE";
    case FrameKind::Open:
      return "OPEN";
    case FrameKind::Answer:
      return "ANSWER";
    case FrameKind::Cancel:
      return "CANCEL";
    case FrameKind::DesktopData:
      return "DATA";
    case FrameKind::DesktopClose:
      return "CLOSE";
  }
  return nullptr;
}

void EncodeFrameHeader(std::uint8_t header[kFrameHeaderSize], FrameKind kind, std::uint16_t length) {
  header[0] = static_cast<std::uint8_t>(kind);
  header[1] = 0;
  WriteLe16(header + 2, length);
}

bool CheckFrame(Direction direction, std::uint8_t kind, std::uint8_t reserved, const std::uint8_t* body,
                std::size_t length, std::string* reason) {
  return CheckHeader(direction, kind, reserved, length, reason) &&
         CheckBody(static_cast<FrameKind>(kind), body, length, reason);
}

// ---- FrameReader -------------------------------------------------------------------

FrameReader::FrameReader(Direction direction) : m_direction(direction), m_buffer(kCapacity) {}

void FrameReader::Compact() {
  if (m_start == 0) return;
  std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
  m_end -= m_start;
  m_start = 0;
}

std::uint8_t* FrameReader::FreeSpace() {
  // Frames already handed out may be overwritten now: keep at least one frame of room.
  if (kCapacity - m_end < kMaxFrameSize) Compact();
  return m_buffer.data() + m_end;
}

std::size_t FrameReader::FreeSize() const {
  // What FreeSpace() will offer, compaction included.
  return kCapacity - m_end < kMaxFrameSize ? kCapacity - (m_end - m_start) : kCapacity - m_end;
}

void FrameReader::Commit(std::size_t count) {
  // A caller that wrote more than it was offered has a bug; never trust it past the end.
  m_end += count <= kCapacity - m_end ? count : kCapacity - m_end;
}

std::size_t FrameReader::Feed(const std::uint8_t* data, std::size_t count) {
  std::uint8_t* space = FreeSpace();
  const std::size_t room = kCapacity - m_end;
  const std::size_t taken = count < room ? count : room;
  if (taken != 0) std::memcpy(space, data, taken);
  Commit(taken);
  return taken;
}

FrameReader::Result FrameReader::Next(FrameView& frame) {
  if (m_bad) return Result::Bad;
  const std::size_t available = m_end - m_start;
  if (available < kFrameHeaderSize) return Result::NeedMore;
  const std::uint8_t* header = m_buffer.data() + m_start;
  const std::size_t length = ReadLe16(header + 2);
  // The header alone decides a bad kind or length: refuse before waiting for a body.
  if (!CheckHeader(m_direction, header[0], header[1], length, &m_error)) {
    m_bad = true;
    return Result::Bad;
  }
  if (available < kFrameHeaderSize + length) return Result::NeedMore;
  const std::uint8_t* body = header + kFrameHeaderSize;
  if (!CheckBody(static_cast<FrameKind>(header[0]), body, length, &m_error)) {
    m_bad = true;
    return Result::Bad;
  }
  frame.kind = static_cast<FrameKind>(header[0]);
  frame.body = body;
  frame.length = length;
  m_start += kFrameHeaderSize + length;
  if (m_start == m_end) m_start = m_end = 0;
  return Result::Frame;
}

// ---- ATTACH body -------------------------------------------------------------------

DeviceProperty DeviceProperty::MakeInteger(std::string name, std::int32_t value) {
  DeviceProperty property;
  property.name = std::move(name);
  property.type = Type::Integer;
  property.integer = value;
  return property;
}

DeviceProperty DeviceProperty::MakeText(std::string name, std::string value) {
  DeviceProperty property;
  property.name = std::move(name);
  property.type = Type::Text;
  property.text = std::move(value);
  return property;
}

bool DecodeAttach(const std::uint8_t* body, std::size_t length, std::vector<DeviceProperty>* properties,
                  std::string* reason) {
  std::size_t at = 0;
  auto have = [&](std::size_t count) { return length - at >= count; };
  if (!have(2)) return Fail(reason, "ATTACH body of %zu bytes has no property count", length);
  const std::size_t count = ReadLe16(body);
  at = 2;
  if (properties != nullptr) {
    properties->clear();
    // Each property takes at least 7 bytes, so a lying count cannot make this reserve big.
    properties->reserve(count < length / 7 ? count : length / 7);
  }
  for (std::size_t index = 0; index < count; ++index) {
    if (!have(2))
      return Fail(reason, "ATTACH property %zu of %zu: body ends before its name", index + 1, count);
    const std::size_t nameLength = ReadLe16(body + at);
    at += 2;
    if (!have(nameLength + 1)) {
      return Fail(reason, "ATTACH property %zu of %zu: body ends inside its name or type", index + 1, count);
    }
    const char* name = reinterpret_cast<const char*>(body + at);
    at += nameLength;
    const std::uint8_t type = body[at++];
    DeviceProperty property;
    if (type == static_cast<std::uint8_t>(DeviceProperty::Type::Integer)) {
      if (!have(4))
        return Fail(reason, "ATTACH property %zu of %zu: body ends inside its value", index + 1, count);
      property.type = DeviceProperty::Type::Integer;
      property.integer = ReadLeI32(body + at);
      at += 4;
    } else if (type == static_cast<std::uint8_t>(DeviceProperty::Type::Text)) {
      if (!have(2))
        return Fail(reason, "ATTACH property %zu of %zu: body ends inside its value", index + 1, count);
      const std::size_t textLength = ReadLe16(body + at);
      at += 2;
      if (!have(textLength)) {
        return Fail(reason, "ATTACH property %zu of %zu: body ends inside its text", index + 1, count);
      }
      property.type = DeviceProperty::Type::Text;
      if (properties != nullptr) property.text.assign(reinterpret_cast<const char*>(body + at), textLength);
      at += textLength;
    } else {
      return Fail(reason, "ATTACH property %zu of %zu has unknown type %u", index + 1, count, type);
    }
    if (properties != nullptr) {
      property.name.assign(name, nameLength);
      properties->push_back(std::move(property));
    }
  }
  if (at != length)
    return Fail(reason, "ATTACH body has %zu bytes after its %zu properties", length - at, count);
  return true;
}

bool EncodeAttach(const std::vector<DeviceProperty>& properties, std::vector<std::uint8_t>* body,
                  std::string* reason) {
  if (properties.size() > 0xFFFF) return Fail(reason, "too many properties (%zu)", properties.size());
  std::vector<std::uint8_t> out(2);
  WriteLe16(out.data(), static_cast<std::uint16_t>(properties.size()));
  for (const DeviceProperty& property : properties) {
    if (property.name.size() > 0xFFFF)
      return Fail(reason, "property name of %zu bytes is too long", property.name.size());
    std::uint8_t field[4];
    WriteLe16(field, static_cast<std::uint16_t>(property.name.size()));
    out.insert(out.end(), field, field + 2);
    out.insert(out.end(), property.name.begin(), property.name.end());
    out.push_back(static_cast<std::uint8_t>(property.type));
    if (property.type == DeviceProperty::Type::Integer) {
      WriteLeI32(field, property.integer);
      out.insert(out.end(), field, field + 4);
    } else {
      if (property.text.size() > 0xFFFF) {
        return Fail(reason, "text of property %s is too long (%zu bytes)", property.name.c_str(),
                    property.text.size());
      }
      WriteLe16(field, static_cast<std::uint16_t>(property.text.size()));
      out.insert(out.end(), field, field + 2);
      out.insert(out.end(), property.text.begin(), property.text.end());
    }
  }
  if (out.size() > kMaxFrameBody) {
    return Fail(reason, "the properties take %zu bytes, more than a frame's %zu", out.size(), kMaxFrameBody);
  }
  *body = std::move(out);
  return true;
}

}  // namespace skiff::usblink
