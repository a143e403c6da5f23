// Reading a body through the libcurl transport allocates nothing per read: the heap
// allocations of the program and of libcurl (hooked with curl_global_init_mem, which must
// come before any other libcurl call, hence a binary of its own) are counted while a body
// from http_peers.py is read in 4000-byte chunks.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "integration/transport_contract/transport_under_test.h"
#include "platform/posix/http_curl/curl_transport.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_libcurlAllocations{0};
std::atomic<long> g_programAllocations{0};

void Count(std::atomic<long>& counter = g_libcurlAllocations) {
  if (g_counting.load(std::memory_order_relaxed)) counter.fetch_add(1, std::memory_order_relaxed);
}

// libcurl's allocator is hooked before anything else in the process touches libcurl.
class HookLibcurl : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(curl_global_init_mem(
                  CURL_GLOBAL_DEFAULT, [](size_t size) { return Count(), std::malloc(size); },
                  [](void* pointer) { std::free(pointer); },
                  [](void* pointer, size_t size) { return Count(), std::realloc(pointer, size); },
                  [](const char* text) { return Count(), strdup(text); },
                  [](size_t count, size_t size) { return Count(), std::calloc(count, size); }),
              CURLE_OK);
  }
};
const auto* const g_hook = ::testing::AddGlobalTestEnvironment(new HookLibcurl);

}  // namespace

// The program's own allocations, counted the same way. (The replacements pair malloc
// with free on purpose.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  Count(g_programAllocations);
  if (void* pointer = std::malloc(size != 0 ? size : 1)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  std::free(pointer);
}

namespace skiff {
namespace {

TEST(CurlAllocations, ReadingTheBodyAllocatesNothingPerChunk) {
  constexpr std::uint64_t kSize = 8'000'000;
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport();
  HttpClient client(*transport);
  for (std::uint32_t step :
       {client.SetHost(u"127.0.0.1"), client.SetPort(test::Peers::Http()), client.SetVerb(u"GET"),
        client.SetPath(u"/huge?8000000"), client.SetHeaders(u"")})
    ASSERT_EQ(step, 0u);
  std::uint32_t status = 0, textBytes = 4000;
  WideChar text[2000];
  ASSERT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);

  static std::uint8_t chunk[4000];
  std::uint64_t total = 0;
  std::uint16_t got = 0;
  ASSERT_EQ(client.ReadBody(chunk, sizeof chunk, &got), 0u);  // the first read may set things up
  total += got;
  long reads = 0;
  g_counting = true;
  do {
    if (client.ReadBody(chunk, sizeof chunk, &got) != 0) break;
    total += got;
    ++reads;
  } while (got != 0);
  g_counting = false;
  EXPECT_EQ(total, kSize);
  EXPECT_GT(reads, 1900);
  EXPECT_EQ(g_programAllocations.load(), 0) << "the transport and the client allocate nothing per read";
  // libcurl sets up its socket bookkeeping again whenever a paused transfer resumes, a
  // few small allocations each time the transport's buffer has been emptied.
  EXPECT_LT(g_libcurlAllocations.load() * 8, reads)
      << g_libcurlAllocations.load() << " allocations by libcurl in " << reads << " reads";
  client.Reset();
}

}  // namespace
}  // namespace skiff
