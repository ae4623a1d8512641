#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tesselwick::text {

// White space and newlines as the naming rules trim them.
bool isSpace(char c);
std::string trim(std::string_view s);
std::string toLower(std::string_view s);
bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view needle);
std::vector<std::string> split(std::string_view s, char separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

// The shortest decimal form of a double that reads back as the same value,
// always with at least one decimal ("10.0", "0.25", "1e-05" stays as is).
std::string formatDouble(double value);

} // namespace tesselwick::text
