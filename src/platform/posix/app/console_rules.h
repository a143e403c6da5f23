// The console's text rules: which answers a yes/no question takes as yes, and text from
// the handheld made safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace skiff {

// True for the answers a yes/no question takes as yes ("y", "yes", any case, blanks
// around them ignored); everything else, the empty answer included, is no.
bool IsYesAnswer(std::string_view answer);

// Text from the handheld is shown safely: every control character other than CR, LF and
// TAB, DEL, the 8-bit control range and bytes that are not UTF-8 become "\xNN".
std::string DisplaySafeText(std::string_view text);

}  // namespace skiff
