// No copy of the key's password that the library makes outlives its use: every block the program
// frees while the faces run is searched for it (operator delete is replaced in this program).
#include <Orvalis/C/orvalis.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Outcomes.h>
#include <Printers.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVALIS_WATCH_FREES 0  // the sanitizers own the allocator
#else
#define ORVALIS_WATCH_FREES 1
#endif

namespace {

std::atomic<bool> g_watching{false};
std::atomic<int> g_found{0};
// Long enough for every copy to live on the heap, not inside a string object.
constexpr std::string_view kSecret = "password-7f3a9c-never-left-in-freed-memory-0d2e";

void inspect(void* block) noexcept {
    if (block == nullptr || !g_watching.load(std::memory_order_relaxed)) return;
    std::string_view bytes(static_cast<const char*>(block), malloc_usable_size(block));
    if (bytes.find(kSecret) != std::string_view::npos) g_found.fetch_add(1);
}

}  // namespace

#if ORVALIS_WATCH_FREES
void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
    inspect(block);
    std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }
#endif

namespace ts = orvalis::testsupport;
using namespace orvalis;

TEST(Secrets, NoCopyOfThePasswordOutlivesItsUseOnAnyFace) {
    if (!ORVALIS_WATCH_FREES) GTEST_SKIP() << "the sanitizers replace operator delete themselves";
    ts::Identity merchant = ts::makeRsaIdentity(2048);
    const std::string p12 = ts::makeP12(merchant.key.get(), merchant.cert.get(), std::string(kSecret));
    const std::string nowhere = "127.0.0.1:1";  // signed, then refused: no server needed
    g_watching = true;
    {
        ClientConfiguration c;
        c.host = nowhere;
        c.keySource = KeySource::memory(p12);
        c.keyFilePassword = std::string(kSecret);
        Client client(std::move(c));
        OperationResult r = client.initializePairing({}).get();
        EXPECT_EQ(r.error->code(), URLErrorCannotConnectToHost) << r.error->description();  // it was signed

        ZRBInitializePairingRequest request;
        request.setHost(nowhere);
        request.setMerchantKeySource(KeySource::memory(p12));
        request.setMerechantKeyFilePassword(std::string(kSecret));
        ts::Outcomes out;
        ZRBOrvalis().initializePairing(request, out.success(), out.failure());
        ASSERT_TRUE(out.waitFor(1));

        orvalis_client_config* config = nullptr;
        orvalis_key_source* key = nullptr;
        orvalis_client* cClient = nullptr;
        ASSERT_EQ(orvalis_client_config_new(&config) || orvalis_key_source_memory(p12.data(), p12.size(), &key) ||
                      orvalis_client_config_set_key_source(config, key) ||
                      orvalis_client_config_set_host(config, nowhere.c_str()) ||
                      orvalis_client_config_set_key_password(config, kSecret.data()) ||
                      orvalis_client_new(config, &cClient),
            ORVALIS_OK);
        orvalis_client_config_free(config);
        orvalis_key_source_free(key);
        orvalis_client_free(cClient);
    }
    g_watching = false;
    EXPECT_EQ(g_found.load(), 0) << "freed blocks still held the password";
}
