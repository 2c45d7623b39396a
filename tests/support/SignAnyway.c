/* A PKCS#11 module for the tests: SoftHSM2's, except that every key reads CKA_SIGN false
 * while it still signs, as a module that leaves the attribute to its callers would. */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stddef.h>

static CK_FUNCTION_LIST own;
static CK_FUNCTION_LIST_PTR softhsm;

/* SoftHSM2 is loaded in the process already, for its own URIs: it stays initialized for them. */
static CK_RV initialize(CK_VOID_PTR args) {
    CK_RV rv = softhsm->C_Initialize(args);
    return rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? CKR_OK : rv;
}

static CK_RV finalize(CK_VOID_PTR reserved) {
    (void)reserved;
    return CKR_OK;
}

static CK_RV attributes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR wanted, CK_ULONG count) {
    CK_RV rv = softhsm->C_GetAttributeValue(session, object, wanted, count);
    for (CK_ULONG i = 0; rv == CKR_OK && i < count; ++i)
        if (wanted[i].type == CKA_SIGN && wanted[i].pValue != NULL && wanted[i].ulValueLen == sizeof(CK_BBOOL))
            *(CK_BBOOL*)wanted[i].pValue = CK_FALSE;
    return rv;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (softhsm == NULL) {
        void* module = dlopen(ORVALIS_SOFTHSM2_MODULE, RTLD_NOW);
        CK_C_GetFunctionList get = module != NULL ? (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList") : NULL;
        if (get == NULL || get(&softhsm) != CKR_OK) return CKR_GENERAL_ERROR;
        own = *softhsm;
        own.C_Initialize = initialize;
        own.C_Finalize = finalize;
        own.C_GetAttributeValue = attributes;
    }
    *list = &own;
    return CKR_OK;
}
