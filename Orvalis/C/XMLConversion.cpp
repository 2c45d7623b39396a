#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/XMLEventSource.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>

#include <optional>
#include <string>
#include <string_view>

using namespace orvalis;
using orvalis::detail::copyForCaller;
using orvalis::detail::covers;
using orvalis::detail::failWith;
using orvalis::detail::guarded;

namespace {

// An XML name (XML 1.0 fifth edition), checked on its UTF-8 bytes: any
// non-ASCII character is taken as a name character.
bool isXMLName(std::string_view name) {
    auto start = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
    };
    auto rest = [&](unsigned char c) { return start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; };
    if (name.empty() || !start(static_cast<unsigned char>(name[0]))) return false;
    for (unsigned char c : name.substr(1)) {
        if (!rest(c)) return false;
    }
    return true;
}

// The first key that would be written as an element or attribute name and is
// not an XML name: the writer puts names out as they are, so one such key
// would let the JSON inject markup.
std::optional<std::string> badName(const Value& value) {
    if (value.isArray()) {
        for (const Value& item : value.asArray()) {
            if (auto bad = badName(item)) return bad;
        }
    } else if (value.isDictionary()) {
        for (const auto& entry : value.asDictionary()) {
            std::string_view key = entry.key();
            if (key == "__name") {  // the element's name
                const Value& name = entry.value();
                if (name.isString() && !isXMLName(name.asString())) return std::string(name.asString());
                continue;
            }
            if (key.starts_with("__") && key != "__attributes") continue;  // the tree's own entries
            if (key == "__attributes") {
                if (auto bad = badName(entry.value())) return bad;
                continue;
            }
            if (!isXMLName(key.substr(key.starts_with("_") ? 1 : 0))) return std::string(key);
            if (auto bad = badName(entry.value())) return bad;
        }
    }
    return std::nullopt;
}

}  // namespace

extern "C" {

void orvalis_xml_options_init(orvalis_xml_options* options) {
    if (options == nullptr) return;
    const XMLParser defaults;
    *options = orvalis_xml_options{sizeof(orvalis_xml_options),
                                   defaults.collapseTextNodes(),
                                   defaults.stripEmptyNodes(),
                                   defaults.trimWhiteSpace(),
                                   defaults.alwaysUseArrays(),
                                   defaults.preserveComments(),
                                   defaults.wrapRootNode(),
                                   static_cast<int>(defaults.attributesMode()),
                                   static_cast<int>(defaults.nodeNameMode())};
}

orvalis_status orvalis_xml_to_json(const char* xml, size_t length, const orvalis_xml_options* options,
                                   char** json_out) {
    if (json_out != nullptr) *json_out = nullptr;
    if (json_out == nullptr || (xml == nullptr && length > 0) || (options != nullptr && !covers(options))) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no XML, no place for the JSON, or options too small");
    }
    return guarded([&] {
        XMLParser parser;
        if (options != nullptr) {
            parser.setCollapseTextNodes(options->collapse_text_nodes != 0);
            parser.setStripEmptyNodes(options->strip_empty_nodes != 0);
            parser.setTrimWhiteSpace(options->trim_white_space != 0);
            parser.setAlwaysUseArrays(options->always_use_arrays != 0);
            parser.setPreserveComments(options->preserve_comments != 0);
            parser.setWrapRootNode(options->wrap_root_node != 0);
            parser.setAttributesMode(static_cast<std::int64_t>(options->attributes_mode));
            parser.setNodeNameMode(static_cast<std::int64_t>(options->node_name_mode));
        }
        XMLEventSource source(std::string_view(xml == nullptr ? "" : xml, length));
        std::optional<Dictionary> tree = parser.dictionaryWithParser(source);
        if (source.errorCode() != 0 || !tree) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT,
                            "not well-formed XML: " +
                                (source.errorCode() != 0 ? source.errorDescription() : std::string("no element")));
        }
        std::string json;
        try {
            json = JSONSerialization::dataWithJSONObject(Value(*tree), false);
        } catch (const JSONSerializationError& e) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT,
                            std::string("the tree cannot be written as JSON: ") + e.what());
        }
        *json_out = copyForCaller(json);
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_json_to_xml(const char* json, size_t length, char** xml_out) {
    if (xml_out != nullptr) *xml_out = nullptr;
    if (xml_out == nullptr || (json == nullptr && length > 0)) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no JSON or no place for the XML");
    }
    return guarded([&] {
        std::optional<Value> tree = JSONSerialization::JSONObjectWithData(std::string_view(json ? json : "", length));
        if (!tree || !tree->isDictionary()) return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "not one JSON object");
        if (auto bad = badName(*tree)) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "\"" + *bad + "\" is not an XML name");
        }
        *xml_out = copyForCaller(XMLTree::XMLString(tree->asDictionary()));
        return ORVALIS_OK;
    });
}

}  // extern "C"
