#pragma once
// Small helpers over SQLite's C interface, shared by the writer and the readers.

#include <QFile>
#include <QString>

#include <sqlite3.h>

#include <cstdint>

namespace history::detail {

inline QString ErrorText(sqlite3 *db)
{
    if (!db)
        return QStringLiteral("out of memory");
    const int code = sqlite3_extended_errcode(db);
    switch (code & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return QStringLiteral("not a history file, or a damaged one (%1)")
            .arg(QString::fromUtf8(sqlite3_errmsg(db)));
    case SQLITE_FULL:
        return QStringLiteral("the disc is full");
    case SQLITE_READONLY:
        return QStringLiteral("the file cannot be written (%1)").arg(QString::fromUtf8(sqlite3_errmsg(db)));
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("the file is locked by another program");
    default:
        return QString::fromUtf8(sqlite3_errmsg(db));
    }
}

/// A prepared statement, finalized when it goes.
struct Stmt {
    sqlite3_stmt *s = nullptr;
    sqlite3 *db = nullptr;

    Stmt() = default;
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    ~Stmt() { Reset(); }

    void Reset()
    {
        if (s)
            sqlite3_finalize(s);
        s = nullptr;
    }
    bool Prepare(sqlite3 *database, const char *sql, QString &error)
    {
        Reset();
        db = database;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            error = ErrorText(db);
            return false;
        }
        return true;
    }
    void Bind(int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }
    void Bind(int i, int v) { sqlite3_bind_int(s, i, v); }
    void Bind(int i, const QString &v)
    {
        const QByteArray utf8 = v.toUtf8();
        sqlite3_bind_text(s, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(s); }
    void Clear()
    {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    /// Runs a statement that returns no rows, and readies it for the next use.
    bool Run(QString &error)
    {
        const int rc = sqlite3_step(s);
        const bool ok = rc == SQLITE_DONE || rc == SQLITE_ROW;
        if (!ok)
            error = ErrorText(db);
        Clear();
        return ok;
    }
};

/// Runs one statement; *first gets the first column of its first row when asked.
inline bool Exec(sqlite3 *db, const char *sql, QString *first, QString &error)
{
    Stmt st;
    if (!st.Prepare(db, sql, error))
        return false;
    const int rc = st.Step();
    if (rc == SQLITE_ROW && first)
        *first = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st.s, 0)));
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        error = ErrorText(db);
        return false;
    }
    return true;
}

inline bool CreateSchema(sqlite3 *db, QString &error)
{
    static const char *const statements[] = {
        // The master's runs: when each started, stopped, and the last moment it was known alive.
        "CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, started INTEGER NOT NULL,"
        " alive_until INTEGER NOT NULL, stopped INTEGER, killed INTEGER NOT NULL DEFAULT 0)",
        "CREATE TABLE IF NOT EXISTS machines(id INTEGER PRIMARY KEY, host TEXT NOT NULL, address TEXT NOT "
        "NULL,"
        " UNIQUE(host, address))",
        // Times in milliseconds since the epoch, UTC; end and reason stay empty while open.
        "CREATE TABLE IF NOT EXISTS sessions(id INTEGER PRIMARY KEY, run INTEGER NOT NULL, client INTEGER "
        "NOT NULL,"
        " machine INTEGER NOT NULL, code INTEGER NOT NULL, start INTEGER NOT NULL, end INTEGER, reason "
        "INTEGER)",
        "CREATE INDEX IF NOT EXISTS sessions_by_start ON sessions(start)",
        "CREATE INDEX IF NOT EXISTS sessions_open ON sessions(run) WHERE end IS NULL",
    };
    for (const char *sql : statements) {
        if (!Exec(db, sql, nullptr, error))
            return false;
    }
    return true;
}

} // namespace history::detail
