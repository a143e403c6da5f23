// The request dispatcher: answers one received packet completely (resend rule against
// the last 10 replies, Ping/Pong/LogMessage, the fetch requests), writing every reply to
// the open channel before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compat/com.h"
#include "protocol/packet.h"

struct IDevMgrChannel;

namespace skiff {

class HttpClient;

// What the dispatcher needs from its owner (the device worker): the one-part log line and
// the channel that is open now (null when none).
class IDispatchHost {
 public:
  virtual void Log(const std::string& text) = 0;
  virtual IDevMgrChannel* Channel() = 0;

 protected:
  ~IDispatchHost() = default;
};

class RequestDispatcher {
 public:
  static constexpr int kHistorySlots = 10;
  static constexpr std::size_t kTextUnits = 4000;

  RequestDispatcher(IDispatchHost& host, HttpClient& http);

  // Handles one packet of which receivedBytes bytes arrived. Raises ComError when the
  // reply cannot be written (E_POINTER when no channel is open).
  void Dispatch(const Packet& packet, std::size_t receivedBytes);

  // A new client conversation: lastReplySequence and historyPosition go back to 0; the
  // history slots keep what they hold.
  void BeginConversation();

  // Reply operations, also used by the fetch cases.
  void SendPacket(const Packet& packet, bool remember);
  void SendTextReply(PacketType type, std::uint16_t sequence, const WideChar* text);
  void SendValueTextReply(PacketType type, std::uint16_t sequence, std::uint32_t value, const WideChar* text);
  void SendStatusReply(std::uint32_t code, std::uint16_t sequence);
  void SendErrorReply(std::uint32_t code, std::uint16_t sequence);

  void LogWideLine(const WideChar* text);
  void TracePacket(const Packet& packet, std::size_t payloadBytes);

  // State, readable for tests.
  std::int32_t LastReplySequence() const { return lastReplySequence; }
  std::int32_t HistoryPosition() const { return historyPosition; }
  const Packet& HistorySlot(int index) const { return ReplyHistory[index]; }

 private:
  // The fetch requests (types 4 to 14 and 16), kept apart in fetch_requests.cpp.
  void DispatchFetch(const Packet& packet, std::size_t payloadBytes);

  IDispatchHost& m_host;
  HttpClient& m_http;
  std::int32_t lastReplySequence = 0;
  std::int32_t historyPosition = 0;
  Packet ReplyHistory[kHistorySlots] = {};
  // Scratch storage of one Dispatch call, kept here so that nothing is allocated per packet.
  WideChar m_text[kTextUnits] = {};
  Packet m_reply = {};
};

// A fetch step's result code: 0 is success, anything else a Windows, WinHTTP or own code.
inline bool IsFailure(std::uint32_t code) {
  return code != 0;
}

// Decodes exactly byteCount bytes of UTF-8 into at most capacity units with a terminator
// kept inside the buffer. Returns the units written including the terminator, or 0 (and
// an empty destination) for an empty source or a text that does not fit.
std::size_t Utf8ToWide(WideChar* destination, std::size_t capacity, const std::uint8_t* source,
                       std::size_t byteCount);

}  // namespace skiff
