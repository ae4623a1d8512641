#include "support/Utf8.h"

namespace tesselwick::utf8 {

namespace {

struct SequenceShape {
    std::size_t length = 0; // 0: not a lead byte
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
};

// The length of the sequence a lead byte starts and the range its second byte
// must fall in.
SequenceShape shapeOf(unsigned char lead) {
    if (lead < 0x80) {
        return {1, 0, 0};
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        // Excludes overlong forms and UTF-16 surrogates.
        return {3, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
                static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // Excludes overlong forms and values above U+10FFFF.
        return {4, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
                static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
    }
    return {};
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

Sequence firstSequence(std::string_view bytes) {
    const SequenceShape shape = shapeOf(static_cast<unsigned char>(bytes[0]));
    if (shape.length == 0) {
        return {1, false};
    }
    std::size_t i = 1;
    while (i < shape.length && i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const unsigned char low = i == 1 ? shape.low : 0x80;
        const unsigned char high = i == 1 ? shape.high : 0xBF;
        if (c < low || c > high) {
            break;
        }
        ++i;
    }
    return {i, i == shape.length};
}

bool isValid(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Sequence sequence = firstSequence(bytes.substr(i));
        if (!sequence.wellFormed) {
            return false;
        }
        i += sequence.length;
    }
    return true;
}

std::string toValid(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const Sequence sequence = firstSequence(bytes.substr(i));
        if (sequence.wellFormed) {
            out.append(bytes.substr(i, sequence.length));
        } else {
            out += kReplacementCharacter;
        }
        i += sequence.length;
    }
    return out;
}

std::size_t length(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if (!isContinuation(c)) {
            ++count;
        }
    }
    return count;
}

std::string prefix(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isContinuation(text[i])) {
            if (seen == count) {
                return std::string(text.substr(0, i));
            }
            ++seen;
        }
    }
    return std::string(text);
}

} // namespace tesselwick::utf8
