#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Foundation/Crypto/detail/TokenKeys.h>
#include <Orvalis/Foundation/System/Log.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace orvalis::detail {
namespace {

using UriPtr = std::unique_ptr<P11KitUri, Deleter<p11_kit_uri_free>>;
using CharPtr = std::unique_ptr<char, Deleter<std::free>>;

// p11-kit's last message, or otherwise when it has none.
std::string p11kitMessage(const char* otherwise) {
    const char* message = p11_kit_message();
    return message != nullptr ? message : otherwise;
}

TokenOutcome outcome(TokenStatus status, std::string cause = {}, CK_RV rv = CKR_OK) {
    TokenOutcome out;
    out.status = status;
    out.cause = std::move(cause);
    out.rv = rv;
    return out;
}

// One token's sessions. Login state belongs to the token and the application,
// so one login serves every session; sessions are lent to one request at a time.
struct Pool {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SLOT_ID slot = 0;
    std::mutex mutex;
    std::vector<CK_SESSION_HANDLE> idle;
    std::size_t open = 0;
    unsigned generation = 0;  // a session of an older generation is closed on return
    unsigned stale = 0;       // sessions of generations below it died with the module's last initialization
    bool loggedIn = false;
    unsigned logins = 0;
    unsigned loginTries = 0;
    std::string refusedPin;                        // keyed digest of the last PIN the token refused: never tried twice
    std::map<std::string, CK_OBJECT_HANDLE> keys;  // by URI

    // Forgets every session: those idle are closed, those lent out when they come back.
    void resetLocked() {
        for (CK_SESSION_HANDLE s : idle) module->C_CloseSession(s);
        open -= idle.size();
        idle.clear();
        ++generation;
        loggedIn = false;
        keys.clear();
    }
};

struct Registry {
    std::mutex mutex;
    pid_t pid = getpid();
    std::map<std::string, CK_FUNCTION_LIST*> byPath;  // modules named by module-path, kept loaded
    CK_FUNCTION_LIST** configured = nullptr;          // the system's modules, loaded on first need
    std::vector<std::shared_ptr<Pool>> pools;
    std::map<std::string, std::shared_ptr<Pool>> routes;  // URI -> its token's pool
    std::map<CK_FUNCTION_LIST*, unsigned> starts;         // times each module was initialized again

    // A child after fork() inherits handles of the parent's sessions and logins:
    // never use them. Each module is initialized again, as PKCS#11 asks of a child.
    void afterForkLocked() {
        if (pid == getpid()) return;
        pid = getpid();
        for (auto& [path, module] : byPath) p11_kit_module_initialize(module);
        if (configured != nullptr) p11_kit_modules_initialize(configured, nullptr);
        pools.clear();  // the parent's pools: their handles are not ours
        routes.clear();
    }
};

Registry& registry() {
    // Left to the process's end: modules stay loaded while other static objects may still sign.
    static Registry* r = new Registry;
    return *r;
}

struct Route {
    std::shared_ptr<Pool> pool;
    TokenOutcome failure;
    CK_FUNCTION_LIST* finalized = nullptr;  // a module that answered CKR_CRYPTOKI_NOT_INITIALIZED
};

// Another user of the module in this process called C_Finalize: initializes it again, once for
// every caller that saw it finalized at the same start. p11-kit counts the initializations of each
// module it loaded (by module-path and from its configuration: maybe the same one twice), so every
// handle that answers as finalized is finalized and initialized again, and the module itself is.
// Sessions and logins of before are gone: their handles are forgotten, never closed (the new start
// may give the same numbers to others).
CK_RV initializeAgainLocked(Registry& reg, CK_FUNCTION_LIST* module, unsigned seen) {
    if (reg.starts[module] != seen) return CKR_OK;
    std::vector<CK_FUNCTION_LIST*> finalized;
    const auto check = [&](CK_FUNCTION_LIST* m) {
        CK_INFO info;
        if ((m == module || m->C_GetInfo(&info) == CKR_CRYPTOKI_NOT_INITIALIZED) &&
            std::find(finalized.begin(), finalized.end(), m) == finalized.end())
            finalized.push_back(m);
    };
    for (auto& [path, m] : reg.byPath) check(m);
    for (CK_FUNCTION_LIST** m = reg.configured; m != nullptr && *m != nullptr; ++m) check(*m);
    for (CK_FUNCTION_LIST* m : finalized) p11_kit_module_finalize(m);
    CK_RV rv = CKR_OK;
    for (CK_FUNCTION_LIST* m : finalized) {
        const CK_RV initialized = p11_kit_module_initialize(m);
        if (m == module) rv = initialized;
        ++reg.starts[m];
    }
    for (auto& pool : reg.pools) {
        if (std::find(finalized.begin(), finalized.end(), pool->module) == finalized.end()) continue;
        std::lock_guard lock(pool->mutex);
        pool->open -= pool->idle.size();
        pool->idle.clear();
        pool->stale = ++pool->generation;
        pool->loggedIn = false;
        pool->keys.clear();
    }
    std::erase_if(reg.routes, [&](const auto& route) {
        return std::find(finalized.begin(), finalized.end(), route.second->module) != finalized.end();
    });
    return rv;
}

std::shared_ptr<Pool> poolFor(Registry& reg, CK_FUNCTION_LIST* module, CK_SLOT_ID slot) {
    for (auto& p : reg.pools)
        if (p->module == module && p->slot == slot) return p;
    auto p = std::make_shared<Pool>();
    p->module = module;
    p->slot = slot;
    reg.pools.push_back(p);
    return p;
}

// The first present token of the URI's module(s) that the URI matches.
Route resolveLocked(Registry& reg, const std::string& text, P11KitUri* uri) {
    std::vector<CK_FUNCTION_LIST*> modules;
    if (const char* path = p11_kit_uri_get_module_path(uri)) {
        auto it = reg.byPath.find(path);
        if (it == reg.byPath.end()) {
            CK_FUNCTION_LIST* module = p11_kit_module_load(path, 0);
            if (module == nullptr)
                return {nullptr, outcome(TokenStatus::ModuleNotLoaded, p11kitMessage("the module cannot be loaded"))};
            CK_RV rv = p11_kit_module_initialize(module);
            if (rv != CKR_OK) {
                std::string cause = p11kitMessage(tokenReturnName(rv).c_str());
                p11_kit_module_release(module);
                return {nullptr, outcome(TokenStatus::ModuleNotLoaded, cause)};
            }
            it = reg.byPath.emplace(path, module).first;
        }
        modules.push_back(it->second);
    } else {
        if (reg.configured == nullptr) reg.configured = p11_kit_modules_load_and_initialize(0);
        if (reg.configured == nullptr || reg.configured[0] == nullptr) {
            const char* message = p11_kit_message();
            return {nullptr, outcome(TokenStatus::ModuleNotLoaded,
                                     message ? message : "no PKCS#11 module is configured (p11-kit)")};
        }
        const char* name = p11_kit_uri_get_module_name(uri);
        for (CK_FUNCTION_LIST** m = reg.configured; *m != nullptr; ++m) {
            if (name != nullptr) {
                CharPtr own(p11_kit_module_get_name(*m));
                if (!own || std::string_view(own.get()) != name) continue;
            }
            modules.push_back(*m);
        }
    }
    CK_FUNCTION_LIST* finalized = nullptr;
    for (CK_FUNCTION_LIST* module : modules) {
        CK_INFO info;
        const CK_RV rv = module->C_GetInfo(&info);
        if (rv == CKR_CRYPTOKI_NOT_INITIALIZED && finalized == nullptr) finalized = module;
        if (rv != CKR_OK || p11_kit_uri_match_module_info(uri, &info) != 1) continue;
        CK_ULONG count = 0;
        if (module->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (module->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(count);
        for (CK_SLOT_ID slot : slots) {
            CK_SLOT_INFO slotInfo;
            CK_TOKEN_INFO tokenInfo;
            if (module->C_GetSlotInfo(slot, &slotInfo) != CKR_OK || p11_kit_uri_match_slot_info(uri, &slotInfo) != 1 ||
                module->C_GetTokenInfo(slot, &tokenInfo) != CKR_OK ||
                p11_kit_uri_match_token_info(uri, &tokenInfo) != 1)
                continue;
            auto pool = poolFor(reg, module, slot);
            reg.routes[text] = pool;
            return {pool, {}};
        }
    }
    if (finalized != nullptr) {
        return {nullptr,
                outcome(TokenStatus::SessionLost, tokenReturnName(CKR_CRYPTOKI_NOT_INITIALIZED), CKR_CRYPTOKI_NOT_INITIALIZED),
                finalized};
    }
    return {nullptr, outcome(TokenStatus::TokenAbsent, "no token present matches the URI")};
}

// A session lent by a pool; back to the pool (or closed) when the lease ends.
class Lease {
public:
    Lease(std::shared_ptr<Pool> pool, CK_SESSION_HANDLE session, unsigned generation)
        : pool_(std::move(pool)), session_(session), generation_(generation) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
        if (!pool_) return;
        std::lock_guard lock(pool_->mutex);
        if (generation_ < pool_->stale) {
            --pool_->open;
        } else if (lost_ || generation_ != pool_->generation) {
            pool_->module->C_CloseSession(session_);
            --pool_->open;
            if (lost_ && generation_ == pool_->generation) pool_->resetLocked();
        } else {
            pool_->idle.push_back(session_);
        }
    }
    CK_SESSION_HANDLE session() const { return session_; }
    CK_FUNCTION_LIST* module() const { return pool_->module; }
    Pool& pool() const { return *pool_; }
    unsigned generation() const { return generation_; }
    // The token closed this session or went away: every session of the pool goes.
    void markLost() { lost_ = true; }

private:
    std::shared_ptr<Pool> pool_;
    CK_SESSION_HANDLE session_;
    unsigned generation_;
    bool lost_ = false;
};

bool isLoss(CK_RV rv) {
    TokenStatus s = classifyTokenReturn(rv);
    return s == TokenStatus::SessionLost || s == TokenStatus::TokenAbsent;
}

TokenOutcome failWith(CK_RV rv, Lease* lease) {
    if (lease != nullptr && isLoss(rv)) lease->markLost();
    TokenStatus s = classifyTokenReturn(rv);
    return outcome(s, tokenReturnName(rv), rv);
}

// Logs the application in once per pool generation; the PIN is asked for only then.
TokenOutcome loginOnce(Lease& lease, const PinReader& readPin) {
    Pool& pool = lease.pool();
    std::lock_guard lock(pool.mutex);
    if (pool.loggedIn && pool.generation == lease.generation()) return outcome(TokenStatus::Done);
    CK_TOKEN_INFO info;
    CK_RV rv = pool.module->C_GetTokenInfo(pool.slot, &info);
    if (rv != CKR_OK) return failWith(rv, nullptr);
    if (info.flags & CKF_USER_PIN_LOCKED) return outcome(TokenStatus::PINLocked, "CKF_USER_PIN_LOCKED");
    if (info.flags & CKF_LOGIN_REQUIRED) {
        std::optional<std::string> pin;
        try {
            if (readPin) pin = readPin();
        } catch (...) {
            pin.reset();  // a PIN source that throws gives no PIN
        }
        if (!pin) return outcome(TokenStatus::NoPIN, "no PIN given");
        std::string digest = processLocalSecretDigest(*pin);
        if (!pool.refusedPin.empty() && digest == pool.refusedPin) {
            secureWipe(pin->data(), pin->size());
            // Each refused try brings the token closer to locking the PIN for good.
            return outcome(TokenStatus::WrongPIN, "CKR_PIN_INCORRECT (the same PIN is not tried again)");
        }
        ++pool.loginTries;
        rv = pool.module->C_Login(lease.session(), CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin->data()), pin->size());
        secureWipe(pin->data(), pin->size());
        if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE) pool.refusedPin = digest;
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return failWith(rv, nullptr);
        pool.refusedPin.clear();
        ++pool.logins;
    }
    pool.loggedIn = true;
    return outcome(TokenStatus::Done);
}

// The module a request used, and how often it had been initialized again when the request began.
struct ModuleSeen {
    CK_FUNCTION_LIST* module = nullptr;
    unsigned starts = 0;
};

TokenOutcome borrow(const std::string& text, P11KitUri* uri, const PinReader& pin, std::unique_ptr<Lease>& out,
                    ModuleSeen& seen) {
    Registry& reg = registry();
    std::shared_ptr<Pool> pool;
    {
        std::lock_guard lock(reg.mutex);
        reg.afterForkLocked();
        auto it = reg.routes.find(text);
        if (it != reg.routes.end()) {
            pool = it->second;
        } else {
            Route route = resolveLocked(reg, text, uri);
            if (route.finalized != nullptr) seen = {route.finalized, reg.starts[route.finalized]};
            if (!route.pool) return route.failure;
            pool = route.pool;
        }
        seen = {pool->module, reg.starts[pool->module]};
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    unsigned generation = 0;
    {
        std::lock_guard lock(pool->mutex);
        generation = pool->generation;
        if (!pool->idle.empty()) {
            session = pool->idle.back();
            pool->idle.pop_back();
        } else {
            ++pool->open;
        }
    }
    if (session == CK_INVALID_HANDLE) {
        CK_RV rv = pool->module->C_OpenSession(pool->slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        if (rv != CKR_OK) {
            {
                std::lock_guard lock(pool->mutex);
                --pool->open;
                if (isLoss(rv)) pool->resetLocked();
            }
            if (isLoss(rv)) {
                // Never the registry's lock under a pool's: initializing a module again takes them the other way.
                std::lock_guard regLock(reg.mutex);
                reg.routes.erase(text);
            }
            return outcome(classifyTokenReturn(rv), tokenReturnName(rv), rv);
        }
    }
    out = std::make_unique<Lease>(pool, session, generation);
    TokenOutcome login = loginOnce(*out, pin);
    if (login.status == TokenStatus::SessionLost || login.status == TokenStatus::TokenAbsent) out->markLost();
    return login;
}

// The one private key the URI names, found once per pool generation.
TokenOutcome findKey(Lease& lease, const std::string& text, P11KitUri* uri, CK_OBJECT_HANDLE& key) {
    Pool& pool = lease.pool();
    {
        std::lock_guard lock(pool.mutex);
        auto it = pool.keys.find(text);
        if (it != pool.keys.end() && lease.generation() == pool.generation) {
            key = it->second;
            return outcome(TokenStatus::Done);
        }
    }
    CK_ULONG count = 0;
    CK_ATTRIBUTE* given = p11_kit_uri_get_attributes(uri, &count);
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> match;
    bool hasClass = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (given[i].type == CKA_CLASS) {
            hasClass = true;
            if (given[i].ulValueLen != sizeof(CK_OBJECT_CLASS) ||
                *static_cast<CK_OBJECT_CLASS*>(given[i].pValue) != CKO_PRIVATE_KEY)
                return outcome(TokenStatus::KeyNotFound, "the URI names an object that is not a private key");
        }
        match.push_back(given[i]);
    }
    if (!hasClass) match.push_back({CKA_CLASS, &privateClass, sizeof privateClass});
    CK_FUNCTION_LIST* m = lease.module();
    CK_RV rv = m->C_FindObjectsInit(lease.session(), match.data(), match.size());
    if (rv != CKR_OK) return failWith(rv, &lease);
    CK_OBJECT_HANDLE found[2];
    CK_ULONG n = 0;
    rv = m->C_FindObjects(lease.session(), found, 2, &n);
    m->C_FindObjectsFinal(lease.session());
    if (rv != CKR_OK) return failWith(rv, &lease);
    if (n == 0) return outcome(TokenStatus::KeyNotFound, "no private key matches the URI");
    if (n > 1) return outcome(TokenStatus::KeyAmbiguous, "two or more private keys match the URI");
    CK_KEY_TYPE type = 0;
    CK_BBOOL canSign = CK_FALSE;
    CK_ATTRIBUTE attributes[] = {{CKA_KEY_TYPE, &type, sizeof type}, {CKA_SIGN, &canSign, sizeof canSign}};
    rv = m->C_GetAttributeValue(lease.session(), found[0], attributes, 2);
    if (rv != CKR_OK) return failWith(rv, &lease);
    if (type != CKK_RSA) return outcome(TokenStatus::MechanismRefused, "not an RSA key");
    if (canSign != CK_TRUE) return outcome(TokenStatus::MechanismRefused, "the key may not sign (CKA_SIGN false)");
    key = found[0];
    std::lock_guard lock(pool.mutex);
    if (lease.generation() == pool.generation) pool.keys[text] = key;
    return outcome(TokenStatus::Done);
}

struct Prepared {
    UriPtr uri;
    std::unique_ptr<Lease> lease;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    ModuleSeen seen;
};

TokenOutcome prepare(const std::string& text, const PinReader& pin, Prepared& p) {
    p.uri.reset(p11_kit_uri_new());
    int code = p.uri ? p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, p.uri.get()) : P11_KIT_URI_UNEXPECTED;
    if (code != P11_KIT_URI_OK) return outcome(TokenStatus::NotURI, p11_kit_uri_message(code));
    TokenOutcome out = borrow(text, p.uri.get(), pin, p.lease, p.seen);
    if (out.status != TokenStatus::Done) return out;
    return findKey(*p.lease, text, p.uri.get(), p.key);
}

std::optional<std::string> attributeBytes(Lease& lease, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    if (lease.module()->C_GetAttributeValue(lease.session(), object, &a, 1) != CKR_OK ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return std::nullopt;
    std::string bytes(a.ulValueLen, '\0');
    a.pValue = bytes.data();
    if (lease.module()->C_GetAttributeValue(lease.session(), object, &a, 1) != CKR_OK) return std::nullopt;
    bytes.resize(a.ulValueLen);
    return bytes;
}

std::string withoutLeadingZeros(std::string bytes) {
    std::size_t i = bytes.find_first_not_of('\0');
    return i == std::string::npos ? std::string() : bytes.substr(i);
}

TokenOutcome signOnce(const std::string& uri, const PinReader& pin, DigestAlgorithm algorithm, std::string_view data,
                      ModuleSeen& seen) {
    Prepared p;
    TokenOutcome out = prepare(uri, pin, p);
    seen = p.seen;
    if (out.status != TokenStatus::Done) return out;
    CK_MECHANISM mechanism = {algorithm == DigestAlgorithm::SHA256 ? CKM_SHA256_RSA_PKCS : CKM_SHA1_RSA_PKCS, nullptr,
                              0};
    CK_FUNCTION_LIST* m = p.lease->module();
    CK_RV rv = m->C_SignInit(p.lease->session(), &mechanism, p.key);
    if (rv != CKR_OK) return failWith(rv, p.lease.get());
    // Room for a 16384-bit modulus: one call, so that no sign operation stays open.
    std::string signature(2048, '\0');
    CK_ULONG length = signature.size();
    rv = m->C_Sign(p.lease->session(), reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())), data.size(),
                   reinterpret_cast<CK_BYTE*>(signature.data()), &length);
    if (rv != CKR_OK) return failWith(rv, p.lease.get());
    signature.resize(length);
    out.signature = std::move(signature);
    return out;
}

}  // namespace

TokenOutcome tokenSign(const std::string& uri, const PinReader& pin, DigestAlgorithm algorithm, std::string_view data) {
    constexpr const char* kFinalized = " (another user of the module in this process finalized it";
    ModuleSeen seen;
    TokenOutcome out = signOnce(uri, pin, algorithm, data, seen);
    if (out.rv != CKR_CRYPTOKI_NOT_INITIALIZED || seen.module == nullptr) return out;
    CK_RV rv = CKR_OK;
    {
        Registry& reg = registry();
        std::lock_guard lock(reg.mutex);
        rv = initializeAgainLocked(reg, seen.module, seen.starts);
    }
    if (rv != CKR_OK) {
        out.cause += std::string(kFinalized) + "; initializing it again failed: " + tokenReturnName(rv) + ")";
        return out;
    }
    orvalis::log("Token: another user of the PKCS#11 module in this process finalized it; initialized it again");
    out = signOnce(uri, pin, algorithm, data, seen);
    if (out.rv == CKR_CRYPTOKI_NOT_INITIALIZED) out.cause += std::string(kFinalized) + " again at once)";
    return out;
}

TokenCertificate tokenCertificate(const std::string& uri, const PinReader& pin) {
    TokenCertificate out;
    Prepared p;
    TokenOutcome prepared = prepare(uri, pin, p);
    out.status = prepared.status;
    out.cause = prepared.cause;
    if (prepared.status != TokenStatus::Done) return out;
    Lease& lease = *p.lease;
    // The certificate sits beside its key under the same CKA_ID (or, without one, the same label).
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    std::vector<CK_ATTRIBUTE> match = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};
    std::optional<std::string> id = attributeBytes(lease, p.key, CKA_ID);
    std::optional<std::string> label = attributeBytes(lease, p.key, CKA_LABEL);
    if (id && !id->empty()) {
        match.push_back({CKA_ID, id->data(), id->size()});
    } else if (label) {
        match.push_back({CKA_LABEL, label->data(), label->size()});
    }
    CK_FUNCTION_LIST* m = lease.module();
    CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE;
    CK_ULONG n = 0;
    CK_RV rv = m->C_FindObjectsInit(lease.session(), match.data(), match.size());
    if (rv == CKR_OK) {
        rv = m->C_FindObjects(lease.session(), &certificate, 1, &n);
        m->C_FindObjectsFinal(lease.session());
    }
    if (rv != CKR_OK) {
        TokenOutcome failed = failWith(rv, &lease);
        out.status = failed.status;
        out.cause = failed.cause;
        return out;
    }
    std::optional<std::string> der = n == 1 ? attributeBytes(lease, certificate, CKA_VALUE) : std::nullopt;
    std::optional<std::string> modulus = attributeBytes(lease, p.key, CKA_MODULUS);
    const unsigned char* cursor = der ? reinterpret_cast<const unsigned char*>(der->data()) : nullptr;
    X509Ptr x509(der ? d2i_X509(nullptr, &cursor, static_cast<long>(der->size())) : nullptr);
    if (!x509) {
        discardCryptoErrors();
        out.status = TokenStatus::NoCertificate;
        out.cause = "no certificate beside the key";
        return out;
    }
    out.certificate = certificateReport(x509.get());
    out.certificateDigest = *digest(DigestAlgorithm::SHA256, *der);
    BIGNUM* raw = nullptr;
    EVP_PKEY* publicKey = X509_get0_pubkey(x509.get());
    if (modulus && publicKey != nullptr && EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_N, &raw) == 1) {
        BignumPtr n(raw);
        std::string certificateModulus(static_cast<std::size_t>(BN_num_bytes(n.get())), '\0');
        BN_bn2bin(n.get(), reinterpret_cast<unsigned char*>(certificateModulus.data()));
        out.keyMatches = certificateModulus == withoutLeadingZeros(*modulus);
    }
    discardCryptoErrors();
    return out;
}

std::optional<std::string> tokenURIForDisplay(const std::string& text) {
    UriPtr uri(p11_kit_uri_new());
    if (!uri || p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, uri.get()) != P11_KIT_URI_OK) return std::nullopt;
    p11_kit_uri_set_pin_value(uri.get(), nullptr);
    p11_kit_uri_set_pin_source(uri.get(), nullptr);
    char* formatted = nullptr;
    if (p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_ANY, &formatted) != P11_KIT_URI_OK) return std::nullopt;
    CharPtr owned(formatted);
    return std::string(formatted);
}

TokenSessions tokenSessions(const std::string& uri) {
    Registry& reg = registry();
    std::shared_ptr<Pool> pool;
    {
        std::lock_guard lock(reg.mutex);
        reg.afterForkLocked();
        auto it = reg.routes.find(uri);
        if (it == reg.routes.end()) return {};
        pool = it->second;
    }
    std::lock_guard lock(pool->mutex);
    return {pool->open, pool->idle.size(), pool->logins, pool->loginTries};
}

bool tokenDropSessionsForTesting(const std::string& uri) {
    Registry& reg = registry();
    std::shared_ptr<Pool> pool;
    {
        std::lock_guard lock(reg.mutex);
        auto it = reg.routes.find(uri);
        if (it == reg.routes.end()) return false;
        pool = it->second;
    }
    return pool->module->C_CloseAllSessions(pool->slot) == CKR_OK;
}

}  // namespace orvalis::detail
