// orvalis-xml: XML to the JSON form of its Dictionary tree, and back.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Formats/XMLEventSource.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>

#include <cctype>
#include <cstdio>
#include <initializer_list>
#include <vector>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "ToolSupport.h"

using namespace orvalis;
using namespace orvalis::tools;

namespace {

constexpr const char* kUsage =
    "usage: orvalis-xml [OPTIONS] [FILE...]\n"
    "       orvalis-xml --to-xml [FILE...]\n"
    "\n"
    "Converts each XML document (each FILE in turn; standard input when no FILE\n"
    "is given or FILE is \"-\") into the Dictionary tree the library builds from\n"
    "it, printed as JSON, one document after the other. With --to-xml, reads such\n"
    "JSON (an object) and writes it back as XML.\n"
    "\n"
    "Tree options (defaults in brackets):\n"
    "  --no-collapse          keep text-only elements as nodes [collapse to text]\n"
    "  --keep-empty           keep empty elements [strip them]\n"
    "  --no-trim              keep white space around text [trim it]\n"
    "  --always-arrays        store every child in an array [only repeated ones]\n"
    "  --comments             keep comments under \"__comments\" [drop them]\n"
    "  --wrap-root            wrap the root in {name: root} [root node itself]\n"
    "  --attributes MODE      prefixed (\"_name\"), grouped (\"__attributes\"),\n"
    "                         unprefixed (bare names) or discard [prefixed]\n"
    "  --node-names MODE      which nodes get \"__name\": root, always or never [root]\n"
    "\n"
    "Output:\n"
    "  -c, --compact          JSON on one line per document [indented]\n"
    "      --pretty           indented JSON (the default)\n"
    "      --to-xml           JSON tree in, XML out; a tree that is not XML 1.0\n"
    "                         (a bad name, character or comment) is refused,\n"
    "                         nothing is written for that input\n"
    "  -o, --output FILE      write to FILE instead of standard output (\"-\": stdout)\n"
    "\n"
    "Other options:\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "Every option also takes its value as --name=VALUE.\n"
    "\n"
    "Exit status: 0 when every input was converted; 1 when an input cannot be\n"
    "read, is not well-formed XML (the part read so far is still printed) or,\n"
    "with --to-xml, is not a JSON object or cannot be written as XML 1.0 (the\n"
    "other inputs are still converted); 2 on a usage error.\n";

struct Settings {
    XMLParser parser;
    bool toXML = false, compact = false, help = false, version = false;
    std::string output = "-";
};

template <class Mode>
void setMode(std::string_view option, const std::string& value,
             std::initializer_list<std::pair<std::string_view, Mode>> modes, void (XMLParser::*set)(Mode),
             XMLParser& parser) {
    for (const auto& [name, mode] : modes) {
        if (value == name) return (parser.*set)(mode);
    }
    throw UsageError("unknown " + std::string(option) + " mode '" + value + "'");
}

constexpr Option<Settings> kOptions[] = {
    {"help", 'h', false, [](Settings& s, const std::string&) { s.help = true; }},
    {"version", 'V', false, [](Settings& s, const std::string&) { s.version = true; }},
    {"no-collapse", 0, false, [](Settings& s, const std::string&) { s.parser.setCollapseTextNodes(false); }},
    {"keep-empty", 0, false, [](Settings& s, const std::string&) { s.parser.setStripEmptyNodes(false); }},
    {"no-trim", 0, false, [](Settings& s, const std::string&) { s.parser.setTrimWhiteSpace(false); }},
    {"always-arrays", 0, false, [](Settings& s, const std::string&) { s.parser.setAlwaysUseArrays(true); }},
    {"comments", 0, false, [](Settings& s, const std::string&) { s.parser.setPreserveComments(true); }},
    {"wrap-root", 0, false, [](Settings& s, const std::string&) { s.parser.setWrapRootNode(true); }},
    {"to-xml", 0, false, [](Settings& s, const std::string&) { s.toXML = true; }},
    {"compact", 'c', false, [](Settings& s, const std::string&) { s.compact = true; }},
    {"pretty", 0, false, [](Settings& s, const std::string&) { s.compact = false; }},
    {"output", 'o', true, [](Settings& s, const std::string& v) { s.output = v; }},
    {"attributes", 0, true,
     [](Settings& s, const std::string& v) {
         setMode<AttributesMode>("attributes", v,
                                 {{"prefixed", AttributesMode::Prefixed},
                                  {"grouped", AttributesMode::Grouped},
                                  {"unprefixed", AttributesMode::Unprefixed},
                                  {"discard", AttributesMode::Discard}},
                                 &XMLParser::setAttributesMode, s.parser);
     }},
    {"node-names", 0, true,
     [](Settings& s, const std::string& v) {
         setMode<NodeNameMode>("node-names", v,
                               {{"root", NodeNameMode::RootOnly},
                                {"always", NodeNameMode::Always},
                                {"never", NodeNameMode::Never}},
                               &XMLParser::setNodeNameMode, s.parser);
     }},
};

// Converts one input; false (with the reason on stderr) when it failed.
bool convert(const std::string& path, Settings& s, std::string& out) {
    const std::string shown = shownName(path);
    std::string input;
    try {
        input = readInput(path);
    } catch (const FileError& e) {
        std::cerr << "orvalis-xml: " << e.what() << "\n";
        return false;
    }
    if (s.toXML) {
        const Parsed<Value> read = JSONSerialization::JSONObjectWithData(input);
        const std::optional<Value>& tree = read.value;
        if (!read.result || !tree->isDictionary()) {
            std::cerr << "orvalis-xml: " << shown << " is not a JSON object";
            if (!read.result) std::cerr << ": " << read.result.message();
            std::cerr << "\n";
            return false;
        }
        std::optional<XMLWriteError> refused;
        std::optional<std::string> xml = XMLTree::wellFormedXMLString(tree->asDictionary(), refused);
        if (!xml) {
            std::cerr << "orvalis-xml: " << shown << ": " << refused->description() << "; nothing written\n";
            return false;
        }
        out += *xml + "\n";
        return true;
    }
    XMLEventSource source(input);
    std::optional<Dictionary> tree = s.parser.dictionaryWithParser(source);
    if (tree) {
        try {
            out += JSONSerialization::dataWithJSONObject(Value(*tree), !s.compact) + "\n";
        } catch (const JSONSerializationError& e) {
            std::cerr << "orvalis-xml: cannot write the tree of " << shown << " as JSON: " << e.what() << "\n";
            return false;
        }
    }
    if (!source.result().ok()) {
        std::cerr << "orvalis-xml: " << shown << " is not well-formed XML: " << source.result().message() << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::vector<std::string> files;
    try {
        files = parseOptions<Settings>({argv + 1, argv + argc}, kOptions, settings);
    } catch (const UsageError& e) {
        std::cerr << "orvalis-xml: " << e.what() << "\nTry 'orvalis-xml --help'.\n";
        return kExitUsage;
    }
    if (settings.help || settings.version) {
        std::cout << (settings.help ? std::string(kUsage) : versionText("orvalis-xml"));
        return kExitDone;
    }
    if (files.empty()) files.push_back("-");

    std::FILE* out = settings.output == "-" ? stdout : std::fopen(settings.output.c_str(), "wb");
    if (out == nullptr) {
        std::cerr << "orvalis-xml: cannot write " << settings.output << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    bool ok = true;
    for (const std::string& file : files) {
        std::string text;
        ok = convert(file, settings, text) && ok;
        if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) break;
    }
    if (std::fflush(out) != 0 || std::ferror(out) || (out != stdout && std::fclose(out) != 0)) {
        std::cerr << "orvalis-xml: cannot write " << shownName(settings.output) << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    return ok ? kExitDone : kExitFailed;
}
