/* Orvalis C interface: the journal of payment attempts (docs/journal.md), also
 * reached through <Orvalis/C/orvalis.h>, whose rules (ownership, failures, threads, ABI) hold. */
#ifndef ORVALIS_C_ORVALIS_JOURNAL_H
#define ORVALIS_C_ORVALIS_JOURNAL_H

#include <Orvalis/C/orvalis.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ----------------------------------------------------------- client side */

/** Keeps the client's journal at path: an SQLite file, made when missing, or a
 *  PostgreSQL database named by a libpq connection string ("postgresql://...",
 *  "host=db1 dbname=shop"; see docs/journal.md); NULL or "": none (the default). all_operations non-zero records
 *  every operation, 0 authorize pairing and express checkout only. orvalis_client_new
 *  then fails with ORVALIS_ERROR_JOURNAL when the file cannot be opened. INVALID_ARGUMENT
 *  when config is NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_client_config_set_journal(orvalis_client_config* config, const char* path,
                                                                 int all_operations);

/* --------------------------------------------------------------- journal */

/** A journal file opened for reading and settling its entries, beside any client
 *  that writes to it (in this process or another). Thread-safe. */
typedef struct orvalis_journal orvalis_journal;

/** Opens (or makes) the journal at path (a file or a connection string, as for
 *  orvalis_client_config_set_journal). JOURNAL when it cannot be opened or is not a
 *  journal (the last error says why, never with a password); INVALID_ARGUMENT for NULL. */
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

/* ------------------------------------------------------------- instances */

/** Names this process in the journals it writes (see setJournalInstance in Journal.h): id
 *  (NULL or "": host name, process id and start time) and how often, in ms, each journal it
 *  writes records that it is alive (10 to 3600000). INVALID_ARGUMENT for a bad value. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_set_instance(const char* id, int64_t alive_interval_ms);

/** The id this process's entries carry (free it with orvalis_free). */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_instance_id(char** id_out);

/** Flags of orvalis_journal_find_json. */
enum {
    ORVALIS_JOURNAL_ALL_ENTRIES = 1, /**< every entry, not only the unsettled ones */
    ORVALIS_JOURNAL_STALE_ONLY = 2   /**< only the entries of stale instances */
};

/** The entries of every instance, oldest first, as a JSON array of objects with the fields of
 *  orvalis_journal_entry_json plus "instance" and "instanceStale": unsettled ones unless flags has
 *  ORVALIS_JOURNAL_ALL_ENTRIES; only instance's (NULL: every instance); an instance not seen alive
 *  for longer than stale_after_ms (0: 60000) is stale; only entries recorded more than
 *  older_than_ms ago (0: any). JOURNAL when it cannot be read; INVALID_ARGUMENT for NULL. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_find_json(orvalis_journal* journal, const char* instance,
                                                         int64_t stale_after_ms, int flags, int64_t older_than_ms,
                                                         char** json_out);

/** Settles entry id with note unless it is settled already: *settled_out is 1 when this call
 *  settled it, 0 when it was settled before (of two instances at once, exactly one gets 1).
 *  INVALID_ARGUMENT for NULL or when there is no such entry; JOURNAL when it cannot be written. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_settle_once(orvalis_journal* journal, int64_t id, const char* note,
                                                           int* settled_out);

/** Copies every entry of from into to (a file into a database or back), adding only those to
 *  lacks: running it twice adds nothing. *copied_out and *present_out (each may be NULL) count
 *  the entries added and those already there. JOURNAL when either cannot be read or written. */
ORVALIS_C_EXPORT orvalis_status orvalis_journal_copy(orvalis_journal* from, orvalis_journal* to, int64_t* copied_out,
                                                    int64_t* present_out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ORVALIS_C_ORVALIS_JOURNAL_H */
