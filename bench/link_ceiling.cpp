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
// Prints the median of ROUNDS runs (default 5): round trips per second and body MB/s.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kHeader = 4;
constexpr std::uint8_t kHandheldData = 0x10;
constexpr std::uint8_t kDesktopData = 0x90;
constexpr std::size_t kRequestPacket = 6;  // a Read: header only
constexpr std::size_t kChunk = 4000;

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

bool SendFrame(int fd, std::uint8_t kind, const std::uint8_t* body, std::size_t length) {
  std::uint8_t header[kHeader] = {kind, 0, static_cast<std::uint8_t>(length & 0xFF),
                                  static_cast<std::uint8_t>(length >> 8)};
  iovec parts[2] = {{header, kHeader}, {const_cast<std::uint8_t*>(body), length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  return ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(kHeader + length);
}

// Reads until one whole frame is in buffer; returns its body length, or -1 at the end.
// Bytes of a following frame are kept (pending) for the next call.
struct FrameInput {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(2 * 8196);
  std::size_t start = 0, end = 0;

  long Next(int fd, bool desktop, const std::uint8_t** body) {
    for (;;) {
      if (end - start >= kHeader) {
        const std::size_t length = buffer[start + 2] | (buffer[start + 3] << 8);
        if (end - start >= kHeader + length) {
          *body = buffer.data() + start + kHeader;
          start += kHeader + length;
          return static_cast<long>(length);
        }
      }
      if (start == end) start = end = 0;
      if (buffer.size() - end < 8196) {
        std::memmove(buffer.data(), buffer.data() + start, end - start);
        end -= start;
        start = 0;
      }
      pollfd wait{fd, POLLIN, 0};
      const int ready = desktop ? ::poll(&wait, 1, -1) : ::ppoll(&wait, 1, nullptr, nullptr);
      if (ready < 0) Die("poll");
      const ssize_t got = ::recv(fd, buffer.data() + end, buffer.size() - end, desktop ? MSG_DONTWAIT : 0);
      if (got == 0) return -1;
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        Die("recv");
      }
      end += static_cast<std::size_t>(got);
    }
  }
};

// The desktop end: answers every request frame with one reply frame.
void ServeReplies(int fd, std::size_t replySize) {
  std::vector<std::uint8_t> reply(replySize, 0x5A);
  FrameInput input;
  const std::uint8_t* body = nullptr;
  while (input.Next(fd, true, &body) >= 0) {
    std::memcpy(reply.data() + 2, body + 2, 2);  // the request's sequence
    if (!SendFrame(fd, kDesktopData, reply.data(), reply.size())) Die("sendmsg (desktop)");
  }
}

// The handheld end: one request, wait for its reply, as many times as asked.
double RunRequests(int fd, std::size_t roundTrips, std::size_t replySize) {
  std::uint8_t request[kRequestPacket] = {14, 0, 0, 0, 0, 0};
  FrameInput input;
  const std::uint8_t* body = nullptr;
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t trip = 0; trip < roundTrips; ++trip) {
    const std::uint16_t sequence = static_cast<std::uint16_t>(trip % 30000 + 1);
    request[2] = static_cast<std::uint8_t>(sequence & 0xFF);
    request[3] = static_cast<std::uint8_t>(sequence >> 8);
    if (!SendFrame(fd, kHandheldData, request, sizeof request)) Die("sendmsg (handheld)");
    const long length = input.Next(fd, false, &body);
    if (length != static_cast<long>(replySize) || body[2] != request[2] || body[3] != request[3]) {
      std::fprintf(stderr, "link_ceiling: a wrong reply (%ld bytes)\n", length);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

double OneRun(std::size_t roundTrips, std::size_t replySize) {
  const std::string path = "/tmp/link_ceiling." + std::to_string(::getpid()) + ".sock";
  ::unlink(path.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0)
    Die("listen");
  const pid_t desktop = ::fork();
  if (desktop < 0) Die("fork");
  if (desktop == 0) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) Die("accept");
    ServeReplies(fd, replySize);
    ::_exit(0);
  }
  ::close(listener);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("connect");
  ::unlink(path.c_str());
  const double seconds = RunRequests(fd, roundTrips, replySize);
  ::close(fd);
  int status = 0;
  ::waitpid(desktop, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "link_ceiling: the desktop end failed\n");
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t bodyBytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000;
  const std::size_t replySize = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4006;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  if (replySize < 6 || replySize > 4006 || rounds < 1) {
    std::fprintf(stderr, "usage: link_ceiling [BODY_BYTES [REPLY_PACKET_BYTES(6..4006) [ROUNDS]]]\n");
    return 1;
  }
  const std::size_t roundTrips = std::max<std::size_t>(1, (bodyBytes + kChunk - 1) / kChunk);
  std::vector<double> times;
  for (int round = 0; round < rounds; ++round) times.push_back(OneRun(roundTrips, replySize));
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf(
      "link_ceiling body_bytes=%zu reply_packet=%zu round_trips=%zu seconds=%.4f trips_per_s=%.0f "
      "MB_per_s=%.1f\n",
      bodyBytes, replySize, roundTrips, median, static_cast<double>(roundTrips) / median,
      static_cast<double>(roundTrips) * kChunk / median / 1e6);
  return 0;
}
