// A TCP relay that puts a distance between its clients and one server, for benchmarks on
// a machine without a network emulator: every byte leaves DELAY_MS after it arrived, in
// either direction, and a new connection's first bytes towards the server leave no
// earlier than FIRST_MS after the client connected (the handshake's round trip and a
// half, as on a real path). It counts the connections it has accepted.
//
//   delay_relay SERVER_PORT [DELAY_MS [FIRST_MS [COUNT_FILE]]]     (defaults 10, 30)
//
// Listens on 127.0.0.1 (any free port, printed on standard output) and connects each
// client to 127.0.0.1:SERVER_PORT. After every accepted connection the number so far is
// written to COUNT_FILE. Runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <list>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes on their way in one direction: each piece with the time it may leave; an empty
// piece stands for the sender's end of stream.
struct Direction {
  int from = -1;
  int to = -1;
  std::deque<std::pair<Clock::time_point, std::string>> queue;
  Clock::time_point earliest;  // nothing leaves before this
  bool readEnded = false;
  bool writeEnded = false;
};

struct Pair {
  Direction up;    // client to server
  Direction down;  // server to client
  bool broken = false;
};

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ConnectToServer(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  SetNonBlocking(fd);
  return fd;
}

// Reads what is there; the piece leaves `delay` later, never before an earlier one.
void Take(Direction& d, std::chrono::milliseconds delay, bool& broken) {
  char buffer[65536];
  const ssize_t got = ::recv(d.from, buffer, sizeof buffer, 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got < 0) {
    broken = true;
    return;
  }
  Clock::time_point due = std::max(Clock::now() + delay, d.earliest);
  if (!d.queue.empty()) due = std::max(due, d.queue.back().first);
  d.queue.emplace_back(due, std::string(buffer, static_cast<std::size_t>(got)));
  if (got == 0) d.readEnded = true;
}

// Sends what is due; false when the pair is broken.
void Deliver(Direction& d, bool& broken) {
  const Clock::time_point now = Clock::now();
  while (!d.queue.empty() && d.queue.front().first <= now) {
    std::string& piece = d.queue.front().second;
    if (piece.empty()) {
      ::shutdown(d.to, SHUT_WR);
      d.writeEnded = true;
      d.queue.pop_front();
      continue;
    }
    const ssize_t sent = ::send(d.to, piece.data(), piece.size(), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (sent < 0) {
      broken = true;
      return;
    }
    piece.erase(0, static_cast<std::size_t>(sent));
    if (!piece.empty()) return;
    d.queue.pop_front();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: delay_relay SERVER_PORT [DELAY_MS [FIRST_MS [COUNT_FILE]]]\n");
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int serverPort = std::atoi(argv[1]);
  const std::chrono::milliseconds delay(argc > 2 ? std::atoi(argv[2]) : 10);
  const std::chrono::milliseconds first(argc > 3 ? std::atoi(argv[3]) : 30);
  const std::string countFile = argc > 4 ? argv[4] : "";

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("delay_relay: listen");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  long accepted = 0;
  std::list<Pair> pairs;
  for (;;) {
    // Wait for input, for room where bytes are due, or for the next piece to fall due.
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    Clock::time_point next = Clock::now() + std::chrono::seconds(1);
    for (Pair& pair : pairs) {
      for (Direction* d : {&pair.up, &pair.down}) {
        if (!d->readEnded) fds.push_back({d->from, POLLIN, 0});
        if (!d->queue.empty()) {
          next = std::min(next, d->queue.front().first);
          if (d->queue.front().first <= Clock::now()) fds.push_back({d->to, POLLOUT, 0});
        }
      }
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));

    if ((fds[0].revents & POLLIN) != 0) {
      const int client = ::accept(listener, nullptr, nullptr);
      if (client >= 0) {
        const int server = ConnectToServer(serverPort);
        if (server < 0) {
          ::close(client);
        } else {
          SetNonBlocking(client);
          Pair& pair = pairs.emplace_back();
          pair.up.from = pair.down.to = client;
          pair.up.to = pair.down.from = server;
          pair.up.earliest = Clock::now() + first;
          ++accepted;
          if (!countFile.empty()) std::ofstream(countFile, std::ios::trunc) << accepted << "\n";
        }
      }
    }
    std::vector<int> readable;
    for (std::size_t i = 1; i < fds.size(); ++i)
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && fds[i].events == POLLIN)
        readable.push_back(fds[i].fd);
    for (auto it = pairs.begin(); it != pairs.end();) {
      Pair& pair = *it;
      for (Direction* d : {&pair.up, &pair.down}) {
        if (!d->readEnded && std::find(readable.begin(), readable.end(), d->from) != readable.end())
          Take(*d, delay, pair.broken);
        Deliver(*d, pair.broken);
      }
      const bool finished = pair.up.writeEnded && pair.down.writeEnded;
      if (pair.broken || finished) {
        ::close(pair.up.from);
        ::close(pair.up.to);
        it = pairs.erase(it);
      } else {
        ++it;
      }
    }
  }
}
