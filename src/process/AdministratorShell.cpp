#include "process/AdministratorShell.h"

#include <cstdint>

namespace tesselwick::process {

std::string base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) |
                                std::uint32_t(std::uint8_t(bytes[i + 2]));
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                                (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string scriptTransportLine(std::string_view script) {
    // "-f": the root shell must not run the caller's startup files (HOME or
    // ZDOTDIR may be passed on through the prompt) before the script.
    return "/usr/bin/printf '%s' '" + base64Encode(script) + "' | /usr/bin/base64 -D | /bin/zsh -f";
}

std::string appleScriptStringEscape(std::string_view line) {
    std::string backslashesDoubled;
    backslashesDoubled.reserve(line.size());
    for (char c : line) {
        if (c == '\\') {
            backslashesDoubled += "\\\\";
        } else {
            backslashesDoubled += c;
        }
    }
    std::string escaped;
    escaped.reserve(backslashesDoubled.size());
    for (char c : backslashesDoubled) {
        if (c == '"') {
            escaped += "\\\"";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string administratorAppleScript(std::string_view shellCommandLine) {
    return "do shell script \"" + appleScriptStringEscape(shellCommandLine) +
           "\" with administrator privileges";
}

void runShellAsAdministrator(std::string_view shellCommandLine, const CommandRunner& runner) {
    runner(kOsascriptPath, {"-e", administratorAppleScript(shellCommandLine)},
           kAdministratorTimeout);
}

} // namespace tesselwick::process
