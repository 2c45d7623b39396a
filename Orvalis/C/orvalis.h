/* Orvalis C interface: the six merchant operations, the XML converter and the
 * request signer for hosts written in C or in any language that calls C
 * (Swift, Kotlin/JNI, Python ctypes, C#). C11, also usable from C++.
 *
 * Ownership
 *   - Every `char*` a function returns or writes to an out parameter belongs to
 *     the caller: free it with orvalis_free(). Text is UTF-8, NUL-terminated.
 *   - `const char*` results (orvalis_version, orvalis_status_text) are static:
 *     never free them.
 *   - Each handle has its own _free function; every _free accepts NULL.
 *   - Input strings and structs are read during the call only (copied when kept).
 *
 * Failures
 *   - Functions that can fail return an orvalis_status; ORVALIS_OK (0) is success.
 *     On failure their out parameters are set to NULL, and orvalis_last_error()
 *     gives the reason on the calling thread.
 *   - A NULL where a handle or struct is required, a struct_size that cuts a field
 *     (see ABI rules), or a value the library refuses, gives
 *     ORVALIS_ERROR_INVALID_ARGUMENT, never a crash; ORVALIS_ERROR_INTERNAL is only
 *     for the library's own faults.
 *   - No C++ exception ever crosses this interface.
 *
 * Threads
 *   - Any thread may call any function, except that waiting (orvalis_operation_wait,
 *     orvalis_client_wait_idle) inside a completion callback gives
 *     ORVALIS_ERROR_WRONG_THREAD: the callback runs on the thread it would wait for.
 *   - Completion callbacks run exactly once per started operation, on the library's
 *     delivery thread, never inside the call that started the operation.
 *
 * ABI rules
 *   - A minor version (1.x) may add functions, enumerators and struct fields at the
 *     end; it never changes or removes any. A patch version changes no declaration.
 *   - Structs passed by pointer begin with struct_size: set it to sizeof the struct
 *     you compiled against, and fill them with designated initializers (the rest is
 *     then zero). Every field that struct_size covers is read and checked, and no
 *     other, so old callers keep working; a struct_size that ends inside a field, or
 *     past the struct this library knows, gives INVALID_ARGUMENT. All other types
 *     are opaque handles.
 */
#ifndef ORVALIS_C_ORVALIS_H
#define ORVALIS_C_ORVALIS_H

#include <Orvalis/Version.h>

#include <stddef.h>
#include <stdint.h>

/* ORVALIS_C_EXPORT marks the functions of this interface: exported from every
 * shared Orvalis library, whatever else that library hides. */
#if defined(_WIN32)
#if defined(ORVALIS_BUILDING)
#define ORVALIS_C_EXPORT __declspec(dllexport)
#elif defined(ORVALIS_STATIC_DEFINE)
#define ORVALIS_C_EXPORT
#else
#define ORVALIS_C_EXPORT __declspec(dllimport)
#endif
#else
#define ORVALIS_C_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- basics */

/** What a call gave. Values are stable; new ones may be added at the end. */
typedef enum orvalis_status {
    ORVALIS_OK = 0,                     /**< success */
    ORVALIS_ERROR_INVALID_ARGUMENT = 1, /**< NULL, a struct_size that cuts a field, or a refused value */
    ORVALIS_ERROR_TIMEOUT = 2,          /**< a wait ended before the operation(s) completed */
    ORVALIS_ERROR_MALFORMED_INPUT = 3,  /**< XML that is not well-formed, JSON that is not an object, a bad URL */
    ORVALIS_ERROR_KEY = 4,              /**< the merchant key could not be loaded or cannot sign */
    ORVALIS_ERROR_WRONG_THREAD = 5,     /**< a wait called inside a completion callback */
    ORVALIS_ERROR_NO_MEMORY = 6,        /**< memory ran out */
    ORVALIS_ERROR_INTERNAL = 7,         /**< a fault of the library (e.g. the delivery thread could not start) */
    ORVALIS_ERROR_JOURNAL = 8           /**< the journal file cannot be opened, read or written */
} orvalis_status;

/** The library's "MAJOR.MINOR.PATCH" (compare with ORVALIS_VERSION_STRING of the
 *  header you compiled against). Static: never freed. Never fails. */
ORVALIS_C_EXPORT const char* orvalis_version(void);

/** A short English name for status ("invalid argument"); "unknown status" for any
 *  other value. Static: never freed. */
ORVALIS_C_EXPORT const char* orvalis_status_text(orvalis_status status);

/** Frees a string (or any other memory) the library handed out. NULL does nothing. */
ORVALIS_C_EXPORT void orvalis_free(void* memory);

/** Why the last call that failed on this thread failed (a copy: free it with
 *  orvalis_free), or NULL when no call failed on this thread yet. */
ORVALIS_C_EXPORT char* orvalis_last_error(void);

/* ------------------------------------------------- process-wide settings */

/** Where the library looks for key resources ("<name>.p12") and the
 *  "AuthorizePairing.xml" template. INVALID_ARGUMENT when directory is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_set_resource_path(const char* directory);

/** Trusts the certificates of a PEM file besides the system store, for every
 *  client. INVALID_ARGUMENT when pem_path is NULL or the file holds no certificate. */
ORVALIS_C_EXPORT orvalis_status orvalis_add_trusted_certificates(const char* pem_path);

/** Requires the server at host to present one of pins ("sha256//<base64>" joined by
 *  ";"; "" removes the pin), for every client. INVALID_ARGUMENT for NULL or a malformed list. */
ORVALIS_C_EXPORT orvalis_status orvalis_pin_public_keys(const char* host, const char* pins);

/** Receives one diagnostic line (line[length] is NUL; the text is valid during the
 *  call only). Called on any thread, possibly on several at once. */
typedef void (*orvalis_log_handler)(const char* line, size_t length, void* user_data);

/** Sends the library's diagnostic lines to handler with user_data; a NULL handler
 *  silences them. A client's lines are redacted unless it asks for full ones
 *  (orvalis_client_config_set_full_log_lines). Never fails. */
ORVALIS_C_EXPORT void orvalis_set_log_handler(orvalis_log_handler handler, void* user_data);

/** Sends the diagnostic lines to standard error again (the default). */
ORVALIS_C_EXPORT void orvalis_reset_log_handler(void);

/** Keeps each imported merchant key in this process's memory for lifetime_ms after its
 *  import, for every client, so that a busy host does not import the PKCS#12 file for
 *  every request; 0 (the default) turns the cache off and drops every kept key. The
 *  price: the private key stays in memory between requests. A kept key is used again
 *  only for the same source and password, and a file's key is imported anew when the
 *  file changed (docs/signing.md). INVALID_ARGUMENT for a negative lifetime. */
ORVALIS_C_EXPORT orvalis_status orvalis_set_key_cache_lifetime(int64_t lifetime_ms);

/** Drops every kept key now; the cache stays on or off as it was. Never fails. */
ORVALIS_C_EXPORT void orvalis_clear_key_cache(void);

/** How many imported keys the cache keeps right now. */
ORVALIS_C_EXPORT size_t orvalis_key_cache_count(void);

/* ------------------------------------------------------------ key source */

/** Where a merchant's PKCS#12 key comes from. Immutable; any thread may use one. */
typedef struct orvalis_key_source orvalis_key_source;

/** "<name>.p12" among the resources (orvalis_set_resource_path). INVALID_ARGUMENT
 *  when name or source_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_key_source_resource(const char* name, orvalis_key_source** source_out);

/** The PKCS#12 file at path (absolute or relative to the working directory).
 *  INVALID_ARGUMENT when path or source_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_key_source_file(const char* path, orvalis_key_source** source_out);

/** A copy of length PKCS#12 (DER) bytes, wiped when the last user lets go.
 *  INVALID_ARGUMENT when bytes (with length > 0) or source_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_key_source_memory(const void* bytes, size_t length,
                                                         orvalis_key_source** source_out);

/** The private key an RFC 7512 URI names in a PKCS#11 token
 *  ("pkcs11:token=shop;object=merchant;type=private", with ?module-path=<module .so>
 *  or else the modules p11-kit is configured with). The key signs inside the token
 *  and never comes into memory. Its PIN is the first line of the file pin_file,
 *  read at login; with pin_file NULL, the key password (orvalis_client_config_set_key_password,
 *  orvalis_sign_request.password) is the PIN. A pin-value in the URI is never used.
 *  Why a token gives no signature is named by the key status text: "not a PKCS#11 URI",
 *  "PKCS#11 module cannot be loaded", "no token present matches", "no PIN given",
 *  "wrong PIN", "PIN locked", "no private key in the token matches", "two or more keys
 *  in the token match", "the key cannot sign with RSA PKCS#1 v1.5", "the token session
 *  was lost", "the token refused". INVALID_ARGUMENT when uri or source_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_key_source_token(const char* uri, const char* pin_file,
                                                        orvalis_key_source** source_out);

/** Gives a token's PIN when the token asks for a login, on the thread that signs: writes at most
 *  capacity bytes to pin_out and returns how many, or -1 for no PIN. The library wipes the buffer
 *  after the login. Must be safe to call from any thread. */
typedef long (*orvalis_pin_callback)(void* user_data, char* pin_out, size_t capacity);

/** As orvalis_key_source_token, the PIN asked of callback (with user_data, which must outlive every
 *  client and configuration made with the source) at each login. INVALID_ARGUMENT when uri,
 *  callback or source_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_key_source_token_pin_callback(const char* uri, orvalis_pin_callback callback,
                                                                     void* user_data, orvalis_key_source** source_out);

/** Frees a key source; clients and configurations made with it keep their own copy. */
ORVALIS_C_EXPORT void orvalis_key_source_free(orvalis_key_source* source);

/* ---------------------------------------------------------------- client */

/** The settings a client is made from. Not synchronised: one thread at a time. */
typedef struct orvalis_client_config orvalis_client_config;

/** A new configuration: no host, consumer key or key, idle time-out 180000 ms, no
 *  overall time-out. INVALID_ARGUMENT when config_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_new(orvalis_client_config** config_out);

/** Frees a configuration, wiping the password it holds. */
ORVALIS_C_EXPORT void orvalis_client_config_free(orvalis_client_config* config);

/** The server's host, e.g. "api.example.com" or "127.0.0.1:8443" (no scheme, no
 *  trailing "/"); NULL unsets. INVALID_ARGUMENT when config is NULL. A host that is
 *  not a host makes each operation fail before sending. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_host(orvalis_client_config* config, const char* host);

/** The OAuth consumer key; NULL unsets. INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_consumer_key(orvalis_client_config* config,
                                                                      const char* consumer_key);

/** The merchant key (copied); NULL unsets. INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_key_source(orvalis_client_config* config,
                                                                    const orvalis_key_source* source);

/** The key's password (copied, wiped when no longer needed); NULL unsets.
 *  INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_key_password(orvalis_client_config* config,
                                                                      const char* password);

/** On (non-zero, the default): a request that cannot be signed is not sent; the
 *  operation fails with ORVALIS_URL_ERROR_CANNOT_SIGN_REQUEST, its message naming the
 *  cause (wrong password, not found, ...) and where the key was looked for. 0: such a
 *  request goes out unsigned. INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_require_signature(orvalis_client_config* config,
                                                                           int require);

/** An operation fails with URL error ORVALIS_URL_ERROR_TIMED_OUT when no byte moves
 *  for milliseconds; INT64_MAX means no limit. INVALID_ARGUMENT ("the idle time-out
 *  must be above zero") when config is NULL or milliseconds <= 0. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_idle_timeout_ms(orvalis_client_config* config,
                                                                         int64_t milliseconds);

/** An operation fails with ORVALIS_URL_ERROR_TIMED_OUT once milliseconds have passed
 *  since its start; 0 (or INT64_MAX) removes the limit. INVALID_ARGUMENT when config is
 *  NULL or milliseconds < 0. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_overall_timeout_ms(orvalis_client_config* config,
                                                                            int64_t milliseconds);

/** 0 (the default): the lines the client's operations log are redacted (Authorization
 *  values and signatures masked, request and answer bodies shown by their size only);
 *  nonzero: the full lines, bodies, headers and signatures in clear. INVALID_ARGUMENT
 *  when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_full_log_lines(orvalis_client_config* config, int full);

/** Runs the six operations with one configuration. Thread-safe. */
typedef struct orvalis_client orvalis_client;

/** A client with a copy of config (free config whenever you like).
 *  INVALID_ARGUMENT when config or client_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_new(const orvalis_client_config* config, orvalis_client** client_out);

/** Frees a client. Its operations in flight go on and still call their callbacks
 *  (cancel them first with orvalis_client_cancel_all if they must stop). */
ORVALIS_C_EXPORT void orvalis_client_free(orvalis_client* client);

/** Number of the client's operations not yet completed (callbacks included); 0 for NULL. */
ORVALIS_C_EXPORT size_t orvalis_client_in_flight(const orvalis_client* client);

/** Waits until every operation of the client has completed and its callback has
 *  returned, or timeout_ms (< 0 or INT64_MAX: no limit) has passed: OK, TIMEOUT, WRONG_THREAD or
 *  INVALID_ARGUMENT (client NULL). */
ORVALIS_C_EXPORT orvalis_status orvalis_client_wait_idle(const orvalis_client* client, int64_t timeout_ms);

/** Cancels every operation of the client in flight (see orvalis_operation_cancel).
 *  INVALID_ARGUMENT when client is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_cancel_all(const orvalis_client* client);

/* ------------------------------------------------------------ operations */

/** Whether a failed operation's request may have reached the server. */
typedef enum orvalis_reached {
    ORVALIS_REACHED_NO = 0,    /**< refused locally, or no connection was made: nothing was sent */
    ORVALIS_REACHED_MAYBE = 1, /**< sending began but no answer came (lost, timed out, cancelled) */
    ORVALIS_REACHED_YES = 2    /**< the server answered (also on every success) */
} orvalis_reached;

/** Error domain of transport failures (no answer); codes ORVALIS_URL_ERROR_*. */
#define ORVALIS_URL_ERROR_DOMAIN "org.orvalis.URLErrorDomain"
/** Error domain of failures the server's answer caused (code 101; 102: too large to decode). */
#define ORVALIS_NETWORK_ERROR_DOMAIN "org.orvalis.ZRBNetworkManager"
/** Error domain of an answer whose HTTP status is outside 2xx, whatever its body: the code is
 *  the status; the result keeps the status, header fields, body and the server's error entry,
 *  and ORVALIS_REACHED_YES. */
#define ORVALIS_HTTP_ERROR_DOMAIN "org.orvalis.HTTPErrorDomain"
/** The operation was cancelled. */
#define ORVALIS_URL_ERROR_CANCELLED (-999)
/** An idle or overall time-out passed. */
#define ORVALIS_URL_ERROR_TIMED_OUT (-1001)
/** The connection was refused or could not be made. */
#define ORVALIS_URL_ERROR_CANNOT_CONNECT_TO_HOST (-1004)
/** The connection closed before the answer was complete (the request may have reached the server). */
#define ORVALIS_URL_ERROR_NETWORK_CONNECTION_LOST (-1005)
/** The server's certificate chain is not trusted, out of date or for another host. */
#define ORVALIS_URL_ERROR_SERVER_CERTIFICATE_UNTRUSTED (-1202)
/** The server's public key matches none pinned for its host. */
#define ORVALIS_URL_ERROR_SERVER_PUBLIC_KEY_PIN_MISMATCH (-1210)
/** Not sent: no signature could be made and one is required. */
#define ORVALIS_URL_ERROR_CANNOT_SIGN_REQUEST (-1231)
/** Not sent: the body cannot be written (text that is not UTF-8, a number that is not finite). */
#define ORVALIS_URL_ERROR_CANNOT_WRITE_BODY (-1232)
/** Not sent: a path id is empty, missing, or cannot stand in the URL path. */
#define ORVALIS_URL_ERROR_BAD_PATH_SEGMENT (-1233)
/** Not sent: the client's journal could not record the attempt (disk full, locked, read-only). */
#define ORVALIS_URL_ERROR_CANNOT_RECORD_REQUEST (-1234)

/** How an operation ended. Immutable; any thread may read it. */
typedef struct orvalis_result orvalis_result;

/** 1 when the operation succeeded (the answer is there), 0 when it failed or result is NULL. */
ORVALIS_C_EXPORT int orvalis_result_succeeded(const orvalis_result* result);

/** The answer's HTTP status (also on failure), or 0 when no answer came or result is NULL. */
ORVALIS_C_EXPORT int orvalis_result_http_status(const orvalis_result* result);

/** Whether the request may have reached the server; ORVALIS_REACHED_NO for NULL. */
ORVALIS_C_EXPORT orvalis_reached orvalis_result_reached(const orvalis_result* result);

/** On success, the decoded answer as compact JSON text, every number with all its
 *  digits (free it with orvalis_free); NULL on failure or for NULL. */
ORVALIS_C_EXPORT char* orvalis_result_answer_json(const orvalis_result* result);

/** On failure, the error's domain (ORVALIS_URL_ERROR_DOMAIN, ORVALIS_NETWORK_ERROR_DOMAIN,
 *  ORVALIS_HTTP_ERROR_DOMAIN; free it with orvalis_free); NULL on success or for NULL. */
ORVALIS_C_EXPORT char* orvalis_result_error_domain(const orvalis_result* result);

/** On failure, the error's code within its domain; 0 on success or for NULL. */
ORVALIS_C_EXPORT int64_t orvalis_result_error_code(const orvalis_result* result);

/** On failure, the error's description (free it with orvalis_free); NULL on success or for NULL. */
ORVALIS_C_EXPORT char* orvalis_result_error_message(const orvalis_result* result);

/** On failure, the server's own error entry as compact JSON text (the first object of
 *  a JSON "errors" array, or an XML Error element; free it with orvalis_free); NULL
 *  when the server sent none, on success, or for NULL. */
ORVALIS_C_EXPORT char* orvalis_result_server_error_json(const orvalis_result* result);

/** On a failure the server answered, its body as it came (content encoding undone) and
 *  its length in *length_out when not NULL (free it with orvalis_free); NULL on success
 *  (see orvalis_result_answer_json), when no answer came, or for NULL. */
ORVALIS_C_EXPORT char* orvalis_result_body(const orvalis_result* result, size_t* length_out);

/** Number of header fields of the answer (success or failure); 0 when no answer came or for NULL. */
ORVALIS_C_EXPORT size_t orvalis_result_header_count(const orvalis_result* result);

/** Header field index of the answer, in the order it came: its name and value (free both
 *  with orvalis_free). INVALID_ARGUMENT for NULL or an index past the last. */
ORVALIS_C_EXPORT orvalis_status orvalis_result_header(const orvalis_result* result, size_t index, char** name_out,
                                                     char** value_out);

/** A second handle to the same result, to keep beyond a callback (free both).
 *  INVALID_ARGUMENT when result or copy_out is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_result_copy(const orvalis_result* result, orvalis_result** copy_out);

/** Frees a result handle. */
ORVALIS_C_EXPORT void orvalis_result_free(orvalis_result* result);

/** Called exactly once when an operation completes, on the library's delivery thread.
 *  result is valid during the call only (orvalis_result_copy keeps it); never free it.
 *  Return promptly: every operation's completion runs on that one thread. */
typedef void (*orvalis_completion)(const orvalis_result* result, void* user_data);

/** An operation in flight or completed. Freeing the handle does not stop the operation. */
typedef struct orvalis_operation orvalis_operation;

/** Waits until the operation has completed or timeout_ms (< 0 or INT64_MAX: no limit) has passed.
 *  OK (and, when result_out is not NULL, a result to free), TIMEOUT, WRONG_THREAD or
 *  INVALID_ARGUMENT (operation NULL). */
ORVALIS_C_EXPORT orvalis_status orvalis_operation_wait(const orvalis_operation* operation, int64_t timeout_ms,
                                                      orvalis_result** result_out);

/** 1 once the operation's result is decided (nothing, a cancel included, changes it any
 *  more; the observer's COMPLETED event and the callback may still be running or to come),
 *  else 0 (also for NULL). */
ORVALIS_C_EXPORT int orvalis_operation_is_done(const orvalis_operation* operation);

/** Ends the operation with ORVALIS_URL_ERROR_CANCELLED unless its result is decided (then
 *  nothing happens, and orvalis_operation_is_done gives 1 once this returns); its callback
 *  still runs once. Once this returns, the result is
 *  the one decided before the call or the cancel failure, never a later success;
 *  when the answer had already arrived, the cancel failure keeps its HTTP status and
 *  ORVALIS_REACHED_YES. INVALID_ARGUMENT when operation is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_operation_cancel(const orvalis_operation* operation);

/** Frees the handle; the operation goes on and its callback still runs. */
ORVALIS_C_EXPORT void orvalis_operation_free(orvalis_operation* operation);

/** Per-call settings; a field left 0 keeps the client's value. */
typedef struct orvalis_call_options {
    size_t struct_size;         /**< sizeof(orvalis_call_options) */
    int64_t idle_timeout_ms;    /**< idle time-out of this call; 0: the client's */
    int64_t overall_timeout_ms; /**< overall limit of this call; 0: the client's */
    int max_attempts;           /**< attempts of this call, 1 (no retry) to 10; 0: the client's (since 1.1;
                                     a struct_size of offsetof(max_attempts) leaves it unread) */
} orvalis_call_options;

/* The request of each operation: its own fields, NULL for unset text. The
 * client's host, consumer key and key are added to every request.
 *
 * Every start function below takes the client, the request, options (NULL: the
 * client's), a completion callback (may be NULL) with its user_data, and
 * operation_out (NULL: no handle is kept). On ORVALIS_OK the callback will run
 * exactly once and *operation_out (when given) is a handle to free. On any other
 * status (INVALID_ARGUMENT for a NULL client or request, a struct_size that cuts a field;
 * INTERNAL when the operation could not start) the callback never runs and
 * *operation_out is NULL. Failures of the operation itself (a refused host, no
 * signature, the server's error, a transport failure) arrive in the result. */

/** GET "/dataprov-apis/public/initializepairing". */
typedef struct orvalis_initialize_pairing_request {
    size_t struct_size;      /**< sizeof(orvalis_initialize_pairing_request) */
    const char* checkout_id; /**< "checkoutId" */
    const char* user_id;     /**< "userId" */
} orvalis_initialize_pairing_request;

/** Starts initialize-pairing; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_initialize_pairing(const orvalis_client* client,
                                                                 const orvalis_initialize_pairing_request* request,
                                                                 const orvalis_call_options* options,
                                                                 orvalis_completion completion, void* user_data,
                                                                 orvalis_operation** operation_out);

/** GET "/quorvex/pairingid". */
typedef struct orvalis_pairing_id_request {
    size_t struct_size;                 /**< sizeof(orvalis_pairing_id_request) */
    const char* pairing_transaction_id; /**< "pairingTransactionId" */
    const char* user_id;                /**< "userId" */
} orvalis_pairing_id_request;

/** Starts get-pairing-id; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_get_pairing_id(const orvalis_client* client,
                                                             const orvalis_pairing_id_request* request,
                                                             const orvalis_call_options* options,
                                                             orvalis_completion completion, void* user_data,
                                                             orvalis_operation** operation_out);

/** POST "/dataprov-apis/stage1/quorvex/partner/v6/pairing" (body from the
 *  "AuthorizePairing.xml" resource). */
typedef struct orvalis_authorize_pairing_request {
    size_t struct_size;                 /**< sizeof(orvalis_authorize_pairing_request) */
    const char* checkout_id;            /**< the template's checkout id */
    const char* pairing_transaction_id; /**< the template's pairing transaction id */
} orvalis_authorize_pairing_request;

/** Starts authorize-pairing; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_authorize_pairing(const orvalis_client* client,
                                                                const orvalis_authorize_pairing_request* request,
                                                                const orvalis_call_options* options,
                                                                orvalis_completion completion, void* user_data,
                                                                orvalis_operation** operation_out);

/** GET "/quorvex/precheckoutdata/<pairing_id>". */
typedef struct orvalis_precheckout_data_request {
    size_t struct_size;     /**< sizeof(orvalis_precheckout_data_request) */
    const char* pairing_id; /**< the path's pairing id */
} orvalis_precheckout_data_request;

/** Starts get-precheckout-data; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_get_precheckout_data(const orvalis_client* client,
                                                                   const orvalis_precheckout_data_request* request,
                                                                   const orvalis_call_options* options,
                                                                   orvalis_completion completion, void* user_data,
                                                                   orvalis_operation** operation_out);

/** POST "/quorvex/expresscheckout" with a JSON body. Never re-send it blindly after
 *  a failure whose reach-state is not ORVALIS_REACHED_NO. */
typedef struct orvalis_express_checkout_request {
    size_t struct_size;                     /**< sizeof(orvalis_express_checkout_request) */
    const char* checkout_id;                /**< "checkoutId" */
    const char* pairing_id;                 /**< "pairingId" */
    const char* pre_checkout_transaction_id; /**< "preCheckoutTransactionId" */
    double amount;                          /**< "amount" */
    const char* currency;                   /**< "currency" */
    const char* card_id;                    /**< "cardId" */
    const char* shipping_address_id;        /**< "shippingAddressId" */
    int digital_goods;                      /**< "digitalGoods": nonzero for true */
    const char* psp_id;                     /**< "pspId" */
    const char* external_data;              /**< "externalData" */
} orvalis_express_checkout_request;

/** Starts express-checkout; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_express_checkout(const orvalis_client* client,
                                                               const orvalis_express_checkout_request* request,
                                                               const orvalis_call_options* options,
                                                               orvalis_completion completion, void* user_data,
                                                               orvalis_operation** operation_out);

/** GET "/quorvex/paymentdata/<transaction_id>?checkoutId=..&cartId=..". The fields
 *  stand in the order of 1.0 (cart_id before checkout_id, unlike the query), kept so
 *  that compiled hosts go on working: fill it with designated initializers. */
typedef struct orvalis_payment_data_request {
    size_t struct_size;         /**< sizeof(orvalis_payment_data_request) */
    const char* transaction_id; /**< the path's transaction id */
    const char* cart_id;        /**< "cartId" */
    const char* checkout_id;    /**< "checkoutId" */
    const char* psp_id;         /**< "pspId" */
    const char* external_data;  /**< "externalData" */
} orvalis_payment_data_request;

/** Starts get-payment-data; see the start functions' contract above. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_get_payment_data(const orvalis_client* client,
                                                               const orvalis_payment_data_request* request,
                                                               const orvalis_call_options* options,
                                                               orvalis_completion completion, void* user_data,
                                                               orvalis_operation** operation_out);

/* ---------------------------------------- attempts, retries and observer */

/** Tries a failed operation again where that is safe: a request never sent (any
 *  operation); for the GET operations also a lost connection, a time-out, or HTTP 429,
 *  502, 503 or 504. A POST that may have reached the server is never sent again.
 *  max_attempts counts the first (0 or 1: no retry; at most 10; default 3); the pause
 *  before the second attempt is initial_backoff_ms (default 250), doubling up to
 *  max_backoff_ms (default 4000), less a random part of up to half; a Retry-After of
 *  up to max_retry_after_ms (default 60000) is waited for, a longer one ends the
 *  operation. INVALID_ARGUMENT for NULL or a value out of range. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_retry(orvalis_client_config* config, int max_attempts,
                                                               int64_t initial_backoff_ms, int64_t max_backoff_ms,
                                                               int64_t max_retry_after_ms);

/** One attempt of an operation. Durations in microseconds; the phases never decrease
 *  in this order (a reused connection shows for lookup, connect and TLS when it was
 *  taken over: a short time, not 0). */
typedef struct orvalis_attempt {
    size_t struct_size;       /**< sizeof(orvalis_attempt) */
    int64_t started_after_us; /**< when the attempt started, from the operation's start */
    int64_t name_lookup_us;   /**< name resolved */
    int64_t connect_us;       /**< connection made */
    int64_t tls_us;           /**< TLS handshake done */
    int64_t first_byte_us;    /**< first byte of the answer */
    int64_t total_us;         /**< transfer ended */
    int http_status;          /**< the answer's status; 0 when none came */
    int64_t error_code;       /**< the attempt's error code; 0 on success */
} orvalis_attempt;

/** Number of attempts the operation made (0: refused before sending, or NULL). */
ORVALIS_C_EXPORT size_t orvalis_result_attempt_count(const orvalis_result* result);

/** Fills *attempt_out (set its struct_size first) with attempt index (0 for the first).
 *  INVALID_ARGUMENT for NULL, a struct_size that cuts a field or an index past the last. */
ORVALIS_C_EXPORT orvalis_status orvalis_result_attempt(const orvalis_result* result, size_t index,
                                                      orvalis_attempt* attempt_out);

/** The correlation id of attempt index: the oauth_nonce its request carried, as the
 *  server saw it (free it with orvalis_free); NULL for NULL or an index past the last. */
ORVALIS_C_EXPORT char* orvalis_result_attempt_correlation_id(const orvalis_result* result, size_t index);

/** What an observer is told about. */
typedef enum orvalis_event_kind {
    ORVALIS_EVENT_STARTED = 0,       /**< an operation started (on the thread that started it) */
    ORVALIS_EVENT_ATTEMPT_ENDED = 1, /**< one attempt ended (delivery thread) */
    ORVALIS_EVENT_COMPLETED = 2      /**< the operation completed, before its callback (delivery thread) */
} orvalis_event_kind;

/** One event of one operation; everything in it is valid during the observer's call only. */
typedef struct orvalis_event {
    size_t struct_size;            /**< sizeof(orvalis_event) as the library knows it */
    orvalis_event_kind kind;       /**< what happened */
    const char* operation;         /**< the C++ operation's name, e.g. "getPairingId" */
    int attempt;                   /**< ATTEMPT_ENDED: its number from 1; COMPLETED: attempts made */
    int64_t retry_in_ms;           /**< ATTEMPT_ENDED: the pause before the next attempt; -1: none follows */
    const char* correlation_id;    /**< ATTEMPT_ENDED: the attempt's oauth_nonce; else "" */
    orvalis_attempt attempt_info;  /**< ATTEMPT_ENDED: that attempt */
    const orvalis_result* result;  /**< COMPLETED: the result; else NULL */
} orvalis_event;

/** Receives the events of a client's operations, for metrics or tracing. Return promptly. */
typedef void (*orvalis_observer)(const orvalis_event* event, void* user_data);

/** Tells observer (with user_data) when each operation starts, after each attempt and
 *  at completion; NULL: nobody. INVALID_ARGUMENT when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_observer(orvalis_client_config* config,
                                                                  orvalis_observer observer, void* user_data);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The XML converter, the request signer, the journal, the packed result and the per-client
 * transport settings, in headers of their own. */
#include <Orvalis/C/orvalis_journal.h>
#include <Orvalis/C/orvalis_packed.h>
#include <Orvalis/C/orvalis_transport.h>
#include <Orvalis/C/orvalis_xml.h>

#endif /* ORVALIS_C_ORVALIS_H */
