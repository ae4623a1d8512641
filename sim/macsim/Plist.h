#pragma once

// Property-list writing and reading for the simulated tools. Values are built as
// nlohmann::json (its objects keep keys sorted, which is how Apple's writer orders
// them; floats stay <real>, unsigned and signed numbers stay <integer>) and written
// through libplist so the XML is byte-compatible with what parsers expect.

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

#include <plist/plist.h>

namespace macsim {

using Json = nlohmann::json;

struct PlistDeleter {
    void operator()(plist_t p) const {
        if (p != nullptr) {
            plist_free(p);
        }
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// The XML text of a value (a JSON object, array, string, number or boolean).
std::string toXmlPlist(const Json& value);

// Parses XML or binary property-list text; empty when it is neither.
PlistPtr parsePlist(const std::string& bytes);

// The value as JSON (dictionaries become objects, <real> stays a float); empty
// (null) when the text is not a property list. Used to read tool output in tests.
Json plistToJson(const std::string& bytes);

} // namespace macsim
