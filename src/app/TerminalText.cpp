#include "app/TerminalText.h"

#include "support/Utf8.h"

#include <cstdint>

namespace tesselwick::app {
namespace {

std::uint32_t codePoint(std::string_view sequence) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
    switch (sequence.size()) {
    case 1:
        return byte(0);
    case 2:
        return (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu);
    case 3:
        return (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    default:
        return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 |
               (byte(3) & 0x3Fu);
    }
}

bool unsafe(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// \x1b or \u202e: the kind of escape, then `digits` lower-case hex digits.
std::string escape(char kind, std::uint32_t value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out{'\\', kind};
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kHex[(value >> shift) & 0xFu];
    }
    return out;
}

} // namespace

std::string terminalText(std::string_view text, Lines lines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const utf8::Sequence sequence = utf8::firstSequence(text.substr(i));
        if (!sequence.wellFormed) {
            out += escape('x', static_cast<unsigned char>(text[i]), 2);
            ++i;
            continue;
        }
        const std::string_view piece = text.substr(i, sequence.length);
        const std::uint32_t c = codePoint(piece);
        if (c == '\n' && lines == Lines::keep) {
            out += '\n';
        } else if (unsafe(c)) {
            out += c < 0x80 ? escape('x', c, 2) : escape('u', c, 4);
        } else {
            out += piece;
        }
        i += sequence.length;
    }
    return out;
}

} // namespace tesselwick::app
