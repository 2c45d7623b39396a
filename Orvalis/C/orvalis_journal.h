/* Orvalis C interface: the journal of payment attempts (docs/journal.md), also
 * reached through <Orvalis/C/orvalis.h>, whose rules (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_JOURNAL_H
#define ORVALIS_C_ORVALIS_JOURNAL_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ----------------------------------------------------------- client side */

/** Keeps the client's journal in the SQLite file at path, made when missing (see
 *  docs/journal.md); NULL or "": none (the default). all_operations non-zero records
 *  every operation, 0 authorize pairing and express checkout only. orvalis_client_new
 *  then fails with ORVALIS_ERROR_JOURNAL when the file cannot be opened. INVALID_ARGUMENT
 *  when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_journal(orvalis_client_config* config, const char* path,
                                                                 int all_operations);

/* --------------------------------------------------------------- journal */

/** A journal file opened for reading and settling its entries, beside any client
 *  that writes to it (in this process or another). Thread-safe. */
typedef struct orvalis_journal orvalis_journal;

/** Opens (or makes) the journal at path. JOURNAL when it cannot be opened or is not
 *  a journal (the last error says why); INVALID_ARGUMENT for NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_open(const char* path, orvalis_journal** journal_out);

/** Frees the handle. */
ORVALIS_C_EXPORT void orvalis_journal_free(orvalis_journal* journal);

/** The unsettled entries (outcome unknown or maybe reached, not settled), oldest
 *  first, as a JSON array of objects (docs/journal.md names their fields; free it
 *  with orvalis_free). JOURNAL when the file cannot be read; INVALID_ARGUMENT for NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_unsettled_json(orvalis_journal* journal, char** json_out);

/** Entry id as a JSON object (free it with orvalis_free). INVALID_ARGUMENT for NULL or
 *  when there is no such entry; JOURNAL when the file cannot be read. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_entry_json(orvalis_journal* journal, int64_t id, char** json_out);

/** Marks entry id resolved with note (NULL: ""). INVALID_ARGUMENT for NULL or when
 *  there is no such entry; JOURNAL when the file cannot be written. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_settle(orvalis_journal* journal, int64_t id, const char* note);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVALIS_C_ORVALIS_JOURNAL_H */
