#include "Sandbox.h"
#include <Orvalis/Foundation/Crypto/detail/Handles.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>

#include "Pki.h"

namespace orvalis::sandbox {
namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, detail::Deleter<EVP_PKEY_free>>;
using detail::BioPtr;
using detail::X509Ptr;

std::string opensslError() {
    unsigned long e = ERR_get_error();
    if (e == 0) return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

// The file's bytes ("-": standard input), or no value with errno saying why.
std::optional<std::string> readFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(path == "-" ? stdin : std::fopen(path.c_str(), "rb"),
                                            path == "-" ? [](FILE*) { return 0; } : &std::fclose);
    if (!f) return std::nullopt;
    std::string data;
    char buffer[16384];
    std::size_t n;
    errno = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) data.append(buffer, n);
    if (std::ferror(f.get())) {
        if (errno == 0) errno = EIO;
        return std::nullopt;
    }
    return data;
}

// A throwaway self-signed server identity for 127.0.0.1, localhost and the address listened on.
bool makeSelfSigned(PkeyPtr& key, X509Ptr& cert, const std::string& address, std::string* error) {
    pki::CertOptions o;
    o.commonName = "orvalis-sandbox";
    o.dnsNames = {"localhost"};
    o.ipAddresses = {"127.0.0.1"};
    unsigned char ip[16];
    const bool literal = inet_pton(AF_INET, address.c_str(), ip) == 1 || inet_pton(AF_INET6, address.c_str(), ip) == 1;
    if (address != "127.0.0.1") (literal ? o.ipAddresses : o.dnsNames).push_back(address);
    o.notAfterOffset = 7L * 24 * 3600;
    o.isCA = o.servesTLS = true;  // its own trust anchor for the clients
    o.serial = 0;
    try {
        key = pki::makeEcKey();  // P-256: quick to make, which keeps test servers quick to start
        cert = pki::makeSelfSignedCert(key.get(), o);
        return true;
    } catch (const std::exception& e) {
        *error = std::string("cannot make a server certificate: ") + e.what();
        return false;
    }
}

constexpr std::size_t kRecordLimit = 100000;
// With a charset the server library leaves answers uncompressed: a sandbox
// spending its CPU on compression would only disturb clients' measurements.
constexpr const char* kJsonType = "application/json;charset=UTF-8";
constexpr const char* kXmlType = "application/xml;charset=UTF-8";

struct Operation {
    const char* name;
    const char* method;
    const char* path;  // exact path, or prefix when byPrefix
    bool byPrefix;
    const char* contentType;  // required for POSTs
    std::vector<const char*> requiredQuery;
};

const std::vector<Operation>& operations() {
    // Never destroyed: a request still being answered while the process exits
    // (a delayed answer, say) must not read a table that exit already freed.
    static const auto* ops = new std::vector<Operation>{
        {"initializepairing", "GET", "/dataprov-apis/public/initializepairing", false, "", {"checkoutId", "userId"}},
        {"pairingid", "GET", "/quorvex/pairingid", false, "", {"pairingTransactionId", "userId"}},
        {"authorizepairing",
         "POST",
         "/dataprov-apis/stage1/quorvex/partner/v6/pairing",
         false,
         "application/xml;charset=UTF-8",
         {}},
        {"precheckoutdata", "GET", "/quorvex/precheckoutdata/", true, "", {}},
        {"expresscheckout", "POST", "/quorvex/expresscheckout", false, "application/json", {}},
        {"paymentdata", "GET", "/quorvex/paymentdata/", true, "", {"checkoutId", "cartId"}},
    };
    return *ops;
}

const Operation* findOperation(const std::string& method, const std::string& path) {
    for (const Operation& op : operations()) {
        bool match = op.byPrefix ? path.rfind(op.path, 0) == 0 : path == op.path;
        if (match && method == op.method) return &op;
    }
    return nullptr;
}

std::string decodedOrRaw(const std::string& s) { return detail::percentDecode(s).value_or(s); }

// The built-in answers: small but shaped like the real ones, echoing what the
// request carried so that a host can see its values arrive.
std::pair<std::string, std::string> defaultAnswer(const Operation& op, const RecordedRequest& r,
                                                  const std::map<std::string, std::string>& query) {
    using nlohmann::json;
    auto q = [&](const char* k) {
        auto it = query.find(k);
        return it == query.end() ? json(nullptr) : json(decodedOrRaw(it->second));
    };
    std::string name = op.name;
    if (name == "authorizepairing") {
        return {kXmlType,
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<PairingDataResponse>\n"
                "  <PairingId>sbx-pairing-0001</PairingId>\n"
                "  <Status>AUTHORIZED</Status>\n"
                "</PairingDataResponse>\n"};
    }
    json body;
    if (name == "initializepairing") {
        body = {{"pairingTransactionId", "sbx-ptx-0001"}, {"checkoutId", q("checkoutId")}, {"userId", q("userId")}};
    } else if (name == "pairingid") {
        body = {{"pairingId", "sbx-pairing-0001"},
                {"pairingTransactionId", q("pairingTransactionId")},
                {"userId", q("userId")}};
    } else if (name == "precheckoutdata") {
        body = {{"preCheckoutTransactionId", "sbx-pre-0001"},
                {"pairingId", decodedOrRaw(r.path.substr(std::string(op.path).size()))},
                {"cards", json::array({{{"cardId", "sbx-card-1"}, {"brandName", "VISA"}, {"lastFour", "1111"}}})},
                {"shippingAddresses", json::array({{{"id", "sbx-ship-1"}, {"city", "Springfield"}}})}};
    } else if (name == "expresscheckout") {
        json sent = json::parse(r.body, nullptr, false);
        body = {
            {"transactionId", "sbx-tx-0001"}, {"status", "SUCCESS"}, {"received", sent.is_discarded() ? json() : sent}};
    } else {
        body = {{"transactionId", decodedOrRaw(r.path.substr(std::string(op.path).size()))},
                {"checkoutId", q("checkoutId")},
                {"cartId", q("cartId")},
                {"card", {{"brandName", "VISA"}, {"lastFour", "1111"}}}};
    }
    return {kJsonType, body.dump(2)};
}

// One gzip member (RFC 1952) holding bytes.
std::string gzipMember(std::string_view bytes) {
    z_stream z{};
    std::string out;
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
    out.resize(deflateBound(&z, static_cast<uLong>(bytes.size())) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(ok ? z.total_out : 0);
    deflateEnd(&z);
    return out;
}

std::string errorsBody(const std::string& description, const char* reasonCode) {
    using nlohmann::json;
    return json{{"errors", json::array({{{"description", description}, {"reasonCode", reasonCode}}})}}.dump();
}

// The number after prefix in text, from 0 to most; none when text is not of that form.
std::optional<int> numberAfter(const std::string& text, std::string_view prefix, long most) {
    if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size()) return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text.c_str() + prefix.size(), &end, 10);
    return *end != '\0' || v < 0 || v > most ? std::nullopt : std::optional<int>(v);
}

}  // namespace

std::optional<Fault> Fault::parse(const std::string& text) {
    static const std::map<std::string, Kind> kNamed = {{"errors", Kind::ErrorsArray}, {"xml-error", Kind::XmlError},
        {"http500", Kind::Http500}, {"gzip-members", Kind::GzipMembers}, {"none", Kind::None}};
    auto named = kNamed.find(text);
    if (named != kNamed.end()) return Fault{named->second, 0, 200, "", "text/html", "", -1};
    Fault f;
    if (std::optional<int> count = numberAfter(text, "unavailable:", 1000000)) {
        f = Fault{Kind::Body, 0, 503, "Service Unavailable", "text/plain", "1", *count};
    } else if (std::optional<int> ms = numberAfter(text, "delay:", 600000)) {
        f.kind = Kind::Delay, f.delayMs = *ms;
    } else {
        return std::nullopt;
    }
    return f;
}

struct Sandbox::Impl {
    SandboxOptions options;
    std::vector<detail::PublicKey> merchantKeys;
    PkeyPtr serverKey;
    X509Ptr serverCert;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;  // guards everything below
    std::map<std::string, Fault> faults;
    std::function<void(const RecordedRequest&)> observer;
    std::deque<RecordedRequest> log;  // the latest kRecordLimit requests
    std::size_t rejected = 0;
    std::set<std::string> seenNonces;

    std::optional<std::string> verify(const httplib::Request& req, RecordedRequest& r, const Operation* op,
                                      std::map<std::string, std::string>& query);
    void handle(const httplib::Request& req, httplib::Response& res);
};

std::optional<std::string> Sandbox::Impl::verify(const httplib::Request& req, RecordedRequest& r, const Operation* op,
                                                 std::map<std::string, std::string>& query) {
    if (op == nullptr) return "no such operation";
    const std::string url = "https://" + req.get_header_value("Host") + r.path;
    detail::OAuthCheck check = detail::checkOAuthRequest(r.method, url, r.query, r.authorization, req.body,
                                                         merchantKeys, {options.consumerKey, options.maxClockSkew});
    r.baseString = check.baseString;
    for (auto& [k, v] : check.query) query[k] = v;
    if (check.refusal) return check.refusal;
    // Only a request that verified may use up its nonce.
    {
        std::lock_guard lock(mutex);
        const std::string& consumer = check.oauth["oauth_consumer_key"];
        if (!seenNonces.insert(consumer + ' ' + check.oauth["oauth_timestamp"] + ' ' + check.oauth["oauth_nonce"])
                 .second) {
            return "nonce already used";
        }
    }
    if (std::string(op->method) == "POST" && r.contentType != op->contentType) {
        return "Content-Type is not " + std::string(op->contentType);
    }
    for (const char* k : op->requiredQuery) {
        if (query.find(k) == query.end()) return std::string("missing query parameter ") + k;
    }
    return std::nullopt;
}

void Sandbox::Impl::handle(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.target = req.target;
    std::size_t qm = req.target.find('?');
    r.path = req.target.substr(0, qm);
    r.query = qm == std::string::npos ? std::string() : req.target.substr(qm + 1);
    r.contentType = req.get_header_value("Content-Type");
    r.authorization = req.get_header_value("Authorization");
    for (const auto& [name, value] : req.headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        // The server library files the peer's address among the headers.
        if (lower.rfind("remote_", 0) == 0 || lower.rfind("local_", 0) == 0) continue;
        r.headers.emplace_back(std::move(lower), value);
    }
    std::sort(r.headers.begin(), r.headers.end());
    r.body = req.body;
    const Operation* op = findOperation(r.method, r.path);
    r.operation = op != nullptr ? op->name : "";

    std::map<std::string, std::string> query;
    std::optional<std::string> reason = verify(req, r, op, query);
    r.accepted = !reason;
    r.verdict = reason ? "rejected: " + *reason : "accepted";

    Fault fault;
    std::function<void(const RecordedRequest&)> obs;
    {
        std::lock_guard lock(mutex);
        auto f = faults.find(r.operation);
        if (f == faults.end()) f = faults.find("*");
        if (f != faults.end() && f->second.remaining != 0) fault = f->second;
        if (f != faults.end() && f->second.remaining > 0 && op != nullptr && !reason) --f->second.remaining;
        obs = observer;
        // Recorded before any delay: a test can see a request taken in while its answer waits.
        if (!r.accepted) ++rejected;
        log.push_back(r);
        if (log.size() > kRecordLimit) log.pop_front();
    }
    if (obs) obs(r);

    if (op == nullptr) {
        res.status = 404;
        res.set_content(errorsBody("No operation at " + r.method + " " + r.path, "NOT_FOUND"), kJsonType);
    } else if (reason) {
        res.status = 401;
        const bool malformed =
            reason->rfind("missing query parameter", 0) == 0 || reason->rfind("Content-Type", 0) == 0;
        res.set_content(
            errorsBody("Request rejected: " + *reason, malformed ? "INVALID_REQUEST" : "AUTHENTICATION_FAILED"),
            kJsonType);
    } else {
        switch (fault.kind) {
            case Fault::Kind::ErrorsArray:
                res.set_content(errorsBody("Injected failure", "SYSTEM_ERROR"), kJsonType);
                break;
            case Fault::Kind::XmlError:
                res.set_content(
                    "<?xml version=\"1.0\"?>\n<Errors><Error><Description>Injected failure</Description>"
                    "<ReasonCode>SYSTEM_ERROR</ReasonCode></Error></Errors>\n",
                    kXmlType);
                break;
            case Fault::Kind::Http500:
                res.status = 500;
                break;
            case Fault::Kind::Body:
                res.status = fault.status;
                if (!fault.retryAfter.empty()) res.set_header("Retry-After", fault.retryAfter);
                res.set_content(fault.body, fault.contentType.c_str());
                break;
            case Fault::Kind::Delay:
                std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
                [[fallthrough]];
            case Fault::Kind::GzipMembers:
            case Fault::Kind::None: {
                std::optional<std::string> file;
                std::string type;
                if (!options.responsesDirectory.empty()) {
                    for (const char* ext : {"json", "xml"}) {
                        file = readFile(options.responsesDirectory + "/" + op->name + "." + ext);
                        if (file) {
                            type = std::string(ext) == "json" ? kJsonType : kXmlType;
                            break;
                        }
                    }
                }
                if (!file) std::tie(type, file) = defaultAnswer(*op, r, query);
                if (fault.kind == Fault::Kind::GzipMembers) {
                    const std::string_view all(*file);
                    const std::size_t half = all.size() / 2;
                    *file = gzipMember(all.substr(0, half)) + gzipMember(all.substr(half));
                    res.set_header("Content-Encoding", "gzip");
                }
                res.set_content(*file, type.c_str());
                break;
            }
        }
    }
}

Sandbox::Sandbox(SandboxOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->faults = impl_->options.faults;
}

Sandbox::~Sandbox() { stop(); }

bool Sandbox::start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    Impl& d = *impl_;
    auto merchant = readFile(d.options.merchantCertificatePath);
    if (!merchant) {
        *error = "cannot read the merchant certificate " + d.options.merchantCertificatePath + ": " +
                 std::strerror(errno);
        return false;
    }
    d.merchantKeys = detail::loadPublicKeys(*merchant);
    if (d.merchantKeys.empty()) {
        *error = "no certificate or public key in " + d.options.merchantCertificatePath;
        return false;
    }

    if (d.options.serverCertificatePath.empty() != d.options.serverKeyPath.empty()) {
        *error = "give both the server certificate and its key, or neither";
        return false;
    }
    if (d.options.serverCertificatePath.empty()) {
        if (!makeSelfSigned(d.serverKey, d.serverCert, d.options.bindAddress, error)) return false;
    } else {
        std::optional<std::string> certPem, keyPem;
        for (auto [path, into] : {std::pair{&d.options.serverCertificatePath, &certPem},
                                  std::pair{&d.options.serverKeyPath, &keyPem}}) {
            *into = readFile(*path);
            if (!*into) {
                *error = "cannot read " + *path + ": " + std::strerror(errno);
                return false;
            }
        }
        BioPtr cb(BIO_new_mem_buf(certPem->data(), static_cast<int>(certPem->size())));
        BioPtr kb(BIO_new_mem_buf(keyPem->data(), static_cast<int>(keyPem->size())));
        if (cb) d.serverCert.reset(PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr));
        if (kb) d.serverKey.reset(PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr));
        if (!d.serverCert || !d.serverKey) {
            *error = "cannot load the server certificate or key: " + opensslError();
            return false;
        }
    }

    X509* cert = d.serverCert.get();
    EVP_PKEY* key = d.serverKey.get();
    d.server = std::make_unique<httplib::SSLServer>([cert, key](SSL_CTX& ctx) {
        return SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) == 1 && SSL_CTX_use_certificate(&ctx, cert) == 1 &&
               SSL_CTX_use_PrivateKey(&ctx, key) == 1 && SSL_CTX_check_private_key(&ctx) == 1;
    });
    if (!d.server->is_valid()) {
        *error = "cannot set up TLS: " + opensslError();
        return false;
    }
    // Clients keep connections open; one worker per connection must not starve them.
    d.server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    d.server->set_keep_alive_max_count(100000);
    // Headers and body leave in separate writes: without this, the body of an answer
    // on a kept connection waits ~40 ms for the client's delayed ACK.
    d.server->set_tcp_nodelay(true);
    d.server->set_keep_alive_timeout(static_cast<time_t>(std::max<long long>(1, d.options.keepAlive.count())));
    d.server->set_read_timeout(10);
    d.server->set_write_timeout(10);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { impl_->handle(req, res); };
    d.server->Get(".*", handler);
    d.server->Post(".*", handler);

    const std::string& address = d.options.bindAddress;
    if (d.options.port == 0) {
        d.port = d.server->bind_to_any_port(address);
    } else {
        d.port = d.server->bind_to_port(address, d.options.port) ? d.options.port : -1;
    }
    if (d.port <= 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(d.options.port);
        return false;
    }
    d.thread = std::thread([&d] { d.server->listen_after_bind(); });
    // stop() only reaches a server that is already listening.
    for (int i = 0; i < 500 && !d.server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void Sandbox::stop() {
    if (impl_ && impl_->server) {
        impl_->server->stop();
        if (impl_->thread.joinable()) impl_->thread.join();
        impl_->server.reset();
    }
}

int Sandbox::port() const { return impl_->port; }

std::string Sandbox::serverCertificatePEM() const {
    return impl_->serverCert ? pki::certPem(impl_->serverCert.get()) : std::string();
}

void Sandbox::setFault(const std::string& operation, Fault fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults[operation] = fault;
}

void Sandbox::setObserver(std::function<void(const RecordedRequest&)> observer) {
    std::lock_guard lock(impl_->mutex);
    impl_->observer = std::move(observer);
}

std::vector<RecordedRequest> Sandbox::requests() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

std::size_t Sandbox::rejectedCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->rejected;
}

std::vector<std::string> Sandbox::operationNames() {
    std::vector<std::string> names;
    for (const Operation& op : operations()) names.emplace_back(op.name);
    return names;
}

}  // namespace orvalis::sandbox
