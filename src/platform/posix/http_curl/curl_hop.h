// Setting up one hop of a request on its easy handle: where it goes (URL, request target
// and proxy), the transfer's options and callbacks, the method, and the header lines.
// A request's first hop and each redirect's are set up the same way.
#pragma once

#include <cstdint>

#include "platform/posix/http_curl/curl_request.h"

namespace skiff {

// The options every hop of the request shares: the transfer's settings, the callbacks,
// the pool's caches and the request's own cookie store. Once, before the first hop.
void SetUpEasyHandle(CurlRequest& r);

// Sets up the hop that r.url, r.hopVerb, r.hopBody and r.hopSecure describe and puts it
// into the pool. Returns 0, or the failure's code with the request failed.
std::uint32_t StartHop(CurlRequest& r);

}  // namespace skiff
