// The C interface's test double and signature check.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis_testing.h>
#include <Orvalis/Networking/SignatureCheck.h>
#include <Orvalis/ServiceInfrastructure/Client.h>

#include <string>
#include <vector>

using namespace orvalis;
using orvalis::detail::failWith;
using orvalis::detail::guarded;

namespace {

// The C view of a request: pointers into request and names/values, valid while both live.
orvalis_exchange exchangeOf(const URLRequest& request, std::vector<const char*>& names,
                            std::vector<const char*>& values) {
    for (const auto& [name, value] : request.allHTTPHeaderFields()) {
        names.push_back(name.c_str());
        values.push_back(value.c_str());
    }
    orvalis_exchange out{};
    out.struct_size = sizeof out;
    out.method = request.HTTPMethod().c_str();
    out.url = request.URL().c_str();
    out.header_count = names.size();
    out.header_names = names.data();
    out.header_values = values.data();
    if (request.HTTPBody()) out.body = request.HTTPBody()->data(), out.body_length = request.HTTPBody()->size();
    return out;
}

URLRequest requestOf(const orvalis_exchange& exchange) {
    URLRequest request(exchange.url);
    request.setHTTPMethod(exchange.method != nullptr ? exchange.method : "GET");
    for (size_t i = 0; i < exchange.header_count; ++i) {
        request.setValue(exchange.header_values[i], exchange.header_names[i]);
    }
    if (exchange.body != nullptr) request.setHTTPBody(std::string(exchange.body, exchange.body_length));
    return request;
}

}  // namespace

orvalis_status orvalis_client_config_set_answerer(orvalis_client_config* config, orvalis_answerer answerer,
                                                  void* user_data) {
    if (config == nullptr) return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no configuration");
    return guarded([&] {
        if (answerer == nullptr) {
            config->configuration.answerer = nullptr;
            return ORVALIS_OK;
        }
        config->configuration.answerer = [answerer, user_data](const URLRequest& request) {
            std::vector<const char*> names, values;
            const orvalis_exchange exchange = exchangeOf(request, names, values);
            orvalis_reply out{};
            out.struct_size = sizeof out;
            out.http_status = 200;
            answerer(&exchange, &out, user_data);
            if (out.error_code != 0) return AnswererReply::transportFailure(out.error_code, out.request_sent != 0);
            AnswererReply reply;
            reply.statusCode = out.http_status;
            if (out.content_type != nullptr) reply.headers.emplace_back("Content-Type", out.content_type);
            if (out.body != nullptr) reply.body.assign(out.body, out.body_length);
            return reply;
        };
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_check_signature(const orvalis_exchange* request, const char* certificate_pem,
                                       const char* consumer_key, char** reason_out) {
    if (reason_out != nullptr) *reason_out = nullptr;
    // struct_size first: no field is read that the caller's struct may not have.
    const bool sized = detail::covers(request);
    const bool noHeaders = sized && request->header_count > 0 &&
                           (request->header_names == nullptr || request->header_values == nullptr);
    if (!sized || request->url == nullptr || certificate_pem == nullptr || reason_out == nullptr || noHeaders) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no request, URL, certificate or place for the reason");
    }
    return guarded([&] {
        SignatureCheckOptions options;
        if (consumer_key != nullptr) options.consumerKey = consumer_key;
        if (auto reason = checkRequestSignature(requestOf(*request), certificate_pem, options)) {
            *reason_out = detail::copyForCaller(*reason);
        }
        return ORVALIS_OK;
    });
}
