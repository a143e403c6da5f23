// A direct libcurl fetch of a URL into a sink that only counts bytes: the yardstick the
// end-to-end figures are compared with.
//
//   direct_fetch URL [ROUNDS]    prints the median of ROUNDS fetches (default 5)
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::size_t Count(char* /*data*/, std::size_t size, std::size_t count, void* total) {
  *static_cast<std::uint64_t*>(total) += size * count;
  return size * count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: direct_fetch URL [ROUNDS]\n");
    return 1;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  std::vector<double> times;
  std::uint64_t bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    CURL* curl = curl_easy_init();
    std::uint64_t total = 0;
    curl_easy_setopt(curl, CURLOPT_URL, argv[1]);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Count);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &total);
    const auto started = std::chrono::steady_clock::now();
    const CURLcode result = curl_easy_perform(curl);
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    curl_easy_cleanup(curl);
    if (result != CURLE_OK) {
      std::fprintf(stderr, "direct_fetch: %s\n", curl_easy_strerror(result));
      return 2;
    }
    bytes = total;
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf("direct_fetch bytes=%llu seconds=%.4f MB_per_s=%.1f\n", static_cast<unsigned long long>(bytes),
              median, static_cast<double>(bytes) / median / 1e6);
  curl_global_cleanup();
  return 0;
}
