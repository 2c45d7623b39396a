#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/ServiceInfrastructure/Answerer.h>

namespace orvalis {

AnswererReply AnswererReply::json(std::string body, long status) {
    AnswererReply reply;
    reply.statusCode = status;
    reply.headers = {{"Content-Type", "application/json"}};
    reply.body = std::move(body);
    return reply;
}

AnswererReply AnswererReply::transportFailure(std::int64_t code, bool sent) {
    AnswererReply reply;
    reply.failure = Error::withDescription(URLErrorDomain, code, "The exchange failed (answered in-process).");
    reply.requestSent = sent;
    return reply;
}

}  // namespace orvalis
