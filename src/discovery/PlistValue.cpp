#include "discovery/PlistValue.h"

#include "support/Errors.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

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

// Counts element nesting of an XML property list without parsing it fully: every
// opening tag of a container raises the depth, every closing one lowers it.
int xmlContainerDepth(std::string_view bytes) {
    int depth = 0;
    int deepest = 0;
    for (std::size_t i = bytes.find('<'); i != std::string_view::npos; i = bytes.find('<', i + 1)) {
        std::string_view rest = bytes.substr(i + 1);
        if (rest.starts_with("array>") || rest.starts_with("dict>")) {
            deepest = std::max(deepest, ++depth);
        } else if (rest.starts_with("/array>") || rest.starts_with("/dict>")) {
            depth = std::max(0, depth - 1);
        }
    }
    return deepest;
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
    case PLIST_ARRAY: {
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
    case PLIST_DICT: {
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
    case PLIST_NONE:
    default:
        fail("it holds a value of an unknown kind");
    }
}

} // namespace

PlistValue parsePropertyList(std::string_view bytes) {
    if (bytes.empty()) {
        fail("it is empty");
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        fail("it is too large");
    }
    if (!isBinary(bytes) && xmlContainerDepth(bytes) > kMaximumDepth) {
        fail("it is nested too deeply");
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistHandle owned(root);
    if (root == nullptr) {
        fail("it is not in a property-list format");
    }
    return convert(root, 0);
}

} // namespace tesselwick::discovery
