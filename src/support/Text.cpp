#include "support/Text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace tesselwick::text {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trim(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && isSpace(s[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(s[end - 1])) {
        --end;
    }
    return std::string(s.substr(begin, end - begin));
}

std::string toLower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return out;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool contains(std::string_view s, std::string_view needle) {
    return s.find(needle) != std::string_view::npos;
}

std::vector<std::string> split(std::string_view s, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t pos = s.find(separator, start);
        if (pos == std::string_view::npos) {
            parts.emplace_back(s.substr(start));
            return parts;
        }
        parts.emplace_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += parts[i];
    }
    return out;
}

std::string formatDouble(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string out(buffer, result.ptr);
    if (out.find_first_of(".e") == std::string::npos) {
        out += ".0";
    }
    return out;
}

namespace {

struct SequenceShape {
    std::size_t length = 0; // 0: not a lead byte
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
};

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

// Bytes taken by the sequence at the start of `s` and whether it is well
// formed. An ill-formed one covers its longest valid prefix (at least one
// byte), so each such prefix turns into exactly one replacement character.
std::pair<std::size_t, bool> nextSequence(std::string_view s) {
    const SequenceShape shape = shapeOf(static_cast<unsigned char>(s[0]));
    if (shape.length == 0) {
        return {1, false};
    }
    std::size_t i = 1;
    while (i < shape.length && i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        const unsigned char low = i == 1 ? shape.low : 0x80;
        const unsigned char high = i == 1 ? shape.high : 0xBF;
        if (c < low || c > high) {
            break;
        }
        ++i;
    }
    return {i, i == shape.length};
}

} // namespace

std::string toValidUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto [length, valid] = nextSequence(bytes.substr(i));
        if (valid) {
            out.append(bytes.substr(i, length));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += length;
    }
    return out;
}

std::size_t utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

std::string utf8Prefix(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == count) {
                return std::string(text.substr(0, i));
            }
            ++seen;
        }
    }
    return std::string(text);
}

} // namespace tesselwick::text
