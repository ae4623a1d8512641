#pragma once

#include <string>
#include <string_view>

namespace tesselwick::app {

// Text from outside (a disk's name, a tool's message, what the user typed) made
// safe to print to a terminal: control characters, the characters that reorder
// or break a line (bidirectional overrides and isolates, the Unicode line and
// paragraph separators) and bytes that are not UTF-8 appear as escapes such as
// \x1b, \u202e and \xff, so nothing can move the cursor, recolour the terminal
// or make one name read as another. Line breaks stay only where `lines` says
// so: in a multi-paragraph message, not in a value on one line.
enum class Lines { escape, keep };
std::string terminalText(std::string_view text, Lines lines = Lines::escape);

} // namespace tesselwick::app
