// How a host process that uses the session ends, and what it leaves behind, watched from outside
// (transport_probe in a child process).
#include <Printers.h>
#include <TestServer.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace orvalis::testsupport {
namespace {

Ended probe(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.push_back(sharedServer().caFile());
    return runChild(args, env);
}

void expectCleanExit(const Ended& e) {
    ASSERT_TRUE(WIFEXITED(e.status)) << "the process died of signal " << WTERMSIG(e.status) << "\n" << e.out;
    EXPECT_EQ(WEXITSTATUS(e.status), 0) << e.out;
}

TEST(Process, OldTlsIsRefusedEvenWhenOpenSSLIsConfiguredToAllowIt) {
    TempDir dir;  // a configuration that would let any client negotiate TLS 1.0 with weak ciphers
    const std::string conf = dir.write("openssl.cnf",
                                    "openssl_conf = default_conf\n[default_conf]\nssl_conf = ssl_sect\n[ssl_sect]\n"
                                    "system_default = system_default_sect\n[system_default_sect]\nMinProtocol = TLSv1\n"
                                    "CipherString = DEFAULT@SECLEVEL=0\n")
                                 .string();
    Ended old = probe({ORVALIS_PROBE, "fetch", sharedServer().url("/stats", "tls11")}, {"OPENSSL_CONF=" + conf});
    Ended modern = probe({ORVALIS_PROBE, "fetch", sharedServer().url("/stats")}, {"OPENSSL_CONF=" + conf});
    EXPECT_EQ(old.out, "error " + std::to_string(URLErrorSecureConnectionFailed) + "\n");
    EXPECT_EQ(modern.out, "ok 200\n");
}

// A client whose proxy is "" goes direct although https_proxy names one, which a request without the
// client's settings follows (to a port where nothing listens).
TEST(Process, AClientWithoutProxyGoesDirectWhateverTheEnvironmentSays) {
    const std::vector<std::string> env{"https_proxy=http://" + sharedServer().host("closed"), "no_proxy=", "NO_PROXY="};
    EXPECT_EQ(probe({ORVALIS_PROBE, "direct", sharedServer().url("/stats")}, env).out, "ok 200\n");
    EXPECT_EQ(probe({ORVALIS_PROBE, "fetch", sharedServer().url("/stats")}, env).out,
        "error " + std::to_string(URLErrorCannotConnectToHost) + "\n");
}

struct Exit {
    const char* name;
    const char* mode;
    const char* path;  // on the test server
    const char* port;
    const char* out;  // everything the probe prints; a completion after main returned would print "late"
};
class ProcessExit : public ::testing::TestWithParam<Exit> {};

TEST_P(ProcessExit, NeitherCrashesNorHangsNorCallsBackLate) {
    const Exit& e = GetParam();
    if (kThreadSanitized && std::string(e.mode) == "fork") GTEST_SKIP() << "no thread starts in a forked child";
    Ended ended = probe({ORVALIS_PROBE, e.mode, sharedServer().url(e.path, e.port)});
    EXPECT_EQ(ended.out, e.out);
    expectCleanExit(ended);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProcessExit,
    ::testing::Values(Exit{"WithTasksInFlight", "exit-in-flight", "/stall", "good", "started\n"},
        Exit{"FromInsideACompletion", "exit-in-callback", "/echo", "good", "exiting\n"},
        Exit{"WhileTheHostsOwnExitWorkRuns", "host-exit-work", "/echo", "good", "exiting\n"},
        Exit{"WhileACompletionOutlastsTheExitWait", "slow-exit", "/", "closed", "exiting\n"},
        Exit{"WhileALargeAnswerDecodes", "exit-mid-decode", "/reply", "good", "exiting\n"},
        Exit{"WithSignaturesQueuedAndRunning", "exit-signing", "/", "good", "exiting\n"},
        Exit{"OfForkedChildrenWithATransferInFlight", "fork", "/json", "good",
            "child ok 200\nchild exited\nparent ok 200\n"}),
    RowName());

TEST(Process, MemcheckFindsNoLeakAndNoErrorOverFaultyAnswers) {
#ifndef ORVALIS_VALGRIND
    GTEST_SKIP() << "memcheck runs in the GCC build without sanitizers, where valgrind is installed";
#else
    const std::string base = sharedServer().url("", "plain");
    Ended e = probe({ORVALIS_VALGRIND, "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
        "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99", "--quiet", ORVALIS_PROBE, "faults", base});
    expectCleanExit(e);
#endif
}

}  // namespace
}  // namespace orvalis::testsupport
