// The front end's poll loop as others see it: a place to watch more descriptors (the
// control socket, its connections) on the front end's thread.
#pragma once

#include <functional>

namespace skiff {

class IPollSources {
 public:
  virtual ~IPollSources() = default;
  // Calls onReadable on the loop's thread whenever fd is readable or hung up. Both may
  // be called from inside a callback.
  virtual void AddSource(int fd, std::function<void()> onReadable) = 0;
  virtual void RemoveSource(int fd) = 0;
};

}  // namespace skiff
