#pragma once

// Clients that sign with the sandbox merchant's key: against a server, or answered in process by a
// Recorder that keeps every request it was sent.
#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <SandboxWorld.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvalis::testsupport {

/// Signs with the merchant key among the sandbox world's resources, for host.
inline ClientConfiguration merchantConfiguration(std::string host = sandboxWorld().host) {
    sandboxWorld();  // the key's resource folder
    ClientConfiguration c;
    c.host = std::move(host);
    c.consumerKey = kSandboxConsumerKey, c.keyFileName = "merchant", c.keyFilePassword = kSandboxPassword;
    return c;
}

/// Plays the server: keeps each request, runs beforeReply (under its lock), then gives reply.
struct Recorder {
    std::mutex m;
    std::vector<URLRequest> seen;
    AnswererReply reply = AnswererReply::json(R"({"ok":true})");
    std::function<void()> beforeReply;
    Answerer answerer() {
        return [this](const URLRequest& request) {
            std::lock_guard lock(m);
            seen.push_back(request);
            if (beforeReply) beforeReply();
            return reply;
        };
    }
    /// The oauth_nonce the i-th request carried: that attempt's correlation id.
    std::string nonce(std::size_t i) {
        std::lock_guard lock(m);
        return (*detail::parseAuthorizationHeader(*seen.at(i).valueForHTTPHeaderField("Authorization")))["oauth_nonce"];
    }
};

/// A merchant client answered in process by recorder (its host is never reached), retrying at once.
inline ClientConfiguration answered(Recorder& recorder) {
    ClientConfiguration c = merchantConfiguration("api.example.com");
    c.retry.initialBackoff = std::chrono::milliseconds(1);
    c.answerer = recorder.answerer();
    return c;
}

}  // namespace orvalis::testsupport
