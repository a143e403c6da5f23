// The handheld tool's usage texts: the general one and each command's own.
#pragma once

#include <string>

namespace skiff::handheld {

// The general usage.
const char* GeneralUsage();
// A command's own usage; null when there is no such command.
const char* CommandUsage(const std::string& command);

}  // namespace skiff::handheld
