#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Value/detail/DecodeBudget.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/detail/AnswerDecoding.h>
#include <Orvalis/Utils/XMLParser.h>

#include <exception>
#include <memory>
#include <utility>

namespace orvalis {
namespace {

constexpr const char* kServerError = "Server Error";

Error serverError() { return Error::withDescription(kZRBNetworkErrorDomain, kZRBNetworkErrorCode, kServerError); }

Error answerTooLargeError() {
    return Error::withDescription(kZRBNetworkErrorDomain, kZRBNetworkAnswerTooLargeErrorCode,
                                  "Answer too large to decode");
}

// The memory an answer of n bytes may take as Values while it is decoded.
// The densest answers measured (millions of empty objects or one-child
// elements) take up to about 6 times their size; the allowance on top lets
// small answers of any shape through. The reader's own buffers (expat's copy
// of the document, about once its size; a transient copy of a growing
// array) come on top: 8 times in all.
detail::DecodeBudget answerBudget(std::size_t n) {
    const auto limit = static_cast<std::size_t>(kAnswerDecodingFactor * static_cast<double>(n));
    return detail::DecodeBudget(limit + (std::size_t{1} << 20), JSONSerialization::kMaxDepth);
}

Error errorWithMessage(const Value& message) {
    return Error(kZRBNetworkErrorDomain, kZRBNetworkErrorCode, Dictionary{{NSLocalizedDescriptionKey, message}});
}


// The message for the first entry of a non-empty "errors" array.
Error errorFromFirst(const Value& first) {
    if (first.isDictionary()) {
        if (const Value* description = first.asDictionary().find("description")) return errorWithMessage(*description);
        return serverError();
    }
    if (first.isString()) return errorWithMessage(first);
    if (first.isNumber()) return errorWithMessage(Value(first.description()));
    return serverError();
}

detail::DecodedAnswer failed(Error error) {
    detail::DecodedAnswer out;
    out.error = std::move(error);
    return out;
}

detail::DecodedAnswer succeeded(Dictionary answer) {
    detail::DecodedAnswer out;
    out.answer = std::move(answer);
    return out;
}

detail::DecodedAnswer fromJSON(const Value& json) {
    detail::DecodedAnswer out;
    if (json.isArray()) {
        // The services answer with objects; an empty array carries no error, and a
        // non-empty one cannot be delivered as a Dictionary.
        out = json.asArray().empty() ? succeeded(Dictionary()) : failed(serverError());
    } else {
        Dictionary object = json.asDictionary();
        const Value* errors = object.find("errors");
        if (errors == nullptr || (errors->isArray() && errors->asArray().empty()) ||
            (errors->isDictionary() && errors->asDictionary().empty())) {
            out = succeeded(std::move(object));
        } else if (errors->isArray()) {
            const Value first = errors->asArray()[0];
            out = failed(errorFromFirst(first));
            if (first.isDictionary()) out.serverErrorEntry = first.asDictionary();
        } else {
            out = failed(serverError());
        }
    }
    out.readAsJSON = true;
    return out;
}

// The Error element of an XML answer, whole (the first of several).
std::optional<Dictionary> errorElement(const Dictionary& root) {
    const Value* entry = root.find("Error");
    if (entry == nullptr) return std::nullopt;
    if (entry->isDictionary()) return entry->asDictionary();
    if (entry->isArray()) {
        const Array repeated = entry->asArray();
        if (!repeated.empty() && repeated[0].isDictionary()) return repeated[0].asDictionary();
    }
    return std::nullopt;
}

detail::DecodedAnswer fromXML(std::string_view body) {
    XMLParser parser;
    XMLEventSource source(body);
    std::optional<Dictionary> root;
    try {
        detail::DecodeBudget budget = answerBudget(body.size());
        root = parser.dictionaryWithParser(source);
    } catch (const detail::DecodeBudgetExceeded&) {
        return failed(answerTooLargeError());
    }
    // Only a well-formed document is an answer: a cut-off one or an HTML
    // error page would be delivered as part of a tree.
    if (root && source.result().ok() && !root->contains("Error")) return succeeded(std::move(*root));
    detail::DecodedAnswer out = failed(serverError());
    if (root && source.result().ok()) out.serverErrorEntry = errorElement(*root);
    return out;
}

// Runs the callback for decoded; may throw what the callback throws.
void call(const detail::DecodedAnswer& decoded, const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    if (decoded.answer) {
        onSuccess(*decoded.answer);
    } else {
        onFailure(*decoded.error);
    }
}

// The callback facade's delivery. Whatever failed on the JSON branch, the
// host's callback included, the answer gets its XML reading (readAgain reads
// it and calls back); a JSON body ends there as "Server Error".
template <class ReadAgain>
void deliver(const detail::DecodedAnswer& decoded, const SuccessCallback& onSuccess, const FailureCallback& onFailure,
             ReadAgain&& readAgain) {
    if (decoded.readAsJSON) {
        const char* which = decoded.answer ? "success" : "failure";
        try {
            call(decoded, onSuccess, onFailure);
            return;
        } catch (const std::exception& e) {
            log(std::string("ZRBNetworkManager: the ") + which + " callback threw (" + e.what() +
                "); the answer is read again as XML");
        } catch (...) {
            log(std::string("ZRBNetworkManager: the ") + which +
                " callback threw a non-standard exception; the answer is read again as XML");
        }
        readAgain();
        return;
    }
    call(decoded, onSuccess, onFailure);
}

// A transfer's completion, on the delivery thread: a large answer is decoded
// (and read again) on a decode thread, its callback still runs on this one.
void complete(std::optional<std::string> data, const std::optional<Error>& error, const SuccessCallback& onSuccess,
              const FailureCallback& onFailure) {
    auto body = std::make_shared<const std::optional<std::string>>(std::move(data));
    const std::size_t bytes = *body ? (*body)->size() : 0;
    detail::decodeThenDeliver(
        bytes, [body, error] { return detail::decodeAnswer(*body, error); },
        [body, bytes, onSuccess, onFailure](const detail::DecodedAnswer& decoded) {
            deliver(decoded, onSuccess, onFailure, [&] {
                detail::decodeThenDeliver(
                    bytes, [body] { return detail::decodeXMLAnswer(**body); },
                    [onSuccess, onFailure](const detail::DecodedAnswer& again) { call(again, onSuccess, onFailure); });
            });
        });
}

}  // namespace

detail::DecodedAnswer detail::decodeXMLAnswer(std::string_view body) noexcept {
    try {
        return fromXML(body);
    } catch (...) {
        // Out of memory while building the tree: nothing of it is delivered.
        return failed(serverError());
    }
}

detail::DecodedAnswer detail::decodeAnswer(const std::optional<std::string>& data,
                                           const std::optional<Error>& error) noexcept {
    if (error) return failed(*error);
    if (!data) return failed(serverError());
    try {
        if (logEnabled()) log("Response: " + detail::validUTF8Text(*data));
        Parsed<Value> json;
        {
            detail::DecodeBudget budget = answerBudget(data->size());
            json = JSONSerialization::JSONObjectWithData(*data);
        }
        // Never a partial answer, and no XML reading either.
        if (json.result.status == ParseStatus::TooLarge) return failed(answerTooLargeError());
        if (json.value) return fromJSON(*json.value);
    } catch (...) {
        // Whatever failed on the JSON branch, the answer gets its XML reading.
    }
    return decodeXMLAnswer(*data);
}

void detail::runCompletionSteps(const std::optional<std::string>& data, const std::optional<Error>& error,
                                const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    deliver(decodeAnswer(data, error), onSuccess, onFailure,
            [&] { call(decodeXMLAnswer(*data), onSuccess, onFailure); });
}

void ZRBNetworkManager::executeService(const URLRequest& request, SuccessCallback onSuccess,
                                       FailureCallback onFailure) {
    // The shared session is fixed at TLS 1.2 or later for every connection.
    URLSession& session = URLSession::sharedSession();
    if (request.HTTPBody() && logEnabled()) log("Request : " + detail::validUTF8Text(*request.HTTPBody()));
    session
        .dataTaskWithRequest(
            request, [onSuccess = std::move(onSuccess), onFailure = std::move(onFailure)](
                         std::optional<std::string> data, std::optional<HTTPURLResponse>,
                         std::optional<Error> error) { complete(std::move(data), error, onSuccess, onFailure); })
        .resume();
}

URLRequest ZRBNetworkManager::getJSONPostRequest(const std::string& url,
                                                 const std::optional<Dictionary>& requestparama) {
    URLRequest request(url);
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    if (requestparama) {
        try {
            request.setHTTPBody(JSONSerialization::dataWithJSONObject(Value(*requestparama), true));
        } catch (const std::exception& e) {
            log(std::string("NSJSONSerialization error:") + e.what());
        }
    }
    return request;
}

}  // namespace orvalis
