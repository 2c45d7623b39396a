#pragma once

// One in-process sandbox merchant server per test program (the URL session is
// process-wide), with a merchant key in a temporary resource folder; and the
// collector for operation callbacks (Outcomes.h).
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Outcomes.h>
#include <Sandbox.h>
#include <TestPki.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace orvalis::testsupport {

inline constexpr const char* kSandboxPassword = "pw e2e!";
inline constexpr const char* kSandboxConsumerKey = "ck+e2e!";

struct SandboxWorld {
    TempDir dir;
    std::unique_ptr<sandbox::Sandbox> server;
    std::string host;

    SandboxWorld() {
        Identity merchant = makeSharedRsaIdentity(2048);
        dir.write("merchant.p12", makeP12(merchant.key.get(), merchant.cert.get(), kSandboxPassword));
        sandbox::SandboxOptions o;
        o.merchantCertificatePath = dir.write("merchant.pem", certPem(merchant.cert.get())).string();
        o.consumerKey = kSandboxConsumerKey;
        // Longer than any pause in a test, so that no kept-alive connection is closed under a request
        // (which may have reached it, so it is not sent again); the session closes them when main returns.
        o.keepAlive = std::chrono::seconds(60);
        server = std::make_unique<sandbox::Sandbox>(o);
        std::string error;
        if (!server->start(&error)) throw std::runtime_error(error);
        auto pem = dir.write("sandbox.pem", server->serverCertificatePEM());
        if (!URLSession::sharedSession().configuration().addTrustedCertificates(pem.string()))
            throw std::runtime_error("cannot trust the sandbox certificate");
        Bundle::mainBundle().setResourcePath(dir.path().string());
        setLogHandler(LogHandler());  // full bodies and headers would drown the test output
        host = "127.0.0.1:" + std::to_string(server->port());
    }
    ~SandboxWorld() { server->stop(); }
    /// The bytes of a file the world wrote: "merchant.p12", "merchant.pem".
    std::string file(const std::string& name) const { return *detail::readWholeFile((dir.path() / name).string()); }
};

/// The program's sandbox, started on first use.
inline SandboxWorld& sandboxWorld() {
    static SandboxWorld w;
    return w;
}

/// A request of type R carrying the sandbox's host and the merchant's credentials.
template <class R>
R credentialed() {
    R r;
    r.setHost(sandboxWorld().host);
    r.setConsumerKey(kSandboxConsumerKey);
    r.setMerechantKeyFileName("merchant");
    r.setMerechantKeyFilePassword(kSandboxPassword);
    return r;
}

/// credentialed<R>() with every field the sandbox needs to accept the operation.
template <class R>
R acceptable() {
    R r = credentialed<R>();
    if constexpr (requires { r.setPairingTransactionId("p"); }) r.setPairingTransactionId("ptx");
    if constexpr (requires { r.setUserId("u"); }) r.setUserId("user");
    if constexpr (requires { r.setCheckoutID("c"); }) r.setCheckoutID("chk");
    if constexpr (requires { r.setCheckoutId("c"); }) r.setCheckoutId("chk");
    if constexpr (requires { r.setCartId("c"); }) r.setCartId("cart");
    if constexpr (requires { r.setPairingId("p"); }) r.setPairingId("pair-1");
    if constexpr (requires { r.setTransactionId("t"); }) r.setTransactionId("tx-1");
    return r;
}

}  // namespace orvalis::testsupport
