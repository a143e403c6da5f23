// The floor of the program's own design: the link's ceiling with the one hand-off
// between threads that the design puts in every round trip and nothing else. The
// desktop's I/O thread reads each request frame and wakes a worker thread through a
// mutex and a condition variable; the worker writes the reply. No HTTP, no dispatcher,
// no device objects: what the program spends beyond this is its own.
//
//   design_floor [BODY_BYTES [REPLY_PACKET_BYTES [ROUNDS]]]    (as link_ceiling)
#include <condition_variable>
#include <mutex>
#include <thread>

#include "link_bounce.h"

namespace {

using namespace skiff::bench;

// The desktop end: an I/O thread and a worker, one request handed over at a time.
void ServeThroughWorker(int fd, std::size_t replySize) {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint8_t pending[2] = {};  // the waiting request's sequence
  bool waiting = false, ended = false;

  std::thread worker([&] {
    std::vector<std::uint8_t> reply(replySize, 0x5A);
    for (;;) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return waiting || ended; });
        if (!waiting) return;
        waiting = false;
        std::memcpy(reply.data() + 2, pending, 2);
      }
      if (!SendFrame(fd, kDesktopData, reply.data(), reply.size())) Die("sendmsg (desktop)");
    }
  });
  FrameInput input;
  const std::uint8_t* body = nullptr;
  while (input.Next(fd, true, &body) >= 0) {
    {
      std::lock_guard lock(mutex);
      std::memcpy(pending, body + 2, 2);
      waiting = true;
    }
    changed.notify_one();
  }
  {
    std::lock_guard lock(mutex);
    ended = true;
  }
  changed.notify_one();
  worker.join();
}

}  // namespace

int main(int argc, char** argv) {
  return BounceMain(argc, argv, "design_floor", ServeThroughWorker);
}
