// The writer thread on real files: what it records, how a killed run is closed at the next
// start, and files it cannot write (locked, corrupt, read-only, full), which turn history off
// once and come back when they work again.

#include <history/history.h>

#include <testsupport/tempdir.h>

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>

using namespace history;

namespace {

struct Fixture {
    testsupport::TempDir dir{"korvel-history"};
    std::atomic<std::int64_t> clock{1'780'000'000'000};
    std::mutex lock;
    QStringList warnings;

    QString Path() const { return QString::fromStdString((dir.path() / "h.sqlite").string()); }

    THistoryWriter::Options Options(const QString &path, int retryMs = 60000)
    {
        THistoryWriter::Options o;
        o.path = path;
        o.keptDays = 400;
        o.flushMs = 100;
        o.retryMs = retryMs;
        o.now = [this] { return clock.load(); };
        o.warn = [this](const QString &w) {
            std::fprintf(stderr, "warning: %s\n", qPrintable(w));
            std::lock_guard<std::mutex> l(lock);
            warnings << w;
        };
        return o;
    }
    QStringList Warnings()
    {
        std::lock_guard<std::mutex> l(lock);
        return warnings;
    }
};

TRecord Rec(TRecord::Kind kind, int client, int code, std::int64_t time, const char *host = "",
            const char *addr = "")
{
    TRecord r;
    r.kind = kind;
    r.clientId = client;
    r.code = code;
    r.time = time;
    r.host = QString::fromLatin1(host);
    r.address = QString::fromLatin1(addr);
    r.reason = kind == TRecord::ClientGone ? EndReason::ClientRemoved : EndReason::Withdrawn;
    return r;
}

std::vector<TSession> ReadAll(const QString &path)
{
    THistoryReader reader;
    QString error;
    std::vector<TSession> out;
    EXPECT_TRUE(reader.Open(path, &error)) << error.toStdString();
    EXPECT_TRUE(reader.Sessions(0, INT64_MAX, -1, out, &error)) << error.toStdString();
    return out;
}

std::string Sql(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    std::string result;
    sqlite3_exec(
        db, sql,
        [](void *out, int n, char **values, char **) {
            for (int i = 0; i < n; ++i)
                *static_cast<std::string *>(out) +=
                    std::string(values[i] ? values[i] : "NULL") + (i + 1 < n ? "|" : "\n");
            return 0;
        },
        &result, nullptr);
    sqlite3_close(db);
    return result;
}

TEST(HistoryWriter, RecordsEverySessionsLife)
{
    Fixture f;
    const std::int64_t t = f.clock;
    {
        THistoryWriter w(f.Options(f.Path()));
        w.Post(Rec(TRecord::Start, 11, 83, t + 1000, "ws1", "10.0.0.1"));
        w.Post(Rec(TRecord::Start, 11, 83, t + 2000, "ws1", "10.0.0.1"));
        w.Post(Rec(TRecord::Start, 12, 93, t + 3000, "10.0.0.2", "10.0.0.2"));
        ASSERT_TRUE(w.Flush(10000));
        // Both rows (11, 83) go with one withdraw; the name of client 12 comes late.
        w.Post(Rec(TRecord::End, 11, 83, t + 4000));
        w.Post(Rec(TRecord::Host, 12, 0, t + 4500, "ws2"));
        w.Post(Rec(TRecord::Start, 12, 97, t + 5000, "ws2", "10.0.0.2"));
        w.Post(Rec(TRecord::ClientGone, 12, 0, t + 6000));
        w.Post(Rec(TRecord::Start, 10, 10, t + 7000, "master-host", ""));
        f.clock += 8000;
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_TRUE(w.Enabled());
    } // the writer going stops the run: what is open ends "master stopped"
    const auto s = ReadAll(f.Path());
    ASSERT_EQ(s.size(), 5u);
    struct Want {
        int client, code;
        const char *host;
        std::int64_t start, end;
        int reason;
    } want[] = {{11, 83, "ws1", t + 1000, t + 4000, 1},
                {11, 83, "ws1", t + 2000, t + 4000, 1},
                {12, 93, "ws2", t + 3000, t + 6000, 3},
                {12, 97, "ws2", t + 5000, t + 6000, 3},
                {10, 10, "master-host", t + 7000, t + 8000, 4}};
    for (std::size_t i = 0; i < s.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s[i].clientId, want[i].client);
        EXPECT_EQ(s[i].code, want[i].code);
        EXPECT_EQ(s[i].host.toStdString(), want[i].host);
        EXPECT_EQ(s[i].start, want[i].start);
        EXPECT_EQ(s[i].end, want[i].end);
        EXPECT_EQ(s[i].reason, want[i].reason);
    }
    EXPECT_EQ(Sql(f.Path(), "SELECT started, stopped, killed FROM runs"),
              std::to_string(t) + "|" + std::to_string(t + 8000) + "|0\n");
    EXPECT_EQ(Sql(f.Path(), "PRAGMA journal_mode"), "wal\n");
    EXPECT_TRUE(f.Warnings().isEmpty()) << f.Warnings().join(QLatin1Char('\n')).toStdString();
}

TEST(HistoryWriter, KilledRunIsClosedAtItsLastHeartbeat)
{
    Fixture f;
    const std::int64_t t = f.clock;
    // What a master killed mid-run leaves: its run never stopped, two sessions open, one closed.
    {
        THistoryWriter w(f.Options(f.Path()));
        ASSERT_TRUE(w.Flush(10000));
    }
    Sql(f.Path(), "DELETE FROM runs; DELETE FROM sessions;");
    const std::string seed =
        "INSERT INTO runs(id, started, alive_until) VALUES(7, " + std::to_string(t - 9000) + ", " +
        std::to_string(t - 5000) +
        ");"
        "INSERT INTO machines(id, host, address) VALUES(1, 'ws1', '10.0.0.1');"
        "INSERT INTO sessions(run, client, machine, code, start) VALUES(7, 11, 1, 83, " +
        std::to_string(t - 8000) + "), (7, 11, 1, 93, " + std::to_string(t - 7000) +
        ");"
        "INSERT INTO sessions(run, client, machine, code, start, end, reason) VALUES(7, 11, 1, 97, " +
        std::to_string(t - 8500) + ", " + std::to_string(t - 8200) + ", 1);";
    Sql(f.Path(), seed.c_str());
    {
        THistoryWriter w(f.Options(f.Path()));
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_EQ(Sql(f.Path(), "SELECT code, end, reason FROM sessions ORDER BY start"),
                  "97|" + std::to_string(t - 8200) + "|1\n83|" + std::to_string(t - 5000) + "|4\n93|" +
                      std::to_string(t - 5000) + "|4\n");
        EXPECT_EQ(Sql(f.Path(), "SELECT id, stopped, killed FROM runs WHERE id=7"),
                  "7|" + std::to_string(t - 5000) + "|1\n");
        // The new run beats while it lives.
        f.clock += 3000;
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_EQ(Sql(f.Path(), "SELECT alive_until FROM runs WHERE stopped IS NULL"),
                  std::to_string(t + 3000) + "\n");
    }
}

TEST(HistoryWriter, PrunesWhatIsOlderThanTheDaysKept)
{
    Fixture f;
    const std::int64_t t = f.clock, day = 86400000;
    {
        auto o = f.Options(f.Path());
        o.keptDays = 0; // the store's HistoryDays: 400 without a store value
        THistoryWriter w(o);
        int code = 0;
        for (std::int64_t age : {401 * day, 399 * day + day / 2, 300 * day}) {
            w.Post(Rec(TRecord::Start, 11, ++code, t - age, "ws1", "a"));
            w.Post(Rec(TRecord::End, 11, code, t - age + 1000));
        }
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_EQ(ReadAll(f.Path()).size(), 2u);
        // Once a day: half a day later nothing more goes, a day later the second one does.
        f.clock += day / 2;
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_EQ(ReadAll(f.Path()).size(), 2u);
        f.clock += day / 2 + 1;
        ASSERT_TRUE(w.Flush(10000));
    }
    const auto s = ReadAll(f.Path());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 3);
}

TEST(HistoryWriter, ASecondWriterOnOneFileStaysOff)
{
    Fixture f;
    THistoryWriter first(f.Options(f.Path()));
    ASSERT_TRUE(first.Flush(10000));
    THistoryWriter second(f.Options(f.Path()));
    second.Post(Rec(TRecord::Start, 11, 83, f.clock, "ws", "a"));
    ASSERT_TRUE(second.Flush(10000));
    EXPECT_TRUE(first.Enabled());
    EXPECT_FALSE(second.Enabled());
    ASSERT_EQ(f.Warnings().size(), 1);
    EXPECT_TRUE(f.Warnings()[0].contains(QStringLiteral("another master writes it")));
    // The first run's sessions were not taken for a killed run's.
    first.Post(Rec(TRecord::Start, 11, 93, f.clock, "ws", "a"));
    ASSERT_TRUE(first.Flush(10000));
    const auto s = ReadAll(f.Path());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].end, -1);
}

TEST(HistoryWriter, CorruptFileIsSaidOnceAndComesBackWhenRepaired)
{
    Fixture f;
    {
        std::ofstream(f.Path().toStdString()) << std::string(8192, 'x');
    }
    THistoryWriter w(f.Options(f.Path(), 300));
    w.Post(Rec(TRecord::Start, 11, 83, f.clock + 10, "ws1", "a"));
    ASSERT_TRUE(w.Flush(10000));
    EXPECT_FALSE(w.Enabled());
    f.clock += 1000; // retries fail too, silently
    ASSERT_TRUE(w.Flush(10000));
    ASSERT_EQ(f.Warnings().size(), 1);
    EXPECT_TRUE(f.Warnings()[0].contains(QStringLiteral("damaged"))) << f.Warnings()[0].toStdString();
    // The file is replaced by a sound one: history comes back, with the session that started
    // meanwhile and is still open.
    ASSERT_EQ(::unlink(f.Path().toLocal8Bit().constData()), 0);
    f.clock += 1000;
    ASSERT_TRUE(w.Flush(10000));
    ASSERT_TRUE(w.Flush(10000));
    EXPECT_TRUE(w.Enabled());
    const auto s = ReadAll(f.Path());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].start, 1'780'000'000'010);
    EXPECT_EQ(s[0].end, -1);
    EXPECT_EQ(f.Warnings().size(), 2);
}

TEST(HistoryWriter, LockedDatabaseTurnsHistoryOff)
{
    Fixture f;
    THistoryWriter w(f.Options(f.Path()));
    ASSERT_TRUE(w.Flush(10000));
    ASSERT_TRUE(w.Enabled());
    // Another program holds the write lock longer than the writer waits.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(f.Path()).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    w.Post(Rec(TRecord::Start, 11, 83, f.clock, "ws1", "a"));
    ASSERT_TRUE(w.Flush(20000));
    EXPECT_FALSE(w.Enabled());
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(f.Warnings().size(), 1);
    EXPECT_TRUE(f.Warnings()[0].contains(QStringLiteral("locked"))) << f.Warnings()[0].toStdString();
}

TEST(HistoryWriter, SessionsThatEndWhileOffAreClosedWhenItComesBack)
{
    Fixture f;
    const std::int64_t t = f.clock;
    THistoryWriter w(f.Options(f.Path(), 200));
    w.Post(Rec(TRecord::Start, 11, 83, t + 10, "ws1", "a"));
    w.Post(Rec(TRecord::Start, 11, 93, t + 20, "ws1", "a"));
    f.clock += 1000;
    ASSERT_TRUE(w.Flush(10000));
    // Another program holds the file: history goes off; meanwhile 83 ends and 97 starts.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(f.Path()).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    f.clock += 1000;
    w.Post(Rec(TRecord::End, 11, 83, f.clock));
    w.Post(Rec(TRecord::Start, 11, 97, f.clock + 5, "ws1", "a"));
    ASSERT_TRUE(w.Flush(20000));
    ASSERT_FALSE(w.Enabled());
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    f.clock += 1000;
    ASSERT_TRUE(w.Flush(10000));
    ASSERT_TRUE(w.Flush(10000));
    ASSERT_TRUE(w.Enabled());
    const auto s = ReadAll(f.Path());
    ASSERT_EQ(s.size(), 3u);
    // 83 ended unseen: it ends where the file last saw the master alive.
    EXPECT_EQ(s[0].code, 83);
    EXPECT_EQ(s[0].end, t + 1000);
    EXPECT_EQ(s[0].reason, int(EndReason::MasterStopped));
    EXPECT_EQ(s[1].code, 93);
    EXPECT_EQ(s[1].end, -1);
    EXPECT_EQ(s[2].code, 97);
    EXPECT_EQ(s[2].start, t + 2005);
    EXPECT_EQ(s[2].end, -1);
}

TEST(HistoryWriter, AFullQueueDropsInsteadOfWaiting)
{
    Fixture f;
    auto o = f.Options(f.Path());
    o.maxQueued = 4;
    THistoryWriter w(o);
    ASSERT_TRUE(w.Flush(10000));
    // The writer waits on a lock another program holds; posting goes on without waiting.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(f.Path()).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    int accepted = 0;
    for (int i = 0; i < 1000; ++i)
        accepted += w.Post(Rec(TRecord::Start, 11, 83, f.clock + i, "ws", "a")) ? 1 : 0;
    EXPECT_LT(accepted, 100);
    EXPECT_EQ(w.Dropped(), std::uint64_t(1000 - accepted));
    ASSERT_TRUE(w.Flush(20000));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_TRUE(f.Warnings().join(QLatin1Char('\n')).contains(QStringLiteral("dropped")));
}

// A small tmpfs of our own (root only): read-only and full.
class Mounted {
public:
    explicit Mounted(const std::filesystem::path &where, const char *options) : where_(where)
    {
        ok_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
    }
    ~Mounted()
    {
        if (ok_)
            ::umount2(where_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }
    bool Remount(unsigned long flags, const char *options)
    {
        return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | flags, options) == 0;
    }

private:
    std::filesystem::path where_;
    bool ok_ = false;
};

TEST(HistoryWriter, ReadOnlyAndFullFilesTurnHistoryOff)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    Fixture f;
    const auto mnt = f.dir.path() / "mnt";
    std::filesystem::create_directory(mnt);
    const QString path = QString::fromStdString((mnt / "h.sqlite").string());
    {
        Mounted fs(mnt, "size=512k");
        ASSERT_TRUE(fs.ok());
        {
            THistoryWriter w(f.Options(path));
            ASSERT_TRUE(w.Flush(10000));
            ASSERT_TRUE(w.Enabled());
        }
        // Read-only: said once, off, back once writable again.
        ASSERT_TRUE(fs.Remount(MS_RDONLY, "size=512k"));
        THistoryWriter w(f.Options(path, 200));
        w.Post(Rec(TRecord::Start, 11, 83, f.clock, "ws", "a"));
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_FALSE(w.Enabled());
        ASSERT_EQ(f.Warnings().size(), 1);
        ASSERT_TRUE(fs.Remount(0, "size=512k"));
        f.clock += 1000;
        ASSERT_TRUE(w.Flush(10000));
        EXPECT_TRUE(w.Enabled());
        // Full: sessions until the 512 KiB are gone.
        for (int i = 0; i < 2000 && w.Enabled(); ++i) {
            for (int k = 0; k < 50; ++k)
                w.Post(Rec(TRecord::Start, 11 + k, 83, f.clock, "a-rather-long-host-name-to-fill-the-disc",
                           "10.0.0.1"));
            ASSERT_TRUE(w.Flush(10000));
        }
        EXPECT_FALSE(w.Enabled());
        ASSERT_EQ(f.Warnings().size(), 3);
        EXPECT_TRUE(f.Warnings()[2].contains(QStringLiteral("full"))) << f.Warnings()[2].toStdString();
    }
}

TEST(HistoryPlace, ChosenInOrderAndDaysKept)
{
    testsupport::TempDir dir("korvel-hplace");
    const std::string reg = (dir.path() / "korvel.reg").string();
    auto store = [&](const char *values) {
        std::ofstream(reg, std::ios::binary)
            << "Windows Registry Editor Version "
               "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
            << values;
    };
    const QByteArray oldHistory = qgetenv("KORVEL_HISTORY"), oldRegistry = qgetenv("KORVEL_REGISTRY"),
                     oldState = qgetenv("XDG_STATE_HOME");
    qputenv("KORVEL_REGISTRY", QByteArray::fromStdString(reg));
    qputenv("XDG_STATE_HOME", "/nowhere/state");
    store("\"HistoryFile\"=\"/stored/h.sqlite\"\r\n\"HistoryDays\"=\"30\"\r\n");
    qputenv("KORVEL_HISTORY", "/named/h.sqlite");
    EXPECT_EQ(DefaultPath(), QStringLiteral("/named/h.sqlite"));
    qunsetenv("KORVEL_HISTORY");
    EXPECT_EQ(DefaultPath(), QStringLiteral("/stored/h.sqlite"));
    EXPECT_EQ(KeptDays(), 30);
    store("\"HistoryDays\"=\"-3\"\r\n");
    EXPECT_EQ(KeptDays(), 400);
    const bool systemWritable = access("/var/lib", W_OK) == 0;
    EXPECT_EQ(DefaultPath(), systemWritable ? QStringLiteral("/var/lib/korvel/history.sqlite")
                                            : QStringLiteral("/nowhere/state/korvel/history.sqlite"));
    qputenv("KORVEL_HISTORY", oldHistory);
    qputenv("KORVEL_REGISTRY", oldRegistry);
    qputenv("XDG_STATE_HOME", oldState);
}

} // namespace
