#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Formats/XMLEventSource.h>
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

namespace {

// Hands text to the caller: a copy, and its length when asked for.
orvalis_status handOver(std::string_view text, char** out, size_t* length_out) {
    *out = copyForCaller(text);
    if (length_out != nullptr) *length_out = text.size();
    return ORVALIS_OK;
}

}  // namespace

orvalis_status orvalis_xml_to_json(const char* xml, size_t length, const orvalis_xml_options* options,
                                   char** json_out) {
    return orvalis_xml_to_json_sized(xml, length, options, json_out, nullptr);
}

orvalis_status orvalis_json_to_xml(const char* json, size_t length, char** xml_out) {
    return orvalis_json_to_xml_sized(json, length, xml_out, nullptr);
}

orvalis_status orvalis_xml_to_json_sized(const char* xml, size_t length, const orvalis_xml_options* options,
                                         char** json_out, size_t* json_length_out) {
    if (json_out != nullptr) *json_out = nullptr;
    if (json_length_out != nullptr) *json_length_out = 0;
    if (json_out == nullptr || (xml == nullptr && length > 0) || (options != nullptr && !covers(options))) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no XML, no place for the JSON, or options whose struct_size cuts a field");
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
        if (!source.result().ok() || !tree) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT,
                            "not well-formed XML: " +
                                (!source.result().ok() ? source.result().message() : std::string("no element")));
        }
        std::string json;
        try {
            json = JSONSerialization::dataWithJSONObject(Value(*tree), false);
        } catch (const JSONSerializationError& e) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT,
                            std::string("the tree cannot be written as JSON: ") + e.what());
        }
        return handOver(json, json_out, json_length_out);
    });
}

orvalis_status orvalis_json_to_xml_sized(const char* json, size_t length, char** xml_out, size_t* xml_length_out) {
    if (xml_out != nullptr) *xml_out = nullptr;
    if (xml_length_out != nullptr) *xml_length_out = 0;
    if (xml_out == nullptr || (json == nullptr && length > 0)) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no JSON or no place for the XML");
    }
    return guarded([&] {
        Parsed<Value> read = JSONSerialization::JSONObjectWithData(std::string_view(json ? json : "", length));
        const std::optional<Value>& tree = read.value;
        if (!read.result) return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "not one JSON object: " + read.result.message());
        if (!tree->isDictionary()) return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "not one JSON object");
        std::optional<XMLWriteError> refused;
        std::optional<std::string> xml = XMLTree::wellFormedXMLString(tree->asDictionary(), refused);
        if (!xml) return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "the tree cannot be written as XML: " + refused->description());
        return handOver(*xml, xml_out, xml_length_out);
    });
}

}  // extern "C"
