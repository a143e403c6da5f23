// Shaping of system message texts for the log: the system ends its texts with a line
// end, which a log line must not carry.
#pragma once

#include <string>

namespace skiff {

// The text without its line end: a final "\n" and then a "\r" before it, when the text
// is longer than one character.
std::string WithoutLineEnd(std::string text);

}  // namespace skiff
