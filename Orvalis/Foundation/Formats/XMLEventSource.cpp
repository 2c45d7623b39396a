#include <Orvalis/Foundation/Formats/XMLEventSource.h>
#include <expat.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <new>
#include <vector>

namespace orvalis {
namespace {

// Owner of one expat parser.
class ExpatParser {
public:
    ExpatParser() : p_(XML_ParserCreate(nullptr)) {
        if (!p_) throw std::bad_alloc();
    }
    ExpatParser(ExpatParser&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ExpatParser& operator=(ExpatParser&&) = delete;
    ~ExpatParser() {
        if (p_) XML_ParserFree(p_);
    }
    XML_Parser get() const noexcept { return p_; }

private:
    XML_Parser p_;
};

// Bridges expat's C callbacks to the delegate. Nothing may unwind through
// expat, so every exception is caught, the parser stopped, and the
// exception kept for parse() to rethrow.
struct Bridge {
    XML_Parser parser;
    XMLEventDelegate& delegate;
    std::vector<XMLAttribute> attributes;
    std::exception_ptr failure;
    bool inCDATA = false;
    bool endNames = true;

    template <class F>
    static void guarded(void* user, F&& f) noexcept {
        auto* b = static_cast<Bridge*>(user);
        if (b->failure) return;
        try {
            f(*b);
        } catch (...) {
            b->failure = std::current_exception();
            XML_StopParser(b->parser, XML_FALSE);
        }
    }

    static void onStart(void* user, const XML_Char* name, const XML_Char** atts) {
        guarded(user, [&](Bridge& b) {
            b.attributes.clear();
            for (const XML_Char** a = atts; a && a[0]; a += 2) b.attributes.push_back({a[0], a[1]});
            b.delegate.didStartElement(name, b.attributes);
        });
    }
    static void onEnd(void* user, const XML_Char* name) {
        guarded(user,
                [&](Bridge& b) { b.delegate.didEndElement(b.endNames ? std::string_view(name) : std::string_view()); });
    }
    static void onCharacters(void* user, const XML_Char* s, int len) {
        guarded(user, [&](Bridge& b) {
            std::string_view text(s, static_cast<std::size_t>(len));
            if (b.inCDATA)
                b.delegate.foundCDATA(text);
            else
                b.delegate.foundCharacters(text);
        });
    }
    static void onComment(void* user, const XML_Char* text) {
        guarded(user, [&](Bridge& b) { b.delegate.foundComment(text); });
    }
    static void onStartCDATA(void* user) { static_cast<Bridge*>(user)->inCDATA = true; }
    static void onEndCDATA(void* user) { static_cast<Bridge*>(user)->inCDATA = false; }
};

// expat copies whatever it is given into a buffer of its own. Documents up
// to kOneCall bytes go in one call, the fastest way; larger ones go in
// kChunk pieces, so that copy stays small. (Pieces cost expat a line and
// column count over each, which it skips for a final piece: about half
// again its time on text-heavy documents, hence not for every size.)
constexpr std::size_t kOneCall = std::size_t{16} << 20;
constexpr std::size_t kChunk = std::size_t{1} << 20;
static_assert(kOneCall <= INT_MAX && kChunk <= INT_MAX);

// expat's codes, in the few kinds a host tells apart; the code itself is kept beside.
ParseStatus statusOf(XML_Error code) noexcept {
    switch (code) {
        case XML_ERROR_NO_ELEMENTS: return ParseStatus::Empty;
        case XML_ERROR_UNKNOWN_ENCODING:
        case XML_ERROR_INCORRECT_ENCODING: return ParseStatus::InvalidEncoding;
        case XML_ERROR_JUNK_AFTER_DOC_ELEMENT: return ParseStatus::TrailingData;
        case XML_ERROR_NO_MEMORY: return ParseStatus::TooLarge;
        case XML_ERROR_AMPLIFICATION_LIMIT_BREACH: return ParseStatus::LimitReached;
        default: return ParseStatus::Malformed;
    }
}

}  // namespace

bool XMLEventSource::parse(XMLEventDelegate& delegate) {
    result_ = ParseResult{};

    // No external entity handler is installed, and parameter entities stay
    // unparsed: nothing outside the document is ever read. Expat's
    // entity-amplification limit is left at its default (on).
    ExpatParser owner;
    XML_Parser p = owner.get();
    Bridge bridge{p, delegate, {}, nullptr, false, delegate.wantsEndElementName()};
    XML_SetUserData(p, &bridge);
    XML_SetElementHandler(p, &Bridge::onStart, &Bridge::onEnd);
    XML_SetCharacterDataHandler(p, &Bridge::onCharacters);
    XML_SetCommentHandler(p, &Bridge::onComment);
    XML_SetCdataSectionHandler(p, &Bridge::onStartCDATA, &Bridge::onEndCDATA);
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);

    const std::size_t piece = document_.size() <= kOneCall ? kOneCall : kChunk;
    std::size_t offset = 0;
    bool ok = true;
    do {
        std::size_t n = std::min(piece, document_.size() - offset);
        bool last = offset + n == document_.size();
        if (XML_Parse(p, document_.data() + offset, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK) {
            ok = false;
            break;
        }
        offset += n;
    } while (offset < document_.size());

    if (bridge.failure) std::rethrow_exception(bridge.failure);
    if (!ok) {
        const XML_Error code = XML_GetErrorCode(p);
        const XML_LChar* text = XML_ErrorString(code);
        result_.status = statusOf(code);
        result_.readerCode = static_cast<int>(code);
        result_.offset = static_cast<std::uint64_t>(std::max<XML_Index>(XML_GetCurrentByteIndex(p), 0));
        result_.line = static_cast<std::int64_t>(XML_GetCurrentLineNumber(p));
        result_.column = static_cast<std::int64_t>(XML_GetCurrentColumnNumber(p));
        result_.description = text ? text : "unknown error";
    }
    return ok;
}

}  // namespace orvalis
