#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Utils/XMLParser.h>

#include <exception>
#include <utility>

namespace orvalis {
namespace {

constexpr const char* kServerError = "Server Error";

Error serverError() { return Error::withDescription(kZRBNetworkErrorDomain, kZRBNetworkErrorCode, kServerError); }

Error errorWithMessage(const Value& message) {
    return Error(kZRBNetworkErrorDomain, kZRBNetworkErrorCode, Dictionary{{NSLocalizedDescriptionKey, message}});
}

// Bodies are logged as text even when they are not valid UTF-8: each byte that does
// not start a well-formed sequence becomes U+FFFD, so a log sink never sees bad text.
std::string utf8Text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        }
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            ok = k == 1 ? (t >= lo && t <= hi) : (t >= 0x80 && t <= 0xBF);
        }
        if (ok) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
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
    std::optional<Dictionary> root = parser.dictionaryWithData(body);
    if (root && !root->contains("Error")) {
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
        if (logEnabled()) log("Response: " + utf8Text(*data));
        if (std::optional<Value> json = JSONSerialization::JSONObjectWithData(*data)) {
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
    if (request.HTTPBody() && logEnabled()) log("Request : " + utf8Text(*request.HTTPBody()));
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
