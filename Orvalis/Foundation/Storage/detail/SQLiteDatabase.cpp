#include <Orvalis/Foundation/Storage/detail/SQLiteDatabase.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

namespace orvalis::detail {

namespace {

std::string reason(sqlite3* db, int code) {
    std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    return text + " (SQLite " + std::to_string(code) + ")";
}

}  // namespace

namespace {

std::string systemReason() { return std::strerror(errno); }

// A new database made whole under a temporary name, then linked to path: a file at
// path is always complete, and two processes making it at once end with one of theirs.
void makeAt(const std::string& path, const DatabaseOptions& options) {
    struct stat found {};
    if (::stat(path.c_str(), &found) == 0) return;
    if (errno != ENOENT) throw StorageError(path + ": cannot open: " + systemReason(), SQLITE_CANTOPEN);
    std::string temporary = path + ".new-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) throw StorageError(path + ": cannot create: " + systemReason(), SQLITE_CANTOPEN);
    // Amounts, ids and nonces are no one else's business, whatever the umask; SQLite gives
    // the -wal and -shm files the database's own mode.
    const bool owned = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ::close(fd);
    const auto discard = [&] {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((temporary + suffix).c_str());
    };
    try {
        if (!owned) throw StorageError(path + ": cannot create: " + systemReason(), SQLITE_CANTOPEN);
        {
            DatabaseOptions plain{options.busyTimeout, options.maxBytes, {}, {}};
            Database made(temporary, plain);
            options.make(made);
        }
        if (::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST &&
            ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0 &&
            errno != EEXIST) {
            throw StorageError(path + ": cannot create: " + systemReason(), SQLITE_CANTOPEN);
        }
    } catch (...) {
        discard();
        throw;
    }
    discard();
}

}  // namespace

Database::Database(const std::string& path, const DatabaseOptions& options) : path_(path) {
    if (options.make) makeAt(path, options);
    open(options.make || options.admit ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    try {
        sqlite3_extended_result_codes(db_, 1);
        setBusyTimeout(options.busyTimeout);
        if (options.admit) options.admit(*this);
        makeDurable(options);
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

void Database::open(int flags) {
    const int opened = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (opened != SQLITE_OK) {
        const std::string why = reason(db_, opened);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StorageError(path_ + ": cannot open: " + why, opened);
    }
}

void Database::makeDurable(const DatabaseOptions& options) {
    // WAL keeps readers and one writer apart without blocking each other; FULL syncs the
    // log at every commit, so that a commit that returned is on disk whatever happens next.
    Statement mode = prepare("PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.text(0) != "wal") throw StorageError(path_ + ": cannot keep a write-ahead log", 0);
    execute("PRAGMA synchronous=FULL");
    if (options.maxBytes) {
        Statement size = prepare("PRAGMA page_size");
        const std::int64_t page = size.step() ? size.integer(0).value_or(4096) : 4096;
        const auto pages = std::max<std::uint64_t>(*options.maxBytes / static_cast<std::uint64_t>(page), 1);
        execute("PRAGMA max_page_count=" + std::to_string(pages));
    }
}

Database::~Database() { sqlite3_close(db_); }

bool StorageError::busy() const noexcept { return (code_ & 0xff) == SQLITE_BUSY; }

void Database::setBusyTimeout(std::chrono::milliseconds wait) noexcept {
    const auto ms = std::min<std::int64_t>(wait.count(), std::numeric_limits<int>::max());
    sqlite3_busy_timeout(db_, static_cast<int>(std::max<std::int64_t>(ms, 0)));
}

void Database::fail(std::string_view doing, int code) const {
    throw StorageError(path_ + ": cannot " + std::string(doing) + ": " + reason(db_, code), code);
}

void Database::execute(std::string_view sql) {
    const std::string text(sql);
    const int result = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (result != SQLITE_OK) fail(text.substr(0, text.find_first_of(" ;")), result);
}

Statement Database::prepare(std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
    const std::string verb(sql.substr(0, sql.find(' ')));
    if (result != SQLITE_OK) fail("prepare " + verb, result);
    return Statement(*this, statement, verb);
}

std::int64_t Database::lastInsertId() const noexcept { return sqlite3_last_insert_rowid(db_); }

int Database::changes() const noexcept { return sqlite3_changes(db_); }

Statement::Statement(Statement&& other) noexcept
    : database_(other.database_), statement_(std::exchange(other.statement_, nullptr)), verb_(std::move(other.verb_)) {}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::bind(int index, std::int64_t value) {
    const int result = sqlite3_bind_int64(statement_, index, value);
    if (result != SQLITE_OK) database_->fail("bind a value of " + verb_, result);
    return *this;
}

Statement& Statement::bind(int index, double value) {
    const int result = sqlite3_bind_double(statement_, index, value);
    if (result != SQLITE_OK) database_->fail("bind a value of " + verb_, result);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    const int result = sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (result != SQLITE_OK) database_->fail("bind a value of " + verb_, result);
    return *this;
}

Statement& Statement::bindNull(int index) {
    const int result = sqlite3_bind_null(statement_, index);
    if (result != SQLITE_OK) database_->fail("bind a value of " + verb_, result);
    return *this;
}

bool Statement::step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    database_->fail(verb_, result);
}

std::optional<std::int64_t> Statement::integer(int column) const noexcept {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(statement_, column);
}

std::optional<double> Statement::real(int column) const noexcept {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(statement_, column);
}

std::optional<std::string> Statement::text(int column) const {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    if (text == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

}  // namespace orvalis::detail
