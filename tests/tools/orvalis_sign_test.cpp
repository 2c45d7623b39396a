// orvalis-sign: the printed base string is the one that was signed, the header
// and the curl command carry that signature, and bad command lines fail
// clearly without printing a request.
#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/Log.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SignCommand.h"

namespace fs = std::filesystem;
using orvalis::tools::runSign;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

void writeFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

// Runs a shell command line; returns its exit status and standard output.
std::pair<int, std::string> shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, output};
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// The line that follows a section title in the tool's output.
std::string section(const std::string& out, const std::string& title) {
    auto at = out.find("\n" + title + "\n");
    if (at == std::string::npos) return {};
    at += title.size() + 2;
    return out.substr(at, out.find('\n', at) - at);
}

std::string headerField(const std::string& header, const std::string& name) {
    std::smatch m;
    std::regex re(name + "=\"([^\"]*)\"");
    return std::regex_search(header, m, re) ? m[1].str() : std::string("<absent>");
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string base64Decode(const std::string& text) {
    std::string out(text.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    std::size_t pad = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string base64Encode(const unsigned char* bytes, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(size));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool verifies(const fs::path& publicKey, const std::string& message, const std::string& signature,
              const EVP_MD* digest) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(publicKey.c_str(), "r"), &std::fclose);
    if (!f) return false;
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(PEM_read_PUBKEY(f.get(), nullptr, nullptr, nullptr),
                                                       &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, digest, nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

class OrvalisSign : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::temp_directory_path() / ("orvalis-sign-test-" + std::to_string(::getpid())));
        fs::create_directories(*dir_);
        const std::string d = dir_->string();
        // A throw-away merchant key: RSA key, self-signed certificate, PKCS#12 file.
        const std::string commands =
            "cd '" + d + "' && " +
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=merchant -days 2 "
            ">/dev/null 2>&1 && "
            "openssl pkcs12 -export -inkey key.pem -in cert.pem -out merchant.p12 -passout pass:s3cret "
            ">/dev/null 2>&1 && "
            "openssl pkey -in key.pem -pubout -out public.pem >/dev/null 2>&1 && "
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.pem -out ec-cert.pem "
            "-subj /CN=merchant -days 2 >/dev/null 2>&1 && "
            "openssl pkcs12 -export -inkey ec.pem -in ec-cert.pem -out ec.p12 -passout pass:s3cret >/dev/null 2>&1 && "
            "printf 's3cret\\n' > password.txt";
        ready_ = std::system(commands.c_str()) == 0;
    }

    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(*dir_, ec);
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(ready_) << "could not make a test key with the openssl command";
        savedResources_ = orvalis::Bundle::mainBundle().resourcePath();
    }

    void TearDown() override {
        orvalis::Bundle::mainBundle().setResourcePath(savedResources_);
        orvalis::resetLogHandler();
    }

    static Outcome run(std::vector<std::string> args) {
        std::ostringstream out, err;
        int status = runSign(args, out, err);
        return {status, out.str(), err.str()};
    }

    static std::vector<std::string> credentials() {
        return {"--consumer-key", "CK!", "--key", path("merchant.p12"), "--password-file", path("password.txt")};
    }

    static std::string path(const std::string& name) { return (*dir_ / name).string(); }

    static fs::path* dir_;
    static bool ready_;
    std::string savedResources_;
};

fs::path* OrvalisSign::dir_ = nullptr;
bool OrvalisSign::ready_ = false;

TEST_F(OrvalisSign, GetBaseStringIsExactAndItsSignatureVerifies) {
    std::vector<std::string> args = {"--url", "https://h.example/quorvex/pairingid?pairingTransactionId=t%2B2",
                                     "--query", "userId=a/b"};
    for (auto& a : credentials()) args.push_back(a);
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const std::string base = section(r.out, "Signature base string");
    const std::string header = section(r.out, "Authorization header");
    ASSERT_EQ(header.rfind("Authorization: OAuth ", 0), 0u) << r.out;
    const std::string nonce = headerField(header, "oauth_nonce");
    const std::string timestamp = headerField(header, "oauth_timestamp");
    EXPECT_EQ(base, "GET&https%3A%2F%2Fh.example%2Fquorvex%2Fpairingid&oauth_consumer_key%3DCK%2521%26oauth_nonce%3D" +
                        nonce + "%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D" + timestamp +
                        "%26oauth_version%3D1.0%26pairingTransactionId%3Dt%252B2%26userId%3Da%252Fb");
    EXPECT_EQ(headerField(header, "oauth_consumer_key"), "CK%21");
    EXPECT_EQ(headerField(header, "oauth_body_hash"), "<absent>");

    const std::string signature = base64Decode(percentDecode(headerField(header, "oauth_signature")));
    ASSERT_EQ(signature.size(), 256u);
    EXPECT_TRUE(verifies(*dir_ / "public.pem", base, signature, EVP_sha1()));
    EXPECT_FALSE(verifies(*dir_ / "public.pem", base + "x", signature, EVP_sha1()));

    // The parameter listing shows each value as given and as the base string writes it.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  pairingTransactionId += t%2B2  ->  t%252B2\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  userId += a/b  ->  a%252Fb\n"))) << r.out;
    EXPECT_FALSE(std::regex_search(r.out, std::regex("\n  oauth_signature +="))) << r.out;

    const std::string curl = section(r.out, "curl command");
    EXPECT_NE(curl.find("'https://h.example/quorvex/pairingid?"), std::string::npos) << curl;
    EXPECT_EQ(curl.find("-X POST"), std::string::npos);
    EXPECT_EQ(curl.find("Content-Type"), std::string::npos);
}

TEST_F(OrvalisSign, PostSignsTheBodyHashAndTheCurlLineSendsTheSameBytes) {
    const std::string bodyPath = path("my body's.json");
    const std::string body = "{\"amount\": 1.5, \"name\": \"Zo\xC3\xAB\"}\n";
    writeFile(bodyPath, body);
    std::vector<std::string> args = {"--host", "h.example", "--path", "/quorvex/expresscheckout", "--body", bodyPath};
    for (auto& a : credentials()) args.push_back(a);
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;

    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    const std::string hash = base64Encode(digest, sizeof digest);
    std::string twice;
    for (char c : hash) {
        twice += c == '+' ? "%252B" : c == '/' ? "%252F" : c == '=' ? "%253D" : std::string(1, c);
    }
    const std::string base = section(r.out, "Signature base string");
    const std::string header = section(r.out, "Authorization header");
    EXPECT_EQ(base, "POST&https%3A%2F%2Fh.example%2Fquorvex%2Fexpresscheckout&oauth_body_hash%3D" + twice +
                        "%26oauth_consumer_key%3DCK%2521%26oauth_nonce%3D" + headerField(header, "oauth_nonce") +
                        "%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D" +
                        headerField(header, "oauth_timestamp") + "%26oauth_version%3D1.0");
    EXPECT_EQ(headerField(header, "oauth_body_hash"), hash);
    const std::string signature = base64Decode(percentDecode(headerField(header, "oauth_signature")));
    EXPECT_TRUE(verifies(*dir_ / "public.pem", base, signature, EVP_sha1()));

    // The shell must split the curl line into exactly these words.
    const std::string curl = section(r.out, "curl command");
    ASSERT_EQ(curl.rfind("curl ", 0), 0u);
    writeFile(path("words.sh"), "printf '%s\\n'" + curl.substr(4) + "\n");
    auto [status, words] = shell("sh '" + path("words.sh") + "'");
    ASSERT_EQ(status, 0);
    EXPECT_EQ(words, "-H\n" + header + "\n-H\nContent-Type: application/json\n--data-binary\n@" + bodyPath +
                         "\nhttps://h.example/quorvex/expresscheckout\n");
}

TEST_F(OrvalisSign, Sha256SignsWithSha256AndHashesTheBodyWithIt) {
    writeFile(path("body.xml"), "<a/>");
    std::vector<std::string> args = {"--url",          "http://h.example/p", "--method", "POST",    "--body",
                                     path("body.xml"), "--content-type",     "xml",      "--sha256"};
    for (auto& a : credentials()) args.push_back(a);
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string base = section(r.out, "Signature base string");
    const std::string header = section(r.out, "Authorization header");
    EXPECT_EQ(base.rfind("POST&http%3A%2F%2Fh.example%2Fp&oauth_body_hash%3D", 0), 0u) << base;
    EXPECT_EQ(headerField(header, "oauth_signature_method"), "RSA-SHA256");
    EXPECT_EQ(headerField(header, "oauth_body_hash").size(), 44u);
    const std::string signature = base64Decode(percentDecode(headerField(header, "oauth_signature")));
    EXPECT_TRUE(verifies(*dir_ / "public.pem", base, signature, EVP_sha256()));
    EXPECT_FALSE(verifies(*dir_ / "public.pem", base, signature, EVP_sha1()));
    EXPECT_NE(section(r.out, "curl command").find("'Content-Type: application/xml;charset=UTF-8'"), std::string::npos);
}

TEST_F(OrvalisSign, PostWithoutBodyCarriesNoBodyHashAndCurlStillPosts) {
    std::vector<std::string> args = {"--url", "https://h.example/p", "--method", "POST"};
    for (auto& a : credentials()) args.push_back(a);
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string base = section(r.out, "Signature base string");
    const std::string header = section(r.out, "Authorization header");
    EXPECT_EQ(base.rfind("POST&https%3A%2F%2Fh.example%2Fp&oauth_consumer_key%3D", 0), 0u) << base;
    EXPECT_EQ(headerField(header, "oauth_body_hash"), "<absent>");
    EXPECT_TRUE(verifies(*dir_ / "public.pem", base,
                         base64Decode(percentDecode(headerField(header, "oauth_signature"))), EVP_sha1()));
    const std::string curl = section(r.out, "curl command");
    EXPECT_EQ(curl.rfind("curl -X POST -H ", 0), 0u) << curl;
    EXPECT_EQ(curl.find("--data-binary"), std::string::npos) << curl;
}

TEST_F(OrvalisSign, AKeyThatCannotBeUnlockedFailsWithoutPrintingARequest) {
    writeFile(path("wrong.txt"), "not-the-password\n");
    writeFile(path("garbage.p12"), "this is not a PKCS#12 file");
    struct Case {
        std::string key, password, reason;
    };
    const std::vector<Case> cases = {
        {path("merchant.p12"), path("wrong.txt"), "could not be unlocked with this password"},
        {path("garbage.p12"), path("password.txt"), "could not be unlocked with this password"},
        {path("ec.p12"), path("password.txt"), "is not an RSA key"},
    };
    for (const auto& c : cases) {
        Outcome r = run(
            {"--url", "https://h.example/p", "--consumer-key", "CK", "--key", c.key, "--password-file", c.password});
        EXPECT_EQ(r.status, 1) << c.key;
        EXPECT_EQ(r.out, "") << c.key;
        EXPECT_NE(r.err.find("no signature was made"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
}

TEST_F(OrvalisSign, BadCommandLinesAreRefusedWithAReason) {
    writeFile(path("body.json"), "{}");
    writeFile(path("merchant.pem.key"), "x");
    const std::vector<std::string> key = {"--key", path("merchant.p12"), "--password-file", path("password.txt")};
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"--url", "https://h/p", "--consumer-key", "CK"}, ""},
        {{"--url", "ftp://h/p", "--consumer-key", "CK"}, "https:// or http://"},
        {{"--url", "https:///p", "--consumer-key", "CK"}, "no host"},
        {{"--url", "https://h/p#frag", "--consumer-key", "CK"}, "fragment"},
        {{"--host", "https://h", "--path", "/p", "--consumer-key", "CK"}, "bare host"},
        {{"--host", "h", "--path", "p", "--consumer-key", "CK"}, "begin with \"/\""},
        {{"--url", "https://h/p", "--host", "h", "--consumer-key", "CK"}, "either --url"},
        {{"--url", "https://h/p", "--method", "PUT", "--consumer-key", "CK"}, "GET or POST"},
        {{"--url", "https://h/p", "--method", "GET", "--body", "b", "--consumer-key", "CK"}, "has no body"},
        {{"--url", "https://h/p?a=1", "--method", "POST", "--consumer-key", "CK"}, "no query parameters"},
        {{"--url", "https://h/p?a=1", "--query", "a=2", "--consumer-key", "CK"}, "given twice"},
        {{"--url", "https://h/p", "--query", "novalue", "--consumer-key", "CK"}, "name=value"},
        {{"--url", "https://h/p"}, "--consumer-key is required"},
        {{"--url", "https://h/p", "--consumer-key"}, "needs a value"},
        {{"--url", "https://h/p", "--consumer-key", "CK", "--frobnicate"}, "unknown argument --frobnicate"},
        {{"--url", "https://h/p", "--method", "POST", "--body", "no-such-body", "--consumer-key", "CK"},
         "cannot read the body file"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        // The key goes first, so that a case can end on an option without its value.
        std::vector<std::string> args = key;
        if (i == 0) args = {"--key", path("merchant.pem.key"), "--password", "x"};  // wrong name only
        args.insert(args.end(), cases[i].args.begin(), cases[i].args.end());
        Outcome r = run(args);
        const std::string reason = i == 0 ? "must be named <name>.p12" : cases[i].reason;
        EXPECT_EQ(r.status, 2) << reason;
        EXPECT_EQ(r.out, "") << reason;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }

    // Exactly one way of giving the password.
    Outcome both = run({"--url", "https://h/p", "--consumer-key", "CK", "--key", path("merchant.p12"), "--password",
                        "s3cret", "--password-file", path("password.txt")});
    Outcome none = run({"--url", "https://h/p", "--consumer-key", "CK", "--key", path("merchant.p12")});
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(none.status, 2);
    Outcome missingKey =
        run({"--url", "https://h/p", "--consumer-key", "CK", "--key", path("absent.p12"), "--password", "x"});
    EXPECT_EQ(missingKey.status, 2);
    EXPECT_NE(missingKey.err.find("cannot find the key file"), std::string::npos) << missingKey.err;
}

TEST_F(OrvalisSign, ExecutableReportsUsageAndExitStatus) {
    auto [helpStatus, help] = shell("'" ORVALIS_SIGN_EXE "' --help");
    EXPECT_EQ(helpStatus, 0);
    EXPECT_NE(help.find("usage:"), std::string::npos);
    auto [badStatus, bad] = shell("'" ORVALIS_SIGN_EXE "' --url ftp://x 2>&1");
    EXPECT_EQ(badStatus, 2);
    EXPECT_NE(bad.find("orvalis-sign: "), std::string::npos) << bad;
    auto [okStatus, ok] = shell("'" ORVALIS_SIGN_EXE "' --url https://h.example/p --consumer-key CK --key '" +
                                path("merchant.p12") + "' --password-file '" + path("password.txt") + "'");
    EXPECT_EQ(okStatus, 0);
    EXPECT_NE(ok.find("\nSignature base string\nGET&https%3A%2F%2Fh.example%2Fp&oauth_consumer_key%3DCK%26"),
              std::string::npos)
        << ok;
}

}  // namespace
