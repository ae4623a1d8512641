#include "Plist.h"

#include <cstdlib>
#include <stdexcept>

namespace macsim {

namespace {

plist_t toNode(const Json& value) {
    switch (value.type()) {
    case Json::value_t::object: {
        plist_t dict = plist_new_dict();
        for (const auto& [key, item] : value.items()) {
            plist_dict_set_item(dict, key.c_str(), toNode(item));
        }
        return dict;
    }
    case Json::value_t::array: {
        plist_t array = plist_new_array();
        for (const auto& item : value) {
            plist_array_append_item(array, toNode(item));
        }
        return array;
    }
    case Json::value_t::string:
        return plist_new_string(value.get_ref<const std::string&>().c_str());
    case Json::value_t::boolean:
        return plist_new_bool(value.get<bool>() ? 1 : 0);
    case Json::value_t::number_unsigned:
        return plist_new_uint(value.get<std::uint64_t>());
    case Json::value_t::number_integer:
        // libplist 2.2 stores every integer as uint64; negative sizes never occur here.
        return plist_new_uint(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    case Json::value_t::number_float:
        return plist_new_real(value.get<double>());
    default:
        return plist_new_string("");
    }
}

} // namespace

std::string toXmlPlist(const Json& value) {
    PlistPtr node(toNode(value));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node.get(), &xml, &length);
    if (xml == nullptr) {
        throw std::runtime_error("cannot write property list");
    }
    std::string text(xml, length);
    std::free(xml);
    return text;
}

PlistPtr parsePlist(const std::string& bytes) {
    plist_t root = nullptr;
    if (bytes.size() >= 8 && bytes.compare(0, 6, "bplist") == 0) {
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    } else if (!bytes.empty()) {
        plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    }
    return PlistPtr(root);
}

namespace {

Json fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        Json object = Json::object();
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            if (key == nullptr) {
                break;
            }
            object[key] = fromNode(item);
            std::free(key);
        }
        std::free(it);
        return object;
    }
    case PLIST_ARRAY: {
        Json array = Json::array();
        for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
            array.push_back(fromNode(plist_array_get_item(node, i)));
        }
        return array;
    }
    case PLIST_STRING: {
        char* value = nullptr;
        plist_get_string_val(node, &value);
        Json text = value != nullptr ? value : "";
        std::free(value);
        return text;
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return value;
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    default:
        return nullptr;
    }
}

} // namespace

Json plistToJson(const std::string& bytes) {
    PlistPtr root = parsePlist(bytes);
    return root ? fromNode(root.get()) : Json();
}

} // namespace macsim
