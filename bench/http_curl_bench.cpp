// Reading a large body from a loopback server in 4000-byte chunks through HttpClient and
// the libcurl transport, against libcurl's own transfer of the same URL into a sink. Each
// run is a forked child so its peak memory is its own; runs alternate and the median
// counts. Prints the throughputs, their ratio and the peak memory of both.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "core/text.h"
#include "http/http_client.h"
#include "http_curl_server.h"
#include "platform/posix/http_curl/curl_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
  double seconds = 0;
  std::uint64_t bytes = 0;
  long peakKiB = 0;       // the child's VmHWM
  long startKiB = 0;      // its VmRSS before the transfer
  double cpuSeconds = 0;  // user + system time of the child
  int failed = 0;
};

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

size_t Sink(char*, size_t size, size_t count, void* user) {
  *static_cast<std::uint64_t*>(user) += size * count;
  return size * count;
}

RunResult PlainLibcurl(const std::string& url) {
  RunResult result;
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Sink);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &result.bytes);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  auto start = Clock::now();
  result.failed = curl_easy_perform(easy) != CURLE_OK;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  curl_easy_cleanup(easy);
  return result;
}

RunResult ThroughClient(std::uint16_t port, const std::u16string& path) {
  RunResult result;
  const std::unique_ptr<skiff::IHttpTransport> transportOwner = skiff::CreateCurlTransport();
  skiff::IHttpTransport& transport = *transportOwner;
  skiff::HttpClient client(transport);
  auto start = Clock::now();
  client.SetUserAgent(u"bench");
  std::uint32_t code = client.SetHost(u"127.0.0.1");
  code = code ? code : client.SetPort(port);
  code = code ? code : client.SetVerb(u"GET");
  code = code ? code : client.SetPath(path.c_str());
  code = code ? code : client.SetHeaders(u"");
  std::uint32_t status = 0, textBytes = 4000;
  WideChar text[2000];
  code = code ? code : client.QueryStatus(&status, text, &textBytes);
  static std::uint8_t chunk[4000];
  for (std::uint16_t got = 1; code == 0 && got != 0;) {
    code = client.ReadBody(chunk, sizeof chunk, &got);
    result.bytes += got;
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.failed = code != 0 || status != 200;
  client.Reset();
  return result;
}

// Runs one measurement in a child process and reads its result back through a pipe.
template <typename Body>
RunResult InChild(Body body) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    long startKiB = StatusKiB("VmRSS:");
    RunResult result = body();
    result.startKiB = startKiB;
    result.peakKiB = StatusKiB("VmHWM:");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                        usage.ru_stime.tv_usec / 1e6;
    (void)!write(pipeFds[1], &result, sizeof result);
    _exit(0);
  }
  close(pipeFds[1]);
  RunResult result;
  result.failed = read(pipeFds[0], &result, sizeof result) != sizeof result;
  close(pipeFds[0]);
  waitpid(pid, nullptr, 0);
  return result;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000'000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  skiff::bench::GeneratedBodyServer server(size);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/body";

  std::vector<double> plainRates, clientRates, plainCpu, clientCpu;
  long plainPeak = 0, clientPeak = 0, plainGrowth = 0, clientGrowth = 0;
  for (int round = 0; round < rounds; ++round) {
    RunResult plain = InChild([&] { return PlainLibcurl(url); });
    RunResult client = InChild([&] { return ThroughClient(server.Port(), u"/body"); });
    if (plain.failed || client.failed || plain.bytes != size || client.bytes != size) {
      std::fprintf(stderr, "round %d failed: libcurl %llu bytes, client %llu bytes\n", round,
                   static_cast<unsigned long long>(plain.bytes),
                   static_cast<unsigned long long>(client.bytes));
      return 1;
    }
    plainRates.push_back(size / plain.seconds / 1e6);
    clientRates.push_back(size / client.seconds / 1e6);
    plainCpu.push_back(plain.cpuSeconds * 1000);
    clientCpu.push_back(client.cpuSeconds * 1000);
    plainPeak = std::max(plainPeak, plain.peakKiB);
    clientPeak = std::max(clientPeak, client.peakKiB);
    plainGrowth = std::max(plainGrowth, plain.peakKiB - plain.startKiB);
    clientGrowth = std::max(clientGrowth, client.peakKiB - client.startKiB);
    std::printf("round %d: libcurl sink %.0f MB/s, HttpClient+CurlTransport %.0f MB/s\n", round,
                plainRates.back(), clientRates.back());
  }
  const double plainRate = Median(plainRates), clientRate = Median(clientRates);
  std::printf("\nbody: %llu bytes, read in 4000-byte chunks, %d rounds (medians)\n",
              static_cast<unsigned long long>(size), rounds);
  std::printf(
      "| run | throughput | CPU time | peak RSS | growth during the transfer |\n|---|---|---|---|---|\n");
  std::printf("| libcurl into a sink | %.0f MB/s | %.0f ms | %ld KiB | %ld KiB |\n", plainRate,
              Median(plainCpu), plainPeak, plainGrowth);
  std::printf("| HttpClient + CurlTransport | %.0f MB/s | %.0f ms | %ld KiB | %ld KiB |\n", clientRate,
              Median(clientCpu), clientPeak, clientGrowth);
  std::printf("\nratio (client / libcurl): %.2f (goal: at least 0.8)\n", clientRate / plainRate);
  return 0;
}
