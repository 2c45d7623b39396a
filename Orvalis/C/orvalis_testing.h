/* Orvalis C interface, testing your integration: a client answered in-process
 * instead of the network, and a check of a request's OAuth signature. The
 * rules of <Orvalis/C/orvalis.h> (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_TESTING_H
#define ORVALIS_C_ORVALIS_TESTING_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/** One request as it would go out: valid during the call it is passed to only. */
typedef struct orvalis_exchange {
    size_t struct_size;              /**< sizeof(orvalis_exchange) as the library knows it */
    const char* method;              /**< "GET" or "POST" */
    const char* url;                 /**< "https://host/path?query" */
    size_t header_count;             /**< number of header fields */
    const char* const* header_names; /**< header_count names, in order */
    const char* const* header_values; /**< header_count values (Authorization holds the signature) */
    const char* body;                /**< body bytes (not NUL-terminated); NULL: no body */
    size_t body_length;              /**< length of body */
} orvalis_exchange;

/** What an answerer says in place of the server. The library fills struct_size and
 *  the defaults (status 200, no body, no error) before the call and copies the
 *  fields right after it returns: they must stay valid until then. */
typedef struct orvalis_reply {
    size_t struct_size;       /**< sizeof(orvalis_reply) as the library knows it */
    int http_status;          /**< the answer's status */
    const char* content_type; /**< its Content-Type; NULL: none */
    const char* body;         /**< its body bytes; NULL: empty */
    size_t body_length;       /**< length of body */
    int64_t error_code;       /**< non-zero: the exchange failed with this ORVALIS_URL_ERROR_* code instead */
    int request_sent;         /**< with error_code: non-zero when the request may have reached the server */
} orvalis_reply;

/** Answers one request of a client, on the library's delivery thread, once per attempt. */
typedef void (*orvalis_answerer)(const orvalis_exchange* request, orvalis_reply* reply, void* user_data);

/** For a host's tests: every request of clients made from config is built and signed
 *  as usual, then handed to answerer (with user_data) instead of the network; NULL
 *  restores the network. INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_answerer(orvalis_client_config* config,
                                                                  orvalis_answerer answerer, void* user_data);

/** Checks request's OAuth signature, body hash and clock window as the merchant server
 *  does, against the certificates or public key in certificate_pem; consumer_key (NULL:
 *  any) must match. OK with *reason_out NULL when it verifies, OK with *reason_out the
 *  reason (free it with orvalis_free) when it does not; INVALID_ARGUMENT for NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_check_signature(const orvalis_exchange* request, const char* certificate_pem,
                                                       const char* consumer_key, char** reason_out);

#ifdef __cplusplus
}
#endif

#endif /* ORVALIS_C_ORVALIS_TESTING_H */
