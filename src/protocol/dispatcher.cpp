// The request dispatcher: the resend rule against the last 10 replies, the packets it
// answers itself (Ping, Pong, LogMessage, invalid types), the reply builders and the
// channel write. The fetch requests live in fetch_requests.cpp.
#include "protocol/dispatcher.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/text.h"
#include "device/api/com_error.h"
#include "device/api/devmgr.h"
#include "http/http_client.h"

namespace skiff {

namespace {

constexpr WideChar kPongPrefix[] = u"Pong: ";
constexpr std::size_t kPongPrefixUnits = 6;
constexpr WideChar kSuccess[] = u"Success";
constexpr std::size_t kValueBytes = 4;

// Units of a zero-terminated text, looking at no more than `limit` units. A text with no
// terminator within the limit reports the limit.
std::size_t BoundedLength(const WideChar* text, std::size_t limit) {
  std::size_t units = 0;
  while (units < limit && text[units] != 0) ++units;
  return units;
}

// UTF-8 of a text and its terminator into at most capacity bytes; 0 when it does not
// fit. A UTF-8 form is never shorter than its text in units, so a text without a
// terminator among the first `capacity` units cannot fit and is not read further.
std::size_t EncodeReplyText(std::uint8_t* destination, std::size_t capacity, const WideChar* text) {
  if (text == nullptr) return 0;
  std::size_t units = BoundedLength(text, capacity);
  if (units == capacity) return 0;
  return Utf16ToUtf8(reinterpret_cast<char*>(destination), capacity, text, units + 1);
}

void PutValue(std::uint8_t* at, std::uint32_t value) {
  for (std::size_t i = 0; i < kValueBytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::size_t Utf8ToWide(WideChar* destination, std::size_t capacity, const std::uint8_t* source,
                       std::size_t byteCount) {
  if (capacity == 0) return 0;
  std::size_t units =
      byteCount == 0 ? 0
                     : Utf8ToUtf16(destination, capacity, reinterpret_cast<const char*>(source), byteCount);
  if (units != 0 && destination[units - 1] != 0) {
    // The terminator must stay inside the buffer: a text that fills it completely
    // counts as too long, like one that needs more units than there are.
    if (units == capacity) {
      units = 0;
    } else {
      destination[units++] = 0;
    }
  }
  if (units == 0) destination[0] = 0;
  return units;
}

RequestDispatcher::RequestDispatcher(IDispatchHost& host, HttpClient& http) : m_host(host), m_http(http) {}

void RequestDispatcher::BeginConversation() {
  lastReplySequence = 0;
  historyPosition = 0;
}

void RequestDispatcher::Dispatch(const Packet& packet, std::size_t receivedBytes) {
  if (receivedBytes < kPacketHeaderSize) {
    m_host.Log("Packet too short to be read: " + std::to_string(receivedBytes) + " bytes received");
    return;
  }
  // Only bytes that actually arrived are looked at: a length beyond them (or beyond the
  // payload area) is cut to what is there, and the log says so.
  std::size_t payloadBytes = std::min(receivedBytes, kPacketSize) - kPacketHeaderSize;
  if (packet.Length() < payloadBytes) {
    payloadBytes = packet.Length();
  } else if (packet.Length() > payloadBytes) {
    m_host.Log("Packet length " + std::to_string(packet.Length()) + " exceeds the " +
               std::to_string(payloadBytes) + " payload bytes received; using those");
  }

  const std::uint16_t s = packet.Sequence();
  const std::int32_t last = lastReplySequence;
  // The handheld resends a request when it lost our reply; a number at or below the last
  // reply (or far ahead of it) is answered from the history when a slot holds it. After
  // a last reply of exactly 30000 every lower number is let through as new; the
  // handheld's numbering relies on that.
  const bool isNew = (last < s && s <= last + 10) || (last == 30000 && s <= last + 10);
  if (!isNew) {
    for (const Packet& slot : ReplyHistory) {
      if (slot.Sequence() == s) {
        LogWideLine(u"Resending packet");
        SendPacket(slot, false);
        return;
      }
    }
  }

  m_text[0] = 0;
  m_reply.SetSequence(s);
  switch (packet.Type()) {
    case static_cast<std::uint16_t>(PacketType::Ping):
      std::memcpy(m_text, kPongPrefix, sizeof(kPongPrefix));
      Utf8ToWide(m_text + kPongPrefixUnits, kTextUnits - kPongPrefixUnits, packet.Payload(), payloadBytes);
      SendTextReply(PacketType::Pong, s, m_text);
      break;
    case static_cast<std::uint16_t>(PacketType::Pong):
      m_host.Log("Got ping response");
      break;
    case static_cast<std::uint16_t>(PacketType::LogMessage):
      Utf8ToWide(m_text, kTextUnits, packet.Payload(), payloadBytes);
      LogWideLine(m_text);
      SendTextReply(PacketType::Reply, s, kSuccess);
      break;
    case static_cast<std::uint16_t>(PacketType::UserAgent):
    case static_cast<std::uint16_t>(PacketType::Host):
    case static_cast<std::uint16_t>(PacketType::Port):
    case static_cast<std::uint16_t>(PacketType::Verb):
    case static_cast<std::uint16_t>(PacketType::Path):
    case static_cast<std::uint16_t>(PacketType::Secure):
    case static_cast<std::uint16_t>(PacketType::Headers):
    case static_cast<std::uint16_t>(PacketType::Body):
    case static_cast<std::uint16_t>(PacketType::Send):
    case static_cast<std::uint16_t>(PacketType::ResponseHeaders):
    case static_cast<std::uint16_t>(PacketType::Read):
    case static_cast<std::uint16_t>(PacketType::Close):
      DispatchFetch(packet, payloadBytes);
      break;
    default:
      m_host.Log("Invalid packet type received: ");
      TracePacket(packet, payloadBytes);
      break;
  }
}

void RequestDispatcher::SendPacket(const Packet& packet, bool remember) {
  if (remember) {
    // Remembered before the write, so a reply whose write fails can still be resent.
    std::memcpy(&ReplyHistory[historyPosition], &packet, sizeof(Packet));
    historyPosition = (historyPosition + 1) % kHistorySlots;
    lastReplySequence = packet.Sequence();
  }
  IDevMgrChannel* channel = m_host.Channel();
  ThrowIfNull(channel);
  const std::size_t size = std::min(packet.WireSize(), kPacketSize);
  ThrowIfFailed(channel->WriteData(packet.bytes, static_cast<ULONG>(size)), channel, IID_IDevMgrChannel);
}

void RequestDispatcher::SendTextReply(PacketType type, std::uint16_t sequence, const WideChar* text) {
  m_reply.SetType(type);
  m_reply.SetSequence(sequence);
  m_reply.SetLength(static_cast<std::uint16_t>(EncodeReplyText(m_reply.Payload(), kMaxPayload, text)));
  SendPacket(m_reply, true);
}

void RequestDispatcher::SendValueTextReply(PacketType type, std::uint16_t sequence, std::uint32_t value,
                                           const WideChar* text) {
  m_reply.SetType(type);
  m_reply.SetSequence(sequence);
  PutValue(m_reply.Payload(), value);
  std::size_t textBytes = EncodeReplyText(m_reply.Payload() + kValueBytes, kMaxPayload - kValueBytes, text);
  m_reply.SetLength(static_cast<std::uint16_t>(kValueBytes + textBytes));
  SendPacket(m_reply, true);
}

void RequestDispatcher::LogWideLine(const WideChar* text) {
  if (text == nullptr) text = u"";
  m_host.Log(WideToAnsiString(std::u16string_view(text, WideLength(text))));
}

void RequestDispatcher::TracePacket(const Packet& packet, std::size_t payloadBytes) {
  const std::uint8_t* payload = packet.Payload();
  const std::size_t limit = std::min({static_cast<std::size_t>(packet.Length()), payloadBytes, kMaxPayload});
  std::size_t shown = 0;
  while (shown < limit && payload[shown] != 0) ++shown;
  std::string trace = "Type: " + std::to_string(packet.Type()) +
                      "\r\nSize: " + std::to_string(packet.Length()) + "\r\nData: ";
  trace.append(reinterpret_cast<const char*>(payload), shown);
  trace += "\r\n";
  m_host.Log(trace);
}

}  // namespace skiff
