#include <Orvalis/Foundation/URLSession.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "TestServer.h"

namespace orvalis::transporttest {
namespace {

// An OpenSSL configuration that would let any client negotiate TLS 1.0 with weak
// ciphers: the session's own floor must still refuse the old-TLS server.
constexpr const char* kPermissiveOpenSSLConf =
    "openssl_conf = default_conf\n[default_conf]\nssl_conf = ssl_sect\n[ssl_sect]\n"
    "system_default = system_default_sect\n[system_default_sect]\nMinProtocol = TLSv1\n"
    "CipherString = DEFAULT@SECLEVEL=0\n";

struct ProbeResult {
    int status;
    std::string output;
};

ProbeResult probe(const std::string& mode, const std::string& url, const std::vector<std::string>& env = {}) {
    TestServer& server = sharedServer();
    ChildProcess child({ORVALIS_TRANSPORT_PROBE, mode, url, server.caFile()}, env);
    std::string out = child.readLine(std::chrono::seconds(30));
    int status = child.wait(std::chrono::seconds(30));
    return {status, out};
}

TEST(TransportProcessTest, OldTlsIsRefusedEvenWhenOpenSSLIsConfiguredToAllowIt) {
    testsupport::TempDir dir;
    const std::string conf = dir.write("openssl.cnf", kPermissiveOpenSSLConf).string();
    TestServer& server = sharedServer();
    ProbeResult old = probe("fetch", server.url("/stats", "tls11"), {"OPENSSL_CONF=" + conf});
    ProbeResult modern = probe("fetch", server.url("/stats"), {"OPENSSL_CONF=" + conf});
    EXPECT_EQ(old.output, "error " + std::to_string(URLErrorSecureConnectionFailed));
    EXPECT_EQ(modern.output, "ok 200");
}

TEST(TransportProcessTest, ExitWithTasksInFlightNeitherCrashesNorHangs) {
    TestServer& server = sharedServer();
    ProbeResult r = probe("exit-in-flight", server.url("/stall"));
    EXPECT_EQ(r.output, "started");
    ASSERT_NE(r.status, -1) << "the process hung at exit";
    ASSERT_TRUE(WIFEXITED(r.status)) << "the process died of signal " << WTERMSIG(r.status);
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
}

TEST(TransportProcessTest, ExitFromInsideACompletionEndsTheProcessCleanly) {
    TestServer& server = sharedServer();
    ProbeResult r = probe("exit-in-callback", server.url("/echo"));
    EXPECT_EQ(r.output, "exiting");
    ASSERT_NE(r.status, -1) << "the process hung at exit";
    ASSERT_TRUE(WIFEXITED(r.status)) << "the process died of signal " << WTERMSIG(r.status);
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
}

}  // namespace
}  // namespace orvalis::transporttest
