#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 read strictly, as the system's own parsers do: no overlong forms, no
// UTF-16 surrogates, nothing above U+10FFFF. Text from a child's output, a disk's
// name or a property list goes through here before it is shown, logged or sent.
namespace tesselwick::utf8 {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The first sequence of non-empty `bytes`. An ill-formed one covers its longest
// prefix that could still begin a well-formed sequence (at least one byte), so
// that replacing each such prefix with one U+FFFD follows Unicode's recommended
// practice. Callers that replace byte by byte step one byte past it instead.
struct Sequence {
    std::size_t length = 0;
    bool wellFormed = false;
};
Sequence firstSequence(std::string_view bytes);

bool isValid(std::string_view bytes);
// Each ill-formed sequence becomes one U+FFFD.
std::string toValid(std::string_view bytes);
// The number of code points in well-formed text.
std::size_t length(std::string_view text);
// The first `count` code points of well-formed text.
std::string prefix(std::string_view text, std::size_t count);

} // namespace tesselwick::utf8
