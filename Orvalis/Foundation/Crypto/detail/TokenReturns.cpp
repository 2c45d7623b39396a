// The names and kinds of what a PKCS#11 module returns, for reasons and for the
// caller's next step.
#include <Orvalis/Foundation/Crypto/detail/TokenKeys.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <string>

namespace orvalis::detail {

std::string tokenReturnName(unsigned long rv) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
            return "CKR_PIN_INCORRECT";
        case CKR_PIN_LOCKED:
            return "CKR_PIN_LOCKED";
        case CKR_PIN_LEN_RANGE:
            return "CKR_PIN_LEN_RANGE";
        case CKR_TOKEN_NOT_PRESENT:
            return "CKR_TOKEN_NOT_PRESENT";
        case CKR_DEVICE_REMOVED:
            return "CKR_DEVICE_REMOVED";
        case CKR_SESSION_HANDLE_INVALID:
            return "CKR_SESSION_HANDLE_INVALID";
        case CKR_SESSION_CLOSED:
            return "CKR_SESSION_CLOSED";
        case CKR_USER_NOT_LOGGED_IN:
            return "CKR_USER_NOT_LOGGED_IN";
        case CKR_MECHANISM_INVALID:
            return "CKR_MECHANISM_INVALID";
        case CKR_KEY_FUNCTION_NOT_PERMITTED:
            return "CKR_KEY_FUNCTION_NOT_PERMITTED";
        case CKR_KEY_TYPE_INCONSISTENT:
            return "CKR_KEY_TYPE_INCONSISTENT";
        case CKR_CRYPTOKI_NOT_INITIALIZED:
            return "CKR_CRYPTOKI_NOT_INITIALIZED";
        default:
            break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "CK_RV 0x%lx", static_cast<unsigned long>(rv));
    return text;
}

TokenStatus classifyTokenReturn(unsigned long rv) {
    switch (rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            return TokenStatus::Done;
        case CKR_PIN_INCORRECT:
        case CKR_PIN_LEN_RANGE:
        case CKR_PIN_INVALID:
            return TokenStatus::WrongPIN;
        case CKR_PIN_LOCKED:
            return TokenStatus::PINLocked;
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_RECOGNIZED:
        case CKR_SLOT_ID_INVALID:
            return TokenStatus::TokenAbsent;
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
        case CKR_USER_NOT_LOGGED_IN:
        case CKR_DEVICE_ERROR:
        case CKR_CRYPTOKI_NOT_INITIALIZED:
            return TokenStatus::SessionLost;
        case CKR_MECHANISM_INVALID:
        case CKR_MECHANISM_PARAM_INVALID:
        case CKR_KEY_FUNCTION_NOT_PERMITTED:
        case CKR_KEY_TYPE_INCONSISTENT:
        case CKR_KEY_SIZE_RANGE:
            return TokenStatus::MechanismRefused;
        default:
            return TokenStatus::Failed;
    }
}

}  // namespace orvalis::detail
