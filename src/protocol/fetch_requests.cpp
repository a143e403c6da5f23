// The fetch requests of the dispatcher: each packet drives the HTTP client by one step
// and is answered with a status, status line, header text, body chunk or error.
#include <string>

#include "http/http_client.h"
#include "http/http_error_text.h"
#include "protocol/dispatcher.h"

namespace skiff {

namespace {

// Buffer length in bytes handed to the status-text and header queries.
constexpr std::uint32_t kQueryBytes = 4000;

// The requests that carry one text for the HTTP client: the payload is decoded from
// UTF-8, handed to the setter, and the setter's result is the status reply.
struct TextSetting {
  PacketType type;
  std::uint32_t (HttpClient::*set)(const WideChar* text);
};

constexpr TextSetting kTextSettings[] = {
    {PacketType::UserAgent, &HttpClient::SetUserAgent}, {PacketType::Host, &HttpClient::SetHost},
    {PacketType::Verb, &HttpClient::SetVerb},           {PacketType::Path, &HttpClient::SetPath},
    {PacketType::Headers, &HttpClient::SetHeaders},
};

}  // namespace

void RequestDispatcher::SendStatusReply(std::uint32_t code, std::uint16_t sequence) {
  if (IsFailure(code)) {
    SendErrorReply(code, sequence);
  } else {
    SendTextReply(PacketType::Reply, sequence, u"Success");
  }
}

void RequestDispatcher::SendErrorReply(std::uint32_t code, std::uint16_t sequence) {
  if (!IsFailure(code)) {
    m_reply.SetType(PacketType::Reply);
    m_reply.SetSequence(sequence);
    m_reply.SetLength(0);
    SendPacket(m_reply, true);
    return;
  }
  const WideChar* text = HttpErrorText(code);
  SendValueTextReply(PacketType::Error, sequence, code, text);
  // Only reached when the write succeeded: a failed write leaves by ComError first.
  m_host.Log("Sending error:");
  m_host.Log(std::to_string(code));
  LogWideLine(text != nullptr ? text : u"");
}

void RequestDispatcher::DispatchFetch(const Packet& packet, std::size_t payloadBytes) {
  const std::uint16_t s = packet.Sequence();
  const std::uint8_t* payload = packet.Payload();
  const auto type = static_cast<PacketType>(packet.Type());
  for (const TextSetting& setting : kTextSettings) {
    if (setting.type != type) continue;
    Utf8ToWide(m_text, kTextUnits, payload, payloadBytes);
    SendStatusReply((m_http.*setting.set)(m_text), s);
    return;
  }
  switch (type) {
    case PacketType::Port:
      // A port needs both its bytes; a shorter packet is refused and nothing is stored.
      if (payloadBytes < 2) {
        SendErrorReply(kErrorInvalidParameter, s);
      } else {
        SendStatusReply(m_http.SetPort(static_cast<std::uint16_t>(payload[0] | (payload[1] << 8))), s);
      }
      break;
    case PacketType::Secure:
      if (payloadBytes < 1) {
        SendErrorReply(kErrorInvalidParameter, s);
      } else {
        SendStatusReply(m_http.SetSecure(payload[0] != 0), s);
      }
      break;
    case PacketType::Body:
      SendStatusReply(m_http.SetBody(payload, static_cast<std::uint32_t>(payloadBytes)), s);
      break;
    case PacketType::Send: {
      std::uint32_t status = 0;
      std::uint32_t textBytes = kQueryBytes;
      std::uint32_t code = m_http.QueryStatus(&status, m_text, &textBytes);
      if (IsFailure(code)) {
        SendErrorReply(code, s);
        break;
      }
      m_text[kTextUnits - 1] = 0;  // whatever the platform wrote, the text ends in the buffer
      SendValueTextReply(PacketType::Reply, s, status, m_text);
      break;
    }
    case PacketType::ResponseHeaders: {
      std::uint32_t textBytes = kQueryBytes;
      std::uint32_t code = m_http.QueryRawHeaders(m_text, &textBytes, kQueryBytes);
      if (IsFailure(code)) {
        SendErrorReply(code, s);
        break;
      }
      m_text[kTextUnits - 1] = 0;
      SendTextReply(PacketType::Reply, s, m_text);
      break;
    }
    case PacketType::Read: {
      std::uint16_t count = 0;
      std::uint32_t code = m_http.ReadBody(m_reply.Payload(), kMaxPayload, &count);
      if (IsFailure(code)) {
        SendErrorReply(code, s);
        break;
      }
      m_reply.SetType(PacketType::Reply);
      m_reply.SetSequence(s);
      m_reply.SetLength(count);
      SendPacket(m_reply, true);
      break;
    }
    case PacketType::Close:
      m_http.Reset();
      SendErrorReply(0, s);
      break;
    default:
      break;
  }
}

}  // namespace skiff
