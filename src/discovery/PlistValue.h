#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tesselwick::discovery {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<std::string, PlistValue, std::less<>>;

// An integer as the property list wrote it. The tools print sizes that may be
// signed or unsigned 64-bit values; both are kept exactly.
struct PlistInteger {
    std::uint64_t bits = 0; // two's complement when isSigned
    bool isSigned = true;

    static PlistInteger fromSigned(std::int64_t value) {
        return {static_cast<std::uint64_t>(value), true};
    }
    static PlistInteger fromUnsigned(std::uint64_t value) { return {value, false}; }
    bool isNegative() const { return isSigned && static_cast<std::int64_t>(bits) < 0; }
    std::int64_t signedValue() const { return static_cast<std::int64_t>(bits); }
    bool operator==(const PlistInteger&) const = default;
};

// Seconds since 2001-01-01 00:00:00 UTC, the property-list reference date.
struct PlistDate {
    double secondsSinceReference = 0;
    bool operator==(const PlistDate&) const = default;
};

using PlistData = std::vector<std::uint8_t>;

// One property-list value. Booleans are their own kind, never numbers.
class PlistValue {
public:
    using Storage = std::variant<std::string, PlistInteger, double, bool, PlistDate, PlistData,
                                 PlistArray, PlistDictionary>;

    PlistValue() : storage_(std::string()) {}
    PlistValue(std::string value) : storage_(std::move(value)) {}
    PlistValue(const char* value) : storage_(std::string(value)) {}
    PlistValue(PlistInteger value) : storage_(value) {}
    PlistValue(double value) : storage_(value) {}
    PlistValue(bool value) : storage_(value) {}
    PlistValue(PlistDate value) : storage_(value) {}
    PlistValue(PlistData value) : storage_(std::move(value)) {}
    PlistValue(PlistArray value) : storage_(std::move(value)) {}
    PlistValue(PlistDictionary value) : storage_(std::move(value)) {}
    // Integers of any width become PlistInteger with their own signedness.
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) PlistValue(T value)
        : storage_(std::is_signed_v<T>
                       ? PlistInteger::fromSigned(static_cast<std::int64_t>(value))
                       : PlistInteger::fromUnsigned(static_cast<std::uint64_t>(value))) {}

    const Storage& storage() const { return storage_; }

    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const PlistInteger* integer() const { return std::get_if<PlistInteger>(&storage_); }
    const double* real() const { return std::get_if<double>(&storage_); }
    const bool* boolean() const { return std::get_if<bool>(&storage_); }
    const PlistDate* date() const { return std::get_if<PlistDate>(&storage_); }
    const PlistData* data() const { return std::get_if<PlistData>(&storage_); }
    const PlistArray* array() const { return std::get_if<PlistArray>(&storage_); }
    const PlistDictionary* dictionary() const { return std::get_if<PlistDictionary>(&storage_); }
    PlistDictionary* dictionary() { return std::get_if<PlistDictionary>(&storage_); }

    bool operator==(const PlistValue&) const = default;

private:
    Storage storage_;
};

// The value under `key`, or null.
const PlistValue* lookup(const PlistDictionary& dictionary, std::string_view key);
// The value under `key` when it is a string; any other kind counts as absent.
const std::string* stringValue(const PlistDictionary& dictionary, std::string_view key);
// The value under `key` when it is a boolean.
std::optional<bool> boolValue(const PlistDictionary& dictionary, std::string_view key);
// The dictionaries of the array under `key`; absent when the key is missing or is not an
// array made only of dictionaries.
std::optional<std::vector<PlistDictionary>> dictionaryArray(const PlistDictionary& dictionary,
                                                            std::string_view key);

// Domain and code of a property-list parse failure (the code the platform's own
// parser uses for corrupt input).
inline constexpr const char* kPlistErrorDomain = "Tesselwick.PropertyList";
inline constexpr std::int64_t kPlistParseErrorCode = 3840;

// Parses an XML or binary property list. Throws a DomainError with a readable
// message when the bytes are not a property list; never crashes on garbage.
PlistValue parsePropertyList(std::string_view bytes);

// Writes a value as an XML or binary property list (for tools that print what the
// platform's tools print, and for tests). Unsigned integers beyond the signed range
// are written with their bits as a signed value: libplist 2.2 offers no other way.
std::string toXMLPropertyList(const PlistValue& value);
std::string toBinaryPropertyList(const PlistValue& value);

} // namespace tesselwick::discovery
