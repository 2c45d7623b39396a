#include <SoftToken.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace orvalis::testsupport {
namespace {

void run(const std::string& command) {
    if (std::system((command + " >/dev/null").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) throw std::runtime_error(std::string(what) + " failed: " + std::to_string(rv));
}

}  // namespace

SoftToken::SoftToken(EVP_PKEY* merchantKey, X509* merchantCert) {
    auto conf = dir.write("softhsm2.conf", "directories.tokendir = " + (dir.path() / "tokens").string() +
                                               "\nobjectstore.backend = file\nlog.level = ERROR\n");
    std::filesystem::create_directory(dir.path() / "tokens");
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    const std::string tool = "softhsm2-util --pin '" + std::string(kPin) + "' ";
    for (std::string label : {std::string(kLabel), std::string(kLabel) + " 2"})
        run(tool + "--init-token --free --so-pin 13579 --label '" + label + "'");
    auto pem = dir.write("merchant.pem", privateKeyPem(merchantKey)).string();
    const std::string big3072 = dir.write("3072.pem", privateKeyPem(sharedRsaKey(3072))).string(),
                      big4096 = dir.write("4096.pem", privateKeyPem(sharedRsaKey(4096))).string();
    for (const std::string& object :
        {pem + " --label merchant --id 01", pem + " --label twin --id 03", pem + " --label twin --id 04",
            big3072 + " --label rsa-3072 --id 06", big4096 + " --label rsa-4096 --id 07"})
        run(tool + "--import " + object + " --token '" + kLabel + "'");

    // The certificate beside the merchant's key, and the keys made in the token.
    CK_FUNCTION_LIST* m = p11_kit_module_load(module.c_str(), 0);
    if (m == nullptr) throw std::runtime_error("cannot load " + module);
    check(p11_kit_module_initialize(m), "C_Initialize");
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    check(m->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
    CK_SESSION_HANDLE s = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        check(m->C_GetTokenInfo(slots[i], &info), "C_GetTokenInfo");
        if (std::string_view(reinterpret_cast<char*>(info.label), sizeof info.label)
                .starts_with(std::string(kLabel) + "  "))
            check(m->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "open");
    }
    check(m->C_Login(s, CKU_USER, (CK_UTF8CHAR*)kPin, std::string_view(kPin).size()), "C_Login");
    unsigned char* der = nullptr;
    int derLength = i2d_X509(merchantCert, &der);
    unsigned char* subject = nullptr;
    int subjectLength = i2d_X509_NAME(X509_get_subject_name(merchantCert), &subject);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_BYTE id01 = 1, id02 = 2, id05 = 5;
    CK_ATTRIBUTE cert[] = {{CKA_CLASS, &certClass, sizeof certClass}, {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
        {CKA_TOKEN, &yes, 1}, {CKA_ID, &id01, 1}, {CKA_VALUE, der, CK_ULONG(derLength)},
        {CKA_SUBJECT, subject, CK_ULONG(subjectLength)}};
    CK_OBJECT_HANDLE handle = 0;
    check(m->C_CreateObject(s, cert, 6, &handle), "C_CreateObject");
    OPENSSL_free(der);
    OPENSSL_free(subject);
    CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BYTE exponent[] = {1, 0, 1};
    CK_ULONG bits = 2048;
    for (auto [label, id, sign] : {std::tuple("generated", &id02, &yes), std::tuple("no-sign", &id05, &no)}) {
        CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits},
            {CKA_PUBLIC_EXPONENT, exponent, 3}, {CKA_LABEL, (void*)label, CK_ULONG(strlen(label))}, {CKA_ID, id, 1}};
        CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SENSITIVE, &yes, 1},
            {CKA_EXTRACTABLE, &no, 1}, {CKA_SIGN, sign, 1}, {CKA_LABEL, (void*)label, CK_ULONG(strlen(label))},
            {CKA_ID, id, 1}};
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        check(m->C_GenerateKeyPair(s, &generate, pub, 5, priv, 7, &publicKey, &privateKey), "C_GenerateKeyPair");
    }
    m->C_Logout(s);
    m->C_CloseSession(s);
    p11_kit_module_finalize(m);
    p11_kit_module_release(m);
}

std::string SoftToken::uri(std::string_view object, bool systemModules, std::string_view label) const {
    std::string u = "pkcs11:token=" + std::string(label) + ";object=" + std::string(object) + ";type=private";
    for (std::size_t at = u.find(' '); at != std::string::npos; at = u.find(' ')) u.replace(at, 1, "%20");
    return systemModules ? u : u + "?module-path=" + module;
}

void SoftToken::finalizeAsAnotherUser() const {
    // The module's own entry points, as a second library in the process reaches them: not p11-kit's.
    CK_FUNCTION_LIST* other = p11_kit_module_load(module.c_str(), P11_KIT_MODULE_UNMANAGED);
    check(other != nullptr ? other->C_Finalize(nullptr) : CKR_GENERAL_ERROR, "C_Finalize");
    p11_kit_module_release(other);
}

}  // namespace orvalis::testsupport
