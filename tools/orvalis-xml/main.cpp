// orvalis-xml: XML to the JSON form of its Dictionary tree, and back.
#include <Orvalis/Foundation/File.h>
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/XMLEventSource.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

using namespace orvalis;

namespace {

constexpr const char* kUsage =
    "Usage: orvalis-xml [OPTIONS] [FILE]\n"
    "       orvalis-xml --to-xml [FILE]\n"
    "\n"
    "Converts an XML document (FILE, or standard input when FILE is absent or\n"
    "\"-\") into the Dictionary tree the library builds from it, printed as\n"
    "indented JSON. With --to-xml, reads such JSON (an object) and writes it\n"
    "back as XML.\n"
    "\n"
    "Tree options (defaults in brackets):\n"
    "  --no-collapse          keep text-only elements as nodes [collapse to text]\n"
    "  --keep-empty           keep empty elements [strip them]\n"
    "  --no-trim              keep white space around text [trim it]\n"
    "  --always-arrays        store every child in an array [only repeated ones]\n"
    "  --comments             keep comments under \"__comments\" [drop them]\n"
    "  --wrap-root            wrap the root in {name: root} [root node itself]\n"
    "  --attributes=MODE      prefixed (\"_name\"), grouped (\"__attributes\"),\n"
    "                         unprefixed (bare names) or discard [prefixed]\n"
    "  --node-names=MODE      which nodes get \"__name\": root, always or never [root]\n"
    "\n"
    "Other options:\n"
    "  --to-xml               JSON tree in, XML out\n"
    "  --help                 show this text\n"
    "\n"
    "Exit status: 0 on success; 1 when the input cannot be read, is not\n"
    "well-formed XML (the part read so far is still printed) or, with --to-xml,\n"
    "is not a JSON object; 2 on a usage error.\n";

int usageError(const std::string& message) {
    std::cerr << "orvalis-xml: " << message << "\nTry 'orvalis-xml --help'.\n";
    return 2;
}

std::optional<std::string> readInput(const std::string& path) {
    if (path.empty() || path == "-") {
        std::string all{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        if (std::cin.bad()) return std::nullopt;
        return all;
    }
    return readWholeFile(path);
}

}  // namespace

int main(int argc, char** argv) {
    XMLParser parser;
    bool toXML = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--no-collapse") {
            parser.setCollapseTextNodes(false);
        } else if (arg == "--keep-empty") {
            parser.setStripEmptyNodes(false);
        } else if (arg == "--no-trim") {
            parser.setTrimWhiteSpace(false);
        } else if (arg == "--always-arrays") {
            parser.setAlwaysUseArrays(true);
        } else if (arg == "--comments") {
            parser.setPreserveComments(true);
        } else if (arg == "--wrap-root") {
            parser.setWrapRootNode(true);
        } else if (arg == "--to-xml") {
            toXML = true;
        } else if (arg.rfind("--attributes=", 0) == 0) {
            std::string_view mode = arg.substr(13);
            if (mode == "prefixed")
                parser.setAttributesMode(AttributesMode::Prefixed);
            else if (mode == "grouped")
                parser.setAttributesMode(AttributesMode::Grouped);
            else if (mode == "unprefixed")
                parser.setAttributesMode(AttributesMode::Unprefixed);
            else if (mode == "discard")
                parser.setAttributesMode(AttributesMode::Discard);
            else
                return usageError("unknown attributes mode '" + std::string(mode) + "'");
        } else if (arg.rfind("--node-names=", 0) == 0) {
            std::string_view mode = arg.substr(13);
            if (mode == "root")
                parser.setNodeNameMode(NodeNameMode::RootOnly);
            else if (mode == "always")
                parser.setNodeNameMode(NodeNameMode::Always);
            else if (mode == "never")
                parser.setNodeNameMode(NodeNameMode::Never);
            else
                return usageError("unknown node-names mode '" + std::string(mode) + "'");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + std::string(arg) + "'");
        } else if (!path.empty()) {
            return usageError("only one input file may be given");
        } else {
            path = arg;
        }
    }

    const std::string shown = path.empty() || path == "-" ? std::string("standard input") : path;
    std::optional<std::string> input = readInput(path);
    if (!input) {
        std::cerr << "orvalis-xml: cannot read " << shown << "\n";
        return 1;
    }

    if (toXML) {
        std::optional<Value> tree = JSONSerialization::JSONObjectWithData(*input);
        if (!tree || !tree->isDictionary()) {
            std::cerr << "orvalis-xml: " << shown << " is not a JSON object\n";
            return 1;
        }
        std::cout << XMLTree::XMLString(tree->asDictionary()) << "\n";
        return 0;
    }

    XMLEventSource source(*input);
    std::optional<Dictionary> tree = parser.dictionaryWithParser(source);
    if (tree) {
        try {
            std::cout << JSONSerialization::dataWithJSONObject(Value(*tree), true) << "\n";
        } catch (const JSONSerializationError& e) {
            std::cerr << "orvalis-xml: cannot write the tree as JSON: " << e.what() << "\n";
            return 1;
        }
    }
    if (source.errorCode() != 0) {
        std::cerr << "orvalis-xml: " << shown << " is not well-formed XML: " << source.errorDescription() << "\n";
        return 1;
    }
    return 0;
}
