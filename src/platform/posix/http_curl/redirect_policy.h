// The next hop of a redirect on POSIX: the target resolved with libcurl's URL parser,
// then the Windows stack's rules; on its own so that it is tested without a server.
#pragma once

#include "http/redirect_rules.h"

namespace skiff {

RedirectTo NextRedirect(const RedirectFrom& from);

}  // namespace skiff
