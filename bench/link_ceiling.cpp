// The ceiling of the USB link: two processes that do nothing but bounce frames over a
// Unix stream socket in the rhythm of a fetch (a small DATA request from the handheld,
// a 4006-byte DATA reply from the desktop), with the same calls each end of the real
// link makes per frame (poll + recv on the desktop, ppoll + recv on the handheld, one
// sendmsg per frame). Whatever the program reaches is measured against this.
//
//   link_ceiling [BODY_BYTES [REPLY_PACKET_BYTES [ROUNDS]]]
//
// BODY_BYTES (default 100000000) is carried as 4000-byte chunks, one per round trip;
// REPLY_PACKET_BYTES (default 4006) sets the reply packet's size (e.g. 24 for a Pong).
// Prints the median of ROUNDS runs (default 5): round trips per second, body MB/s, time
// per round trip and the CPU time each end spends per round trip.
#include "link_bounce.h"

namespace {

using namespace skiff::bench;

// The desktop end: one thread answers every request frame with one reply frame.
void ServeReplies(int fd, std::size_t replySize) {
  std::vector<std::uint8_t> reply(replySize, 0x5A);
  FrameInput input;
  const std::uint8_t* body = nullptr;
  while (input.Next(fd, true, &body) >= 0) {
    std::memcpy(reply.data() + 2, body + 2, 2);  // the request's sequence
    if (!SendFrame(fd, kDesktopData, reply.data(), reply.size())) Die("sendmsg (desktop)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  return BounceMain(argc, argv, "link_ceiling", ServeReplies);
}
