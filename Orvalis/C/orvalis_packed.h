/* Orvalis C interface: a whole result in one call, for hosts (Python's ctypes, .NET,
 * JNI) whose every crossing into C costs more than the copy; also reached through
 * <Orvalis/C/orvalis.h>, whose rules (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_PACKED_H
#define ORVALIS_C_ORVALIS_PACKED_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Everything orvalis_result_* tells of a result but its body, as text fields that each end
 *  with a NUL byte, in this order (numbers in decimal):
 *
 *    succeeded ("1" or "0"), http_status, reached, error_code, H (header fields), A (attempts),
 *    answer JSON ("" on failure), error domain, error message ("" on success),
 *    the server's error entry as JSON ("" when none),
 *    then H pairs: name, value;
 *    then A groups: correlation_id, started_after_us, name_lookup_us, connect_us, tls_us,
 *    first_byte_us, total_us, http_status, error_code.
 *
 *  Each text is what the call of its own gives (up to its first NUL). More fields may follow
 *  in a later version: read what you know and ignore the rest. The length of the whole
 *  (every field's NUL included) goes to *length_out when not NULL; free the text with
 *  orvalis_free. NULL (length 0) for NULL or when memory runs out (see orvalis_last_error). */
ORVALIS_C_EXPORT char* orvalis_result_packed(const orvalis_result* result, size_t* length_out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVALIS_C_ORVALIS_PACKED_H */
