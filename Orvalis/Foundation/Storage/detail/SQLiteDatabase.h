#pragma once

// Internal to the library: not installed. The one adapter over SQLite: a
// connection kept for durable writes (WAL, every commit synced to disk) and
// its prepared statements, with SQLite's codes translated in one place.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

namespace orvalis::detail {

/// A store that failed: what() names the file, what was being done and SQLite's reason.
class StorageError : public std::runtime_error {
public:
    StorageError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
    /// SQLite's extended result code (SQLITE_FULL, SQLITE_BUSY, SQLITE_NOTADB, ...).
    int code() const noexcept { return code_; }
    /// True when another connection held the lock past the wait: the same write may be tried again.
    bool busy() const noexcept;

private:
    int code_;
};

class Database;
class Statement;

/// How a database is opened.
struct DatabaseOptions {
    /// How long a write waits for another connection's lock before it fails.
    std::chrono::milliseconds busyTimeout{5000};
    /// When set, the file may not grow past about this many bytes (writes then fail as a full disk would).
    std::optional<std::uint64_t> maxBytes;
    /// When set, a missing file is made by it: it fills a new database in a private temporary
    /// file (mode 0600), which then takes the path whole, so that no one sees it half made.
    /// When unset, a missing file is made empty by SQLite.
    std::function<void(Database&)> make;
    /// When set, called on the file as found, before anything is written to it: it reads
    /// and throws to refuse the file, which is then left as it was.
    std::function<void(Database&)> admit;
};

/// One connection to one SQLite file, opened (created when missing) in WAL mode
/// with synchronous=FULL: a committed write survives a crash or power loss. The
/// file and its companions (-wal, -shm) are only readable by their owner when made by options.make.
/// One user at a time; the owner locks.
class Database {
public:
    /// Throws StorageError when the file cannot be opened or is not a database.
    Database(const std::string& path, const DatabaseOptions& options);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    /// Runs sql (one or more statements without results). Throws StorageError.
    void execute(std::string_view sql);
    /// A prepared statement of this connection. Throws StorageError.
    Statement prepare(std::string_view sql);
    /// How long a write waits for another connection's lock from now on.
    void setBusyTimeout(std::chrono::milliseconds wait) noexcept;
    /// The row id of the last row inserted through this connection.
    std::int64_t lastInsertId() const noexcept;
    /// Rows changed by the last statement.
    int changes() const noexcept;
    /// Throws StorageError for code, saying what was being done.
    [[noreturn]] void fail(std::string_view doing, int code) const;

private:
    void open(int flags);
    void makeDurable(const DatabaseOptions& options);

    sqlite3* db_ = nullptr;
    std::string path_;
};

/// A prepared statement: bind parameters (from 1), step through its rows, read columns (from 0).
class Statement {
public:
    Statement(Database& database, sqlite3_stmt* statement, std::string verb) noexcept
        : database_(&database), statement_(statement), verb_(std::move(verb)) {}
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;
    ~Statement();

    /**@{*/
    /// Binds parameter index; an empty optional binds NULL. Throws StorageError.
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, double value);
    Statement& bind(int index, std::string_view text);
    template <class T>
    Statement& bind(int index, const std::optional<T>& value) {
        return value ? bind(index, *value) : bindNull(index);
    }
    Statement& bindNull(int index);
    /**@}*/
    /// The next row: true when there is one, false when done. Throws StorageError.
    bool step();
    /**@{*/
    /// Columns of the current row; NULL reads as no value.
    std::optional<std::int64_t> integer(int column) const noexcept;
    std::optional<double> real(int column) const noexcept;
    std::optional<std::string> text(int column) const;
    /**@}*/

private:
    Database* database_;
    sqlite3_stmt* statement_;
    std::string verb_;  // the statement's first word, for messages
};

}  // namespace orvalis::detail
