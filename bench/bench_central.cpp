// The central history under a factory's load, in one run: four tolvex-dfu station processes, 50
// boards each on instant timing (the preloaded world), all writing to one private PostgreSQL
// server that this benchmark starts as the tests start theirs (tests/with_postgres.sh):
//   - rows missing or doubled in the central history, the server restarted once in the middle,
//     against the rows made;
//   - the stations' time with the central history against without it, same boards;
//   - the 95th percentile of the time from a row's end to its arrival in the central history,
//     the server up, against 5 s.
// Prints `CASE: ratio R (target <= T)`.

#include "Central.h"
#include "History.h"
#include "PrivateServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

constexpr int Stations = 4;
constexpr int Boards = 50;
constexpr int ApartMs = 150;

QString central()
{
    return qEnvironmentVariable("TOLVEX_TEST_CENTRAL");
}

bool server(const char *what)
{
    return QProcess::execute(QStringLiteral("bash"),
               {QStringLiteral("-c"), qEnvironmentVariable("TOLVEX_TEST_PG_CTL") + QLatin1Char(' ') + QLatin1String(what)})
           == 0;
}

QString run(const QString &name, int station)
{
    return QStringLiteral("%1-%2").arg(name).arg(station);
}

// Runs the four stations at once over boards of their own (serials NAME-S-B); the seconds each
// took, or empty when one failed. `during` runs meanwhile, on the event loop.
QList<double> stations(const QString &name, bool withCentral, const std::function<void()> &during = {})
{
    QList<std::shared_ptr<QProcess>> processes;
    QList<double> seconds;
    int running = 0;
    bool failed = false;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    for (int s = 0; s < Stations; ++s) {
        QString world;
        for (int b = 0; b < Boards; ++b)
            world += QStringLiteral("app product=Tolvex_Demo_Board serial=%1-B%2 version=V1.0 port=%3 at=%4\n")
                         .arg(run(name, s))
                         .arg(b)
                         .arg(b + 1)
                         .arg(double(b * ApartMs) / 1000.0);
        QFile file(run(name, s) + QStringLiteral(".world"));
        if (!file.open(QIODevice::WriteOnly) || file.write(world.toUtf8()) < 0)
            return {};
        file.close();
        auto p = std::make_shared<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TOLVEX_SIM_PRELOAD_LIBRARY));
        env.insert(QStringLiteral("TOLVEX_SIM_WORLD"), QFileInfo(file).absoluteFilePath());
        p->setProcessEnvironment(env);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->setStandardErrorFile(run(name, s) + QStringLiteral(".err"));
        QStringList args{QStringLiteral("station"), QStringLiteral(TOLVEX_DEMO_DIR "/Tolvex-Demo-Board-V1.1.dfu"),
            QStringLiteral("--config"), QStringLiteral(TOLVEX_DEMO_DIR "/Config.ini"), QStringLiteral("--count"),
            QString::number(Boards), QStringLiteral("--history"), run(name, s) + QStringLiteral(".sqlite")};
        if (withCentral)
            args << QStringLiteral("--central") << central();
        seconds << 0;
        QObject::connect(p.get(), &QProcess::finished, &loop, [&, s, p = p.get()](int exit, QProcess::ExitStatus status) {
            seconds[s] = double(clock.elapsed()) / 1000.0;
            failed = failed || exit != 0 || status != QProcess::NormalExit;
            if (--running == 0)
                loop.quit();
        });
        p->start(QStringLiteral(TOLVEX_DFU_PROGRAM), args);
        ++running;
        processes << p;
    }
    if (during)
        QTimer::singleShot(0, during);
    QTimer::singleShot(120000, &loop, [&] {
        failed = true;
        loop.quit();
    });
    loop.exec();
    if (failed) {
        std::fprintf(stderr, "a station of run %s failed; see %s/%s-*.err\n", qPrintable(name),
            qPrintable(QDir::currentPath()), qPrintable(name));
        return {};
    }
    return seconds;
}

double total(const QList<double> &seconds)
{
    double sum = 0;
    for (double s : seconds)
        sum += s;
    return sum;
}

// The central history's copies of each local row of run `name`; -1 when it cannot be read.
struct Arrivals
{
    int made = 0;
    int missing = 0;
    int doubled = 0;
    QList<qint64> delaysMs; // from the row's end to its arrival
};

Arrivals arrivals(const QString &name)
{
    Arrivals a;
    update::Central store(central(), update::Central::Mode::Read);
    QHash<QString, int> copies;
    QHash<QString, int> perBoard;
    QHash<QString, update::History::Record> there;
    for (const update::History::Record &r : store.rows(update::History::Filter())) {
        if (!r.serial.startsWith(name + QLatin1Char('-')))
            continue;
        copies[r.uuid] += 1;
        perBoard[r.serial] += 1;
        there.insert(r.uuid, r);
    }
    QSet<QString> local;
    for (int s = 0; s < Stations; ++s) {
        update::History history(run(name, s) + QStringLiteral(".sqlite"), update::History::Mode::Read);
        for (const update::History::Record &r : history.rows()) {
            ++a.made;
            local << r.uuid;
            if (copies.value(r.uuid) == 0) {
                ++a.missing;
                continue;
            }
            const update::History::Record &c = there[r.uuid];
            if (c.result != r.result || c.ended != r.ended)
                ++a.missing; // an older copy is as good as none
            else
                a.delaysMs << r.ended.msecsTo(c.received);
        }
    }
    // A board recorded twice, under one identifier or two, or a row no local history has.
    for (auto i = perBoard.cbegin(); i != perBoard.cend(); ++i)
        a.doubled += i.value() - 1;
    for (auto i = copies.cbegin(); i != copies.cend(); ++i)
        a.doubled += local.contains(i.key()) ? 0 : 1;
    return a;
}

bool syncAll(const QString &name)
{
    for (int s = 0; s < Stations; ++s) {
        QProcess sync;
        sync.setStandardOutputFile(QProcess::nullDevice());
        sync.start(QStringLiteral(TOLVEX_DFU_PROGRAM),
            {QStringLiteral("history"), QStringLiteral("--sync"), QStringLiteral("--history"),
                run(name, s) + QStringLiteral(".sqlite"), QStringLiteral("--central"), central()});
        if (!sync.waitForFinished(60000) || sync.exitCode() != 0)
            return false;
    }
    return true;
}

// The stations of run `name` that said the central history was away.
int warned(const QString &name)
{
    int n = 0;
    for (int s = 0; s < Stations; ++s) {
        QFile err(run(name, s) + QStringLiteral(".err"));
        n += err.open(QIODevice::ReadOnly) && err.readAll().contains("Central history: ") ? 1 : 0;
    }
    return n;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!underPrivateServer(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    const BenchFolder folder;

    // The same boards without the central history, with it, and with it restarted in the middle.
    const QList<double> without = stations(QStringLiteral("alone"), false);
    const QList<double> with = stations(QStringLiteral("central"), true);
    const QList<double> restarted = stations(QStringLiteral("restart"), true, [] {
        QTimer::singleShot(Boards * ApartMs / 3, [] { server("stop"); });
        QTimer::singleShot(Boards * ApartMs * 2 / 3, [] { server("start"); });
    });
    if (without.isEmpty() || with.isEmpty() || restarted.isEmpty() || !syncAll(QStringLiteral("restart"))) {
        std::fprintf(stderr, "a run failed\n");
        return 1;
    }
    const Arrivals steady = arrivals(QStringLiteral("central"));
    const Arrivals restart = arrivals(QStringLiteral("restart"));
    if (steady.made != Stations * Boards || restart.made != Stations * Boards) {
        std::fprintf(stderr, "rows made: %d and %d, not %d each\n", steady.made, restart.made, Stations * Boards);
        return 1;
    }
    QList<qint64> delays = steady.delaysMs;
    std::sort(delays.begin(), delays.end());
    const double p95 =
        delays.isEmpty() ? 1e9 : double(delays.at(std::min(int(delays.size()) - 1, int(delays.size()) * 95 / 100))) / 1000.0;

    std::printf("%d stations x %d boards; rows made per run: %d\n", Stations, Boards, restart.made);
    std::printf("central rows missing or doubled, server restarted once (%d of %d stations saw it away): %d missing, "
                "%d doubled\n",
        warned(QStringLiteral("restart")), Stations, restart.missing, restart.doubled);
    std::printf("central rows missing or doubled / rows made: ratio %.3f (target <= 0.000)\n",
        double(restart.missing + restart.doubled) / double(restart.made));
    std::printf("central station time with / without the central history: %.2f s / %.2f s: ratio %.3f (target <= 1.02)\n",
        total(with), total(without), total(with) / total(without));
    std::printf("central row arrival, 95th percentile (%lld rows, none missing: %s): %.3f s: ratio to 5 s %.3f "
                "(target <= 1.00)\n",
        static_cast<long long>(delays.size()), steady.missing == 0 ? "yes" : "no", p95, p95 / 5.0);
    return 0;
}
