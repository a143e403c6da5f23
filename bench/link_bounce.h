// Frames bounced between two processes over a Unix stream socket in the rhythm of a
// fetch, shared by the link's ceiling and the design's floor: the handheld end, the
// frame reader both ends use, and a run that forks the desktop end and times it.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "usb_link/usb_frame.h"

namespace skiff::bench {

// The link's and the protocol's own numbers, under the names these runs use.
constexpr std::size_t kFrameHeader = usblink::kFrameHeaderSize;
constexpr auto kHandheldData = static_cast<std::uint8_t>(usblink::FrameKind::Data);
constexpr auto kDesktopData = static_cast<std::uint8_t>(usblink::FrameKind::DesktopData);
constexpr std::size_t kRequestPacket = kPacketHeaderSize;  // a Read: header only
constexpr std::size_t kChunk = kMaxPayload;

[[noreturn]] inline void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

inline bool SendFrame(int fd, std::uint8_t kind, const std::uint8_t* body, std::size_t length) {
  std::uint8_t header[kFrameHeader] = {kind, 0, static_cast<std::uint8_t>(length & 0xFF),
                                       static_cast<std::uint8_t>(length >> 8)};
  iovec parts[2] = {{header, kFrameHeader}, {const_cast<std::uint8_t*>(body), length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  return ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(kFrameHeader + length);
}

// Reads until one whole frame is in the buffer, with the calls each end of the real link
// makes (poll and a non-blocking recv on the desktop, ppoll and recv on the handheld);
// returns its body length, or -1 at the end. Bytes of a following frame are kept.
struct FrameInput {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(2 * usblink::kMaxFrameSize);
  std::size_t start = 0, end = 0;

  long Next(int fd, bool desktop, const std::uint8_t** body) {
    for (;;) {
      if (end - start >= kFrameHeader) {
        const std::size_t length = buffer[start + 2] | (buffer[start + 3] << 8);
        if (end - start >= kFrameHeader + length) {
          *body = buffer.data() + start + kFrameHeader;
          start += kFrameHeader + length;
          return static_cast<long>(length);
        }
      }
      if (start == end) start = end = 0;
      if (buffer.size() - end < usblink::kMaxFrameSize) {
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

// The handheld end: one request, wait for its reply, as many times as asked.
inline double RunRequests(int fd, std::size_t roundTrips, std::size_t replySize, const char* who) {
  std::uint8_t request[kRequestPacket] = {static_cast<std::uint8_t>(PacketType::Read), 0, 0, 0, 0, 0};
  FrameInput input;
  const std::uint8_t* body = nullptr;
  const auto started = std::chrono::steady_clock::now();
  for (std::size_t trip = 0; trip < roundTrips; ++trip) {
    const auto sequence = static_cast<std::uint16_t>(trip % 30000 + 1);
    request[2] = static_cast<std::uint8_t>(sequence & 0xFF);
    request[3] = static_cast<std::uint8_t>(sequence >> 8);
    if (!SendFrame(fd, kHandheldData, request, sizeof request)) Die("sendmsg (handheld)");
    const long length = input.Next(fd, false, &body);
    if (length != static_cast<long>(replySize) || body[2] != request[2] || body[3] != request[3]) {
      std::fprintf(stderr, "%s: a wrong reply (%ld bytes)\n", who, length);
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

inline double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
  double seconds;
  double desktopCpu;   // user + system of the desktop process
  double handheldCpu;  // of the handheld end (this process) during the round trips
};

// One run: the desktop end is a forked process that serves the connection it accepts
// with serve(fd, replySize); this process is the handheld.
template <typename Serve>
Run OneRun(std::size_t roundTrips, std::size_t replySize, const char* who, Serve serve) {
  const std::string path = "/tmp/" + std::string(who) + "." + std::to_string(::getpid()) + ".sock";
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
    serve(fd, replySize);
    ::_exit(0);
  }
  ::close(listener);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("connect");
  ::unlink(path.c_str());
  rusage before{}, after{}, desktopUsage{};
  ::getrusage(RUSAGE_SELF, &before);
  const double seconds = RunRequests(fd, roundTrips, replySize, who);
  ::getrusage(RUSAGE_SELF, &after);
  ::close(fd);
  int status = 0;
  ::wait4(desktop, &status, 0, &desktopUsage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: the desktop end failed\n", who);
    std::exit(1);
  }
  return {seconds, CpuSeconds(desktopUsage), CpuSeconds(after) - CpuSeconds(before)};
}

// The command line both share, ROUNDS runs, and the median run's line:
//   WHO [BODY_BYTES [REPLY_PACKET_BYTES [ROUNDS]]]
template <typename Serve>
int BounceMain(int argc, char** argv, const char* who, Serve serve) {
  const std::size_t bodyBytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000000;
  const std::size_t replySize = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4006;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  if (replySize < 6 || replySize > 4006 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [BODY_BYTES [REPLY_PACKET_BYTES(6..4006) [ROUNDS]]]\n", who);
    return 1;
  }
  const std::size_t roundTrips = std::max<std::size_t>(1, (bodyBytes + kChunk - 1) / kChunk);
  std::vector<Run> runs;
  for (int round = 0; round < rounds; ++round) runs.push_back(OneRun(roundTrips, replySize, who, serve));
  std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
  const Run& median = runs[runs.size() / 2];
  const double trips = static_cast<double>(roundTrips);
  std::printf(
      "%s body_bytes=%zu reply_packet=%zu round_trips=%zu seconds=%.4f trips_per_s=%.0f "
      "MB_per_s=%.1f us_per_trip=%.1f desktop_cpu_us=%.1f handheld_cpu_us=%.1f\n",
      who, bodyBytes, replySize, roundTrips, median.seconds, trips / median.seconds,
      trips * kChunk / median.seconds / 1e6, median.seconds / trips * 1e6, median.desktopCpu / trips * 1e6,
      median.handheldCpu / trips * 1e6);
  return 0;
}

}  // namespace skiff::bench
