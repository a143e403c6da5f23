// The simulated handheld's own link and fetch code, timed from the handheld's side once
// the desktop has opened the channel (attach and open are not counted):
//
//   handheld_bench fetch URL [COUNT]   COUNT fetches over one attach (default 1); the
//                                      body of bench_http_server's /bytes/N is checked
//                                      byte for byte as it arrives, nothing is stored
//   handheld_bench ping COUNT          COUNT Ping round trips
//
// The socket is $SKIFFHOUSE_USB_SOCKET (or the program's default). One line per run:
// `fetch n=1 bytes=... seconds=... MB_per_s=... cpu_seconds=...` (this process's CPU
// time during the fetch; with $SKIFF_BENCH_DESKTOP_PID also desktop_cpu_seconds=..., that
// process's) or `ping n=... seconds=... per_s=...`.
// Exit status 0 only when every fetch succeeded and every byte was right.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "fetch.h"
#include "handheld_link.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "progress.h"

namespace {

using namespace skiff::handheld;

// Counts the body and compares it with bench_http_server's pattern (byte i is i % 251).
// The fetch writes into it through a stdio stream of its own, the way the tool writes a
// file, but without a disk's cost in every round trip.
class CheckingSink {
 public:
  std::uint64_t Count() const { return m_count; }
  bool Good() const { return m_good; }
  void Reset() {
    m_count = 0;
    m_good = true;
  }
  // A stream whose writes come here; buffered as the tool's file would be.
  std::FILE* OpenStream() {
    cookie_io_functions_t functions{};
    functions.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
      static_cast<CheckingSink*>(cookie)->Take(reinterpret_cast<const std::uint8_t*>(data), size);
      return static_cast<ssize_t>(size);
    };
    return ::fopencookie(this, "w", functions);
  }

 private:
  void Take(const std::uint8_t* data, std::size_t size) {
    // The expected bytes from any offset are one slice of a prepared copy of the pattern.
    static const std::vector<std::uint8_t> pattern = [] {
      std::vector<std::uint8_t> bytes(251 + 65536);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
      return bytes;
    }();
    for (std::size_t done = 0; done < size;) {
      const std::size_t piece = std::min<std::size_t>(65536, size - done);
      if (std::memcmp(data + done, pattern.data() + (m_count % 251), piece) != 0) m_good = false;
      m_count += piece;
      done += piece;
    }
  }

  std::uint64_t m_count = 0;
  bool m_good = true;
};

// Seconds every thread of process pid has run so far (its scheduler's own count).
double ProcessCpuSeconds(const std::string& pid) {
  std::uint64_t nanoseconds = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    std::uint64_t ran = 0;
    if (stat >> ran) nanoseconds += ran;
  }
  return static_cast<double>(nanoseconds) / 1e9;
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Usage() {
  std::cerr << "usage: handheld_bench fetch URL [COUNT] | handheld_bench ping COUNT\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  HandheldConfig config;
  config.socketPath = skiff::DefaultUsbSocketPath();
  config.properties.push_back(skiff::usblink::DeviceProperty::MakeInteger("BBPIN", 0x2A0F1E3C));
  config.openTimeoutMs = 30000;
  HandheldLink link(config, std::cerr);
  std::string error;
  if (!link.Attach(&error)) {
    std::cerr << "handheld_bench: " << error << "\n";
    return 2;
  }
  if (link.WaitForOpen() != Outcome::Ok) {
    std::cerr << "handheld_bench: the desktop did not open the channel\n";
    return 2;
  }
  SequenceCounter sequences;
  int status = 0;
  if (command == "fetch") {
    FetchOptions options;
    options.url = argv[2];
    const int count = argc > 3 ? std::atoi(argv[3]) : 1;
    FetchPlan plan;
    if (!PrepareFetch(options, &plan, &error)) {
      std::cerr << "handheld_bench: " << error << "\n";
      return 1;
    }
    // The desktop's process, when named: its CPU time is read around each fetch too.
    const char* desktopPidText = std::getenv("SKIFF_BENCH_DESKTOP_PID");
    const std::string desktopPid = desktopPidText != nullptr ? desktopPidText : "";
    CheckingSink sink;
    std::FILE* checked = sink.OpenStream();
    if (checked == nullptr) {
      std::perror("handheld_bench: fopencookie");
      return 1;
    }
    ProgressLine progress(std::cerr, false);
    MessageStream messages(std::cerr, progress);
    for (int run = 1; run <= count && status == 0; ++run) {
      sink.Reset();
      BodyOutput output(checked);
      const double desktopBefore = desktopPid.empty() ? 0 : ProcessCpuSeconds(desktopPid);
      const double cpuBefore = CpuSeconds();
      const auto started = std::chrono::steady_clock::now();
      status = RunFetch(link, sequences, plan, options, output, progress, messages);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      const double cpu = CpuSeconds() - cpuBefore;
      const double desktopCpu = desktopPid.empty() ? 0 : ProcessCpuSeconds(desktopPid) - desktopBefore;
      if (status == 0 && !sink.Good()) {
        std::cerr << "handheld_bench: fetch " << run << ": the body differs from the server's\n";
        status = 1;
      }
      std::printf("fetch n=%d bytes=%llu seconds=%.4f MB_per_s=%.1f cpu_seconds=%.4f", run,
                  static_cast<unsigned long long>(sink.Count()), seconds,
                  static_cast<double>(sink.Count()) / seconds / 1e6, cpu);
      if (!desktopPid.empty()) std::printf(" desktop_cpu_seconds=%.4f", desktopCpu);
      std::printf(" status=%d\n", status);
    }
    std::fclose(checked);
  } else if (command == "ping") {
    const long count = std::atol(argv[2]);
    WirePacket request, reply;
    request.type = 1;
    const std::string text = "ping";
    request.payload.assign(text.begin(), text.end());
    const auto started = std::chrono::steady_clock::now();
    for (long i = 0; i < count && status == 0; ++i) {
      request.sequence = sequences.Next();
      if (link.Request(request, &reply) != Outcome::Ok || reply.type != 2) {
        std::cerr << "handheld_bench: ping " << i + 1 << " failed\n";
        status = 2;
      }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("ping n=%ld seconds=%.4f per_s=%.0f status=%d\n", count, seconds,
                static_cast<double>(count) / seconds, status);
  } else {
    return Usage();
  }
  link.Detach();
  return status;
}
