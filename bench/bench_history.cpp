// The history's cost against its size, in one run, each the shipped tolvex-dfu as a process over
// the preloaded world, against histories built from one real row (one update, then copies with
// new identifiers, serials and times, half of them sharing one boot serial):
//   - update on instant timing with a 1,000,000-row history against a one-row history;
//   - a station's start to its first board's arrival, the same two histories;
//   - history --serial S at 1,000,000 rows against 1,000; the same of the central history
//     (a private PostgreSQL server, as the tests start theirs) at 2,000,000 rows against 1,000;
//   - a station of 8 boards while history --prune deletes 500,000 rows, against without it;
//   - the file's bytes per row, and the time to ask for the shared boot serial, for reference.
// Each time is the median of several runs taken in turn. Prints `CASE: ratio R (target <= T)`.

#include "Central.h"
#include "History.h"
#include "PrivateServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr int Big = 1000000;
constexpr int Small = 1000;
constexpr int CentralBig = 2000000;
constexpr int Runs = 11;
constexpr int StationRuns = 3;
const char Serial[] = "SN-0000500"; // one board's own serial, in every history built
const char Shared[] = "BOOT-SHARED"; // the boot serial that half the rows share

QString central()
{
    return qEnvironmentVariable("TOLVEX_TEST_CENTRAL");
}

QProcess *program(const QString &world, const QStringList &args)
{
    auto *p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TOLVEX_SIM_PRELOAD_LIBRARY));
    env.insert(QStringLiteral("TOLVEX_SIM_WORLD"), QFileInfo(world).absoluteFilePath());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QDir::currentPath() + QStringLiteral("/config"));
    p->setProcessEnvironment(env);
    p->setStandardErrorFile(QProcess::nullDevice());
    p->start(QStringLiteral(TOLVEX_DFU_PROGRAM), args);
    return p;
}

// Seconds the program took to its end; -1 when it failed.
double timed(const QString &world, const QStringList &args)
{
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProcess> p(program(world, args));
    p->setStandardOutputFile(QProcess::nullDevice());
    if (!p->waitForFinished(300000) || p->exitStatus() != QProcess::NormalExit || p->exitCode() != 0) {
        std::fprintf(stderr, "tolvex-dfu %s failed\n", qPrintable(args.join(' ')));
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e9;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

bool writeText(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) >= 0;
}

const QString Firmware = QStringLiteral(TOLVEX_DEMO_DIR "/Tolvex-Demo-Board-V1.1.dfu");
const QString Config = QStringLiteral(TOLVEX_DEMO_DIR "/Config.ini");

QString boards(int count, double apart)
{
    QString world;
    for (int i = 0; i < count; ++i)
        world += QStringLiteral("app product=Tolvex_Demo_Board serial=BENCH-%1 version=V1.0 port=%2 at=%3\n")
                     .arg(i)
                     .arg(i + 1)
                     .arg(apart * i);
    return world;
}

// Copies of the real row of `seed` until the history at `path` holds `count` rows.
bool grow(const QString &seed, const QString &path, int count)
{
    QFile::remove(path);
    if (!QFile::copy(seed, path))
        return false;
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("grow"));
        db.setDatabaseName(path);
        QSqlQuery q(db);
        // Sent already, as at a station whose central history answers.
        ok = db.open() && db.transaction()
             && q.exec(QStringLiteral(
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                 "INSERT INTO updates (uuid, started, ended, program, program_version, host, product, serial, "
                 "boot_serial, location, version_before, version_after, file, file_sha256, file_release, image_name, "
                 "sectors_written, sectors_kept, bytes_verified, result, message, seconds, label, revision, "
                 "sent_revision) "
                 "SELECT lower(hex(randomblob(16))), strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-400 days', '+' || (i * 30) "
                 "|| ' seconds'), strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-400 days', '+' || (i * 30 + 20) || ' seconds'), "
                 "program, program_version, host, product, printf('SN-%07d', i), "
                 "CASE WHEN i % 2 = 0 THEN '%2' ELSE printf('BOOT-%07d', i) END, location, version_before, "
                 "version_after, file, file_sha256, file_release, image_name, sectors_written, sectors_kept, "
                 "bytes_verified, result, message, seconds, label, 1, 1 FROM n, (SELECT * FROM updates LIMIT 1)")
                           .arg(count - 1)
                           .arg(QLatin1String(Shared)))
             && db.commit();
        if (!ok)
            std::fprintf(stderr, "growing %s: %s\n", qPrintable(path), qPrintable(q.lastError().text()));
        q.finish();
        if (ok)
            q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("grow"));
    return ok;
}

// The central history with `count` rows of the seed's row, under the run's own host name.
bool growCentral(const QString &seed, const QString &host, int count)
{
    update::History local(seed, update::History::Mode::Read);
    const QList<update::History::Record> rows = local.rows();
    if (rows.isEmpty())
        return false;
    update::History::Record r = rows.first();
    r.host = host;
    update::Central store(central());
    if (!store.isOpen() || !store.put({{r, 1}}))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("growCentral"));
    QString options;
    update::centralDriverOptions(central(), options);
    db.setConnectOptions(options);
    bool ok = db.open();
    {
        QSqlQuery q(db);
        ok = ok
             && q.exec(QStringLiteral(
                 "INSERT INTO tolvex_updates (uuid, revision, started, ended, program, program_version, host, label, "
                 "product, serial, boot_serial, location, version_before, version_after, file, file_sha256, "
                 "file_release, image_name, sectors_written, sectors_kept, bytes_verified, result, message, seconds) "
                 "SELECT md5(random()::text || i), 1, now() - interval '800 days' + i * interval '30 seconds', "
                 "now() - interval '800 days' + i * interval '30 seconds' + interval '20 seconds', program, "
                 "program_version, host, label, product, 'SN-' || lpad(i::text, 7, '0'), CASE WHEN i % 2 = 0 THEN "
                 "'%1' ELSE 'BOOT-' || lpad(i::text, 7, '0') END, location, version_before, version_after, file, "
                 "file_sha256, file_release, image_name, sectors_written, sectors_kept, bytes_verified, result, "
                 "message, seconds FROM generate_series(1, %2) i, (SELECT * FROM tolvex_updates WHERE host = '%3' "
                 "LIMIT 1) r")
                           .arg(QLatin1String(Shared))
                           .arg(count - 1)
                           .arg(host))
             // As a server's autovacuum leaves a table between two questions: not working
             // on it meanwhile.
             && q.exec(QStringLiteral("VACUUM ANALYZE tolvex_updates"));
        if (!ok)
            std::fprintf(stderr, "growing the central history: %s\n", qPrintable(q.lastError().text()));
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("growCentral"));
    return ok;
}

// Seconds from the station's start to its first board's arrival.
double arrival(const QString &world, const QString &history)
{
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QProcess> p(program(world,
        {QStringLiteral("station"), Firmware, QStringLiteral("--config"), Config, QStringLiteral("--count"),
            QStringLiteral("1"), QStringLiteral("--json"), QStringLiteral("--history"), history}));
    double seconds = -1;
    QByteArray out;
    while (seconds < 0 && p->waitForReadyRead(30000)) {
        out += p->readAllStandardOutput();
        if (out.contains("\"event\":\"arrived\""))
            seconds = double(clock.nsecsElapsed()) / 1e9;
    }
    p->waitForFinished(30000);
    return p->exitCode() == 0 ? seconds : -1;
}

void ratio(const char *name, double a, double b, double target, const char *what)
{
    std::printf("history %s (%s): %.3f s / %.3f s: ratio %.3f (target <= %.2f)\n", name, what, a, b, a / b, target);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!underPrivateServer(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    const BenchFolder folder;
    QDir().mkpath(QStringLiteral("config"));

    // One real row: an update of one board.
    if (!writeText(QStringLiteral("one.world"), boards(1, 0)) || !writeText(QStringLiteral("eight.world"), boards(8, 0.3))
        || timed(QStringLiteral("one.world"),
               {QStringLiteral("update"), Firmware, QStringLiteral("--config"), Config, QStringLiteral("--history"),
                   QStringLiteral("seed.sqlite")})
               < 0)
        return 1;
    QElapsedTimer building;
    building.start();
    if (!grow(QStringLiteral("seed.sqlite"), QStringLiteral("big.sqlite"), Big)
        || !grow(QStringLiteral("seed.sqlite"), QStringLiteral("small.sqlite"), Small)
        || !QFile::copy(QStringLiteral("seed.sqlite"), QStringLiteral("one.sqlite")))
        return 1;
    std::printf("histories of %d, %d and 1 rows built in %.0f s\n", Big, Small, double(building.elapsed()) / 1000.0);

    const QStringList update{QStringLiteral("update"), Firmware, QStringLiteral("--config"), Config,
        QStringLiteral("--history")};
    QList<double> updateBig, updateOne, arriveBig, arriveOne, askBig, askSmall;
    // Once each first: files in the page cache, and the first open's upgrades done.
    timed(QStringLiteral("one.world"), update + QStringList{QStringLiteral("big.sqlite")});
    timed(QStringLiteral("one.world"), update + QStringList{QStringLiteral("one.sqlite")});
    const auto ask = [](const QString &history) {
        return timed(QStringLiteral("one.world"),
            {QStringLiteral("history"), QStringLiteral("--serial"), QLatin1String(Serial), QStringLiteral("--csv"),
                QStringLiteral("--history"), history});
    };
    for (int i = 0; i < Runs; ++i) {
        updateBig << timed(QStringLiteral("one.world"), update + QStringList{QStringLiteral("big.sqlite")});
        updateOne << timed(QStringLiteral("one.world"), update + QStringList{QStringLiteral("one.sqlite")});
        arriveBig << arrival(QStringLiteral("one.world"), QStringLiteral("big.sqlite"));
        arriveOne << arrival(QStringLiteral("one.world"), QStringLiteral("one.sqlite"));
        askBig << ask(QStringLiteral("big.sqlite"));
        askSmall << ask(QStringLiteral("small.sqlite"));
    }
    const double shared = timed(QStringLiteral("one.world"),
        {QStringLiteral("history"), QStringLiteral("--serial"), QLatin1String(Shared), QStringLiteral("--csv"),
            QStringLiteral("--history"), QStringLiteral("big.sqlite")});

    // The central history at 1,000 rows, then grown to 2,000,000.
    QList<double> centralBig, centralSmall;
    const auto askCentral = [] {
        return timed(QStringLiteral("one.world"),
            {QStringLiteral("history"), QStringLiteral("--central"), central(), QStringLiteral("--serial"),
                QLatin1String(Serial), QStringLiteral("--csv")});
    };
    if (!growCentral(QStringLiteral("seed.sqlite"), QStringLiteral("bench-small"), Small))
        return 1;
    askCentral();
    for (int i = 0; i < Runs; ++i)
        centralSmall << askCentral();
    if (!growCentral(QStringLiteral("seed.sqlite"), QStringLiteral("bench-big"), CentralBig - Small))
        return 1;
    askCentral();
    for (int i = 0; i < Runs; ++i)
        centralBig << askCentral();

    // Eight boards, with and without a prune of half the big history beside them; the prune is
    // stopped once the station has ended.
    const QString before = QDateTime::currentDateTimeUtc().addDays(-400).addSecs(30LL * Big / 2).toString(Qt::ISODate);
    QList<double> pruned, alone;
    qint64 deleted = 0;
    for (int i = 0; i < StationRuns; ++i) {
        for (const bool prune : {true, false}) {
            if (!QFile::remove(QStringLiteral("station.sqlite")) && QFile::exists(QStringLiteral("station.sqlite")))
                return 1;
            for (const char *suffix : {"-wal", "-shm"})
                QFile::remove(QStringLiteral("station.sqlite") + QLatin1String(suffix));
            QFile::copy(QStringLiteral("big.sqlite"), QStringLiteral("station.sqlite"));
            std::unique_ptr<QProcess> pruning;
            if (prune) {
                pruning.reset(program(QStringLiteral("one.world"),
                    {QStringLiteral("history"), QStringLiteral("--prune"), QStringLiteral("--before"), before,
                        QStringLiteral("--history"), QStringLiteral("station.sqlite"), QStringLiteral("--json")}));
                // The prune under way before the first board arrives.
                if (!pruning->waitForStarted(10000))
                    return 1;
                QThread::msleep(300);
            }
            const double seconds = timed(QStringLiteral("eight.world"),
                {QStringLiteral("station"), Firmware, QStringLiteral("--config"), Config, QStringLiteral("--count"),
                    QStringLiteral("8"), QStringLiteral("--history"), QStringLiteral("station.sqlite")});
            if (pruning) {
                if (pruning->state() != QProcess::Running) {
                    std::fprintf(stderr, "the prune ended before the station did: %s\n",
                        pruning->readAllStandardOutput().constData());
                    return 1;
                }
                pruning->kill();
                pruning->waitForFinished(10000);
                update::History left(QStringLiteral("station.sqlite"), update::History::Mode::Read);
                deleted += Big / 2 - left.prunable(QDateTime::fromString(before, Qt::ISODate), false);
            }
            (prune ? pruned : alone) << seconds;
        }
    }
    const double bytesPerRow = double(QFileInfo(QStringLiteral("big.sqlite")).size()) / double(Big);

    ratio("update, 1,000,000-row history / one-row", median(updateBig), median(updateOne), 1.02, "instant timing");
    ratio("station start to first arrival, 1,000,000 rows / one", median(arriveBig), median(arriveOne), 1.02,
        "one board");
    ratio("--serial at 1,000,000 rows / 1,000", median(askBig), median(askSmall), 1.10, "local");
    ratio("--serial at the central history, 2,000,000 rows / 1,000", median(centralBig), median(centralSmall), 1.10,
        "central");
    ratio("station of 8 boards while --prune deletes / without", median(pruned), median(alone), 1.05,
        qPrintable(QStringLiteral("%1 rows deleted meanwhile, each run").arg(deleted / StationRuns)));
    std::printf("history bytes per row (1,000,000 rows, every index): %.0f\n", bytesPerRow);
    std::printf("history --serial of the boot serial that %d rows share: %.2f s\n", Big / 2, shared);
    return 0;
}
