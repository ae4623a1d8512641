// The property-list reader on arbitrary bytes: it either throws its own parse
// error or returns a value that both writers can write and the reader read back.

#include "FuzzSupport.h"
#include "discovery/PlistValue.h"
#include "support/Errors.h"

#include <cstddef>
#include <cstdint>

using namespace tesselwick;
using namespace tesselwick::discovery;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    PlistValue value;
    try {
        value = parsePropertyList(bytes);
    } catch (const DomainError& error) {
        if (error.domain() != kPlistErrorDomain) {
            fuzz::fail("parse failure in domain " + error.domain());
        }
        return 0;
    }
    try {
        parsePropertyList(toXMLPropertyList(value));
        parsePropertyList(toBinaryPropertyList(value));
    } catch (const std::exception& error) {
        fuzz::fail(std::string("a parsed value did not survive writing and reading: ") +
                   error.what());
    }
    return 0;
}
