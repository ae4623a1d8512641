#include "discovery/PlistValue.h"

#include "support/Errors.h"
#include "support/Utf8.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace tesselwick::discovery {

const PlistValue* lookup(const PlistDictionary& dictionary, std::string_view key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &it->second;
}

const std::string* stringValue(const PlistDictionary& dictionary, std::string_view key) {
    const PlistValue* value = lookup(dictionary, key);
    return value ? value->string() : nullptr;
}

std::optional<bool> boolValue(const PlistDictionary& dictionary, std::string_view key) {
    const PlistValue* value = lookup(dictionary, key);
    if (value == nullptr || value->boolean() == nullptr) {
        return std::nullopt;
    }
    return *value->boolean();
}

std::optional<std::vector<PlistDictionary>> dictionaryArray(const PlistDictionary& dictionary,
                                                            std::string_view key) {
    const PlistValue* value = lookup(dictionary, key);
    const PlistArray* array = value ? value->array() : nullptr;
    if (array == nullptr) {
        return std::nullopt;
    }
    std::vector<PlistDictionary> out;
    out.reserve(array->size());
    for (const PlistValue& item : *array) {
        const PlistDictionary* entry = item.dictionary();
        if (entry == nullptr) {
            return std::nullopt;
        }
        out.push_back(*entry);
    }
    return out;
}

namespace {

// Deeper nesting than this is refused before the parser sees it: no tool output
// comes near it, and the parser and the conversion below both recurse per level.
constexpr int kMaximumDepth = 256;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

struct CFree {
    void operator()(void* p) const { std::free(p); }
};

[[noreturn]] void fail(const std::string& reason) {
    throw DomainError(kPlistErrorDomain, kPlistParseErrorCode,
                      "The property list could not be read: " + reason + ".");
}

bool isBinary(std::string_view bytes) {
    return bytes.substr(0, 6) == "bplist";
}

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ':' || c == '.';
}

// Container nesting of an XML property list, counted over the tags alone. The
// parser recurses per level, so deep input is refused before it gets there.
int xmlContainerDepth(std::string_view bytes) {
    int depth = 0;
    int deepest = 0;
    for (std::size_t i = bytes.find('<'); i != std::string_view::npos; i = bytes.find('<', i + 1)) {
        std::string_view rest = bytes.substr(i + 1);
        const bool closing = rest.starts_with('/');
        if (closing) {
            rest.remove_prefix(1);
        }
        std::size_t nameLength = 0;
        if (rest.starts_with("array")) {
            nameLength = 5;
        } else if (rest.starts_with("dict")) {
            nameLength = 4;
        } else {
            continue;
        }
        if (rest.size() > nameLength && isNameChar(rest[nameLength])) {
            continue;
        }
        const std::size_t end = rest.find('>');
        const bool selfClosing = end != std::string_view::npos && end > 0 && rest[end - 1] == '/';
        if (closing) {
            depth = std::max(0, depth - 1);
        } else if (!selfClosing) {
            deepest = std::max(deepest, ++depth);
        }
    }
    return deepest;
}

std::uint64_t readBigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

// The object table of a binary property list, read only as far as the checks
// below need it.
struct BinaryPlistLayout {
    std::string_view bytes;
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t topObject = 0;
    std::uint64_t tableOffset = 0;

    // Where object `index` starts, or none when the table points outside the objects.
    std::optional<std::size_t> objectOffset(std::uint64_t index) const {
        const std::uint64_t offset = readBigEndian(
            bytes, static_cast<std::size_t>(tableOffset + index * offsetSize), offsetSize);
        if (offset < 8 || offset >= tableOffset) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(offset);
    }

    // The length an object's marker gives, read past a following size integer
    // when the marker's low half is 0xF; `position` is left after the header.
    // None for a size integer that is malformed or runs past the objects.
    std::optional<std::uint64_t> length(unsigned char marker, std::size_t& position) const {
        std::uint64_t count = marker & 0x0F;
        if (count != 0x0F) {
            return count;
        }
        if (position >= tableOffset) {
            return std::nullopt;
        }
        const auto sizeMarker = static_cast<unsigned char>(bytes[position]);
        const std::size_t width = std::size_t{1} << (sizeMarker & 0x0F);
        if ((sizeMarker >> 4) != 0x1 || width > 8 || position + 1 + width > tableOffset) {
            return std::nullopt;
        }
        count = readBigEndian(bytes, position + 1, width);
        position += 1 + width;
        return count;
    }

    // The references of a container object, or none for scalars and bad objects.
    std::vector<std::uint64_t> references(std::uint64_t index) const {
        std::vector<std::uint64_t> refs;
        const auto offset = objectOffset(index);
        if (!offset) {
            return refs;
        }
        const auto marker = static_cast<unsigned char>(bytes[*offset]);
        const unsigned type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) {
            return refs;
        }
        std::size_t position = *offset + 1;
        const auto count = length(marker, position);
        if (!count) {
            return refs;
        }
        const std::uint64_t refCount = type == 0xD ? *count * 2 : *count;
        if (*count > tableOffset || refCount > (tableOffset - position) / refSize) {
            return refs;
        }
        refs.reserve(static_cast<std::size_t>(refCount));
        // Dictionary keys are strings; only the values (second half) can nest.
        const std::uint64_t first = type == 0xD ? *count : 0;
        for (std::uint64_t i = first; i < refCount; ++i) {
            refs.push_back(
                readBigEndian(bytes, static_cast<std::size_t>(position + i * refSize), refSize));
        }
        return refs;
    }
};

// The trailer's description of the object table; none when it is too short or
// malformed, which the parser then rejects on its own.
std::optional<BinaryPlistLayout> binaryPlistLayout(std::string_view bytes) {
    constexpr std::size_t kTrailerSize = 32;
    if (bytes.size() < 8 + kTrailerSize) {
        return std::nullopt;
    }
    const std::size_t trailer = bytes.size() - kTrailerSize;
    BinaryPlistLayout layout;
    layout.bytes = bytes;
    layout.offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
    layout.refSize = static_cast<unsigned char>(bytes[trailer + 7]);
    layout.objectCount = readBigEndian(bytes, trailer + 8, 8);
    layout.topObject = readBigEndian(bytes, trailer + 16, 8);
    layout.tableOffset = readBigEndian(bytes, trailer + 24, 8);
    if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.refSize < 1 ||
        layout.refSize > 8 || layout.objectCount == 0 || layout.topObject >= layout.objectCount ||
        layout.tableOffset >= trailer ||
        layout.objectCount > (trailer - layout.tableOffset) / layout.offsetSize) {
        return std::nullopt;
    }
    return layout;
}

// The system's parser stops the process on a UTF-16 text holding U+0000: its
// UTF-8 copy is then shorter than the length it records.
bool someTextHoldsNul(const BinaryPlistLayout& layout) {
    for (std::uint64_t index = 0; index < layout.objectCount; ++index) {
        const auto offset = layout.objectOffset(index);
        if (!offset || static_cast<unsigned char>(layout.bytes[*offset]) >> 4 != 0x6) {
            continue;
        }
        std::size_t position = *offset + 1;
        const auto units =
            layout.length(static_cast<unsigned char>(layout.bytes[*offset]), position);
        if (!units) {
            continue;
        }
        for (std::uint64_t i = 0; i < *units && position + 2 * i + 1 < layout.tableOffset; ++i) {
            if (readBigEndian(layout.bytes, static_cast<std::size_t>(position + 2 * i), 2) == 0) {
                return true;
            }
        }
    }
    return false;
}

// Walks the references depth first from the top object, counting how many
// values the parser's copies would make.
std::optional<std::string> objectGraphHazard(const BinaryPlistLayout& layout) {
    constexpr std::uint64_t kMaximumExpandedNodes = 4'000'000;
    enum class State : unsigned char { unvisited, active, done };
    std::vector<State> state(static_cast<std::size_t>(layout.objectCount), State::unvisited);
    std::vector<std::uint64_t> expanded(static_cast<std::size_t>(layout.objectCount), 1);
    struct Frame {
        std::uint64_t object;
        std::vector<std::uint64_t> refs;
        std::size_t next = 0;
    };
    // Adds a finished child's count to its parent; true when that is too many.
    const auto addTo = [&](std::uint64_t parent, std::uint64_t size) {
        std::uint64_t& total = expanded[parent];
        total = std::min(kMaximumExpandedNodes + 1, total + size);
        return total > kMaximumExpandedNodes;
    };
    std::vector<Frame> stack;
    stack.push_back({layout.topObject, layout.references(layout.topObject)});
    state[layout.topObject] = State::active;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.refs.size()) {
            state[frame.object] = State::done;
            const std::uint64_t size = expanded[frame.object];
            stack.pop_back();
            if (!stack.empty() && addTo(stack.back().object, size)) {
                return "it expands to too many values";
            }
            continue;
        }
        const std::uint64_t child = frame.refs[frame.next++];
        if (child >= layout.objectCount) {
            continue; // the parser rejects dangling references itself
        }
        if (state[child] == State::active) {
            return "it refers to itself";
        }
        if (state[child] == State::done) {
            if (addTo(frame.object, expanded[child])) {
                return "it expands to too many values";
            }
            continue;
        }
        if (stack.size() >= static_cast<std::size_t>(kMaximumDepth)) {
            return "it is nested too deeply";
        }
        state[child] = State::active;
        stack.push_back({child, layout.references(child)});
    }
    return std::nullopt;
}

// Checks the object graph of a binary property list before the parser walks it.
// The parser recurses per level and copies an object once per reference, so a
// deep chain overflows its stack and a few shared references multiply into an
// exponential tree. Returns an explanation when the list must be refused.
std::optional<std::string> binaryPlistHazard(std::string_view bytes) {
    const auto layout = binaryPlistLayout(bytes);
    if (!layout) {
        return std::nullopt;
    }
    if (someTextHoldsNul(*layout)) {
        return "a text holds a NUL character";
    }
    return objectGraphHazard(*layout);
}

// libplist 2.2 keeps integers as 64 raw bits and remembers only internally whether
// a value with the top bit set was written as a negative number or as an unsigned
// one beyond the signed range. Its XML writer prints that distinction, so ask it
// in that rare case.
bool highBitIntegerIsSigned(plist_t node) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_t copy = plist_copy(node);
    if (copy == nullptr) {
        return true;
    }
    plist_to_xml(copy, &xml, &length);
    plist_free(copy);
    std::unique_ptr<char, CFree> owned(xml);
    if (xml == nullptr) {
        return true;
    }
    std::string_view text(xml, length);
    auto open = text.find("<integer>");
    return open != std::string_view::npos && text.substr(open + 9).starts_with("-");
}

PlistValue convert(plist_t node, int depth);

PlistValue convertArray(plist_t node, int depth) {
    PlistArray array;
    const uint32_t count = plist_array_get_size(node);
    array.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (item != nullptr) {
            array.push_back(convert(item, depth + 1));
        }
    }
    return PlistValue(std::move(array));
}

PlistValue convertDictionary(plist_t node, int depth) {
    PlistDictionary dictionary;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    std::unique_ptr<void, CFree> ownedIterator(it);
    while (it != nullptr) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        std::unique_ptr<char, CFree> ownedKey(key);
        if (value == nullptr) {
            break;
        }
        if (key != nullptr) {
            dictionary.insert_or_assign(std::string(key), convert(value, depth + 1));
        }
    }
    return PlistValue(std::move(dictionary));
}

PlistValue convert(plist_t node, int depth) {
    if (depth > kMaximumDepth) {
        fail("it is nested too deeply");
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PlistValue(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value <= static_cast<uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return PlistValue(PlistInteger{value, true});
        }
        return PlistValue(PlistInteger{value, highBitIntegerIsSigned(node)});
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PlistValue(value);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PlistValue(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PlistValue(
            PlistDate{static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6});
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        std::unique_ptr<char, CFree> owned(bytes);
        PlistData data;
        if (bytes != nullptr) {
            data.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                        reinterpret_cast<const std::uint8_t*>(bytes) + length);
        }
        return PlistValue(std::move(data));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return PlistValue(PlistInteger{value, false});
    }
    case PLIST_ARRAY:
        return convertArray(node, depth);
    case PLIST_DICT:
        return convertDictionary(node, depth);
    case PLIST_NONE:
    default:
        fail("it holds a value of an unknown kind");
    }
}

plist_t toNode(const PlistValue& value) {
    struct Visitor {
        plist_t operator()(const std::string& s) const { return plist_new_string(s.c_str()); }
        plist_t operator()(const PlistInteger& i) const { return plist_new_uint(i.bits); }
        plist_t operator()(double d) const { return plist_new_real(d); }
        plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
        plist_t operator()(const PlistDate& d) const {
            double whole = std::floor(d.secondsSinceReference);
            return plist_new_date(static_cast<int32_t>(whole),
                                  static_cast<int32_t>((d.secondsSinceReference - whole) * 1e6));
        }
        plist_t operator()(const PlistData& data) const {
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        plist_t operator()(const PlistArray& array) const {
            plist_t node = plist_new_array();
            for (const PlistValue& item : array) {
                plist_array_append_item(node, toNode(item));
            }
            return node;
        }
        plist_t operator()(const PlistDictionary& dictionary) const {
            plist_t node = plist_new_dict();
            for (const auto& [key, item] : dictionary) {
                plist_dict_set_item(node, key.c_str(), toNode(item));
            }
            return node;
        }
    };
    return std::visit(Visitor{}, value.storage());
}

} // namespace

std::string toXMLPropertyList(const PlistValue& value) {
    PlistHandle node(toNode(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(node.get()), &xml, &length);
    std::unique_ptr<char, CFree> owned(xml);
    return xml ? std::string(xml, length) : std::string();
}

std::string toBinaryPropertyList(const PlistValue& value) {
    PlistHandle node(toNode(value));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(node.get()), &bin, &length);
    std::unique_ptr<char, CFree> owned(bin);
    return bin ? std::string(bin, length) : std::string();
}

PlistValue parsePropertyList(std::string_view bytes) {
    if (bytes.empty()) {
        fail("it is empty");
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        fail("it is too large");
    }
    if (isBinary(bytes)) {
        if (auto hazard = binaryPlistHazard(bytes)) {
            fail(*hazard);
        }
    } else if (!utf8::isValid(bytes)) {
        // Not well-formed XML; the system's parser also stops the process on some
        // such keys instead of reporting an error.
        fail("it is not valid UTF-8");
    } else if (xmlContainerDepth(bytes) > kMaximumDepth) {
        fail("it is nested too deeply");
    }
    // Later libplist releases than Debian 12's 2.2 give plist_from_memory a
    // fourth parameter; these are the calls it makes in 2.2, in a form every
    // release accepts.
    plist_t root = nullptr;
    const auto length = static_cast<uint32_t>(bytes.size());
    if (length >= 8) {
        if (plist_is_binary(bytes.data(), length)) {
            plist_from_bin(bytes.data(), length, &root);
        } else {
            plist_from_xml(bytes.data(), length, &root);
        }
    }
    PlistHandle owned(root);
    if (root == nullptr) {
        fail("it is not in a property-list format");
    }
    return convert(root, 0);
}

} // namespace tesselwick::discovery
