// Termination and interrupt signals turned into bytes on a pipe, so that the front end's
// poll loop handles them on its own thread like any other input.
#pragma once

#include <csignal>
#include <vector>

namespace skiff {

class CSignalPipe {
 public:
  // Installs the handlers for SIGINT, SIGTERM and SIGHUP and ignores SIGPIPE (a reader
  // that went away is an ordinary write error). One instance per process.
  CSignalPipe();
  ~CSignalPipe();  // restores the default handlers
  CSignalPipe(const CSignalPipe&) = delete;
  CSignalPipe& operator=(const CSignalPipe&) = delete;

  int ReadFd() const { return m_readFd; }
  // The signals that arrived since the last call, in order.
  std::vector<int> Drain();

 private:
  int m_readFd = -1;
};

}  // namespace skiff
