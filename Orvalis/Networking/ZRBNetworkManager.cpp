#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Foundation/detail/UTF8.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Foundation/detail/DecodeBudget.h>
#include <Orvalis/Utils/XMLParser.h>

#include <exception>
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

// Steps on a decoded JSON answer; may throw (host callbacks included).
void handleJSON(const Value& json, const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    if (json.isArray()) {
        // The services answer with objects; an empty array carries no error, and a
        // non-empty one cannot be delivered as a Dictionary.
        if (json.asArray().empty()) {
            onSuccess(Dictionary());
        } else {
            onFailure(serverError());
        }
        return;
    }
    Dictionary object = json.asDictionary();
    const Value* errors = object.find("errors");
    if (errors == nullptr || (errors->isArray() && errors->asArray().empty()) ||
        (errors->isDictionary() && errors->asDictionary().empty())) {
        onSuccess(object);
        return;
    }
    if (errors->isArray()) {
        onFailure(errorFromFirst(errors->asArray()[0]));
        return;
    }
    onFailure(serverError());
}

void handleXML(std::string_view body, const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    XMLParser parser;
    XMLEventSource source(body);
    std::optional<Dictionary> root;
    try {
        detail::DecodeBudget budget = answerBudget(body.size());
        root = parser.dictionaryWithParser(source);
    } catch (const detail::DecodeBudgetExceeded&) {
        onFailure(answerTooLargeError());
        return;
    }
    // Only a well-formed document is an answer: a cut-off one or an HTML
    // error page would be delivered as part of a tree.
    if (root && !source.error() && !root->contains("Error")) {
        onSuccess(*root);
    } else {
        onFailure(serverError());
    }
}

void complete(const std::optional<std::string>& data, const std::optional<Error>& error,
              const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    if (error) {
        onFailure(*error);
        return;
    }
    if (!data) {
        onFailure(serverError());
        return;
    }
    try {
        if (logEnabled()) log("Response: " + detail::validUTF8Text(*data));
        std::optional<Value> json;
        try {
            detail::DecodeBudget budget = answerBudget(data->size());
            json = JSONSerialization::JSONObjectWithData(*data);
        } catch (const detail::DecodeBudgetExceeded&) {
            onFailure(answerTooLargeError());  // never a partial answer, and no XML reading either
            return;
        }
        if (json) {
            handleJSON(*json, onSuccess, onFailure);
            return;
        }
    } catch (...) {
        // Whatever failed on the JSON branch, the host's callback included, the
        // answer gets its XML reading; a JSON body ends there as "Server Error".
    }
    handleXML(*data, onSuccess, onFailure);
}

}  // namespace

void detail::runCompletionSteps(const std::optional<std::string>& data, const std::optional<Error>& error,
                                const SuccessCallback& onSuccess, const FailureCallback& onFailure) {
    complete(data, error, onSuccess, onFailure);
}

void ZRBNetworkManager::executeService(const URLRequest& request, SuccessCallback onSuccess,
                                       FailureCallback onFailure) {
    // The shared session is fixed at TLS 1.2 or later for every connection.
    URLSession& session = URLSession::sharedSession();
    if (request.HTTPBody() && logEnabled()) log("Request : " + detail::validUTF8Text(*request.HTTPBody()));
    session
        .dataTaskWithRequest(request, [onSuccess = std::move(onSuccess), onFailure = std::move(onFailure)](
                                          std::optional<std::string> data, std::optional<HTTPURLResponse>,
                                          std::optional<Error> error) { complete(data, error, onSuccess, onFailure); })
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
