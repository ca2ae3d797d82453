// The update history through tolvex-dfu: a row for every outcome, read back as a table,
// JSON and CSV; writers at once; the support desk's questions and their indexes; pruning;
// histories that cannot be kept.

#include "CliTestSupport.h"

class HistoryCommandTest : public CliTestBase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpFolder(); }
    void cleanup() { tearDownFolder(); }

    void historyOfEveryOutcome();
    void historyWritersAtOnce();
    void historyBusyRowTriedAgain();
    void centralPasswordsMasked_data();
    void centralPasswordsMasked();
    void historyFilters_data();
    void historyFilters();
    void historyQuestionsUseIndexes();
    void historyPruned_data();
    void historyPruned();
    void historyThatCannotBeKept_data();
    void historyThatCannotBeKept();
    void damagedHistorySetAside();
    void killedWritersRowsKept();
    void lockedHistoryNotRecorded();

private:
    void updateBeside(const sim::Board &board, const QString &db, bool recorded, const QString &said, Run &r);
    QStringList setAside() const;
};

// A completed, a refused, a failed and an interrupted update each leave their row; the
// history reads back as JSON (checked against the schema) and as CSV.
void HistoryCommandTest::historyOfEveryOutcome()
{
    const QString db = file(QStringLiteral("history.sqlite"));
    const QStringList keep{QStringLiteral("--history"), db};
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QString good = dfuFile(QStringLiteral("fw, \"release\".dfu"), "fw_main_v2", firmware("V1.1"));
    QCOMPARE(runCli(QStringList{QStringLiteral("update"), good} + keep).exit, 0);
    QCOMPARE(
        runCli(QStringList{QStringLiteral("update"), dfuFile(QStringLiteral("o.dfu"), "otter9_app", firmware("V9"))}
               + keep)
            .exit,
        3);
    QTRY_COMPARE(update::appDevices().size(), 1); // sent back to its application
    sim::DfuFaults unplug;
    unplug.disconnectAtBlock = 3;
    unplug.once = true;
    board.dfu->setFaults(unplug);
    QCOMPARE(runCli(QStringList{QStringLiteral("update"), good, QStringLiteral("--full")} + keep).exit, 1);
    sim::World::instance().unplug(board.dfu);
    sim::World::instance().plug(board.dfu, 1);
    std::atomic<bool> stop{true};
    const Run stopped = runCli(QStringList{QStringLiteral("update"), good} + keep, &stop);
    QVERIFY2(stopped.exit == 130, qPrintable(stopped.err));

    const Run json = runCli(QStringList{QStringLiteral("history"), QStringLiteral("--json")} + keep);
    QCOMPARE(json.exit, 0);
    QVERIFY2(schemaMismatch(json.out).isEmpty(), qPrintable(schemaMismatch(json.out)));
    const QList<QJsonObject> rows = jsonLines(json.out);
    QCOMPARE(rows.size(), 4);
    QStringList results;
    for (const QJsonObject &r : rows)
        results << r.value(QStringLiteral("result")).toString();
    QCOMPARE(results, (QStringList{"done", "refused", "pulled", "interrupted"}));
    const QJsonObject done = rows[0];
    QCOMPARE(done.value(QStringLiteral("program")).toString(), QStringLiteral("tolvex-dfu"));
    QCOMPARE(done.value(QStringLiteral("serial")).toString(), QStringLiteral("TVX-0001"));
    QCOMPARE(done.value(QStringLiteral("old")).toString(), QStringLiteral("V1.0"));
    QCOMPARE(done.value(QStringLiteral("new")).toString(), QStringLiteral("V1.1"));
    QCOMPARE(done.value(QStringLiteral("image")).toString(), QStringLiteral("fw_main_v2"));
    QCOMPARE(done.value(QStringLiteral("sha256")).toString(),
        QString::fromLatin1(QCryptographicHash::hash(readFile(good), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(done.value(QStringLiteral("bytesVerified")).toInt(), firmware("V1.1").size());
    QVERIFY(!done.value(QStringLiteral("ended")).isNull());
    QCOMPARE(rows[2].value(QStringLiteral("sectorsWritten")).toInt(), 3); // --full: none kept

    const Run csv = runCli(QStringList{QStringLiteral("history"), QStringLiteral("--csv"), QStringLiteral("--serial"),
                               QStringLiteral("TVX-0001")}
                           + keep);
    const QList<QStringList> table = csvRows(csv.out);
    QCOMPARE(table.size(), 5);
    for (const QStringList &row : table)
        QCOMPARE(row.size(), table[0].size());
    QCOMPARE(table[1][table[0].indexOf(QStringLiteral("file"))], QFileInfo(good).absoluteFilePath());
    QCOMPARE(
        runCli(QStringList{QStringLiteral("history"), QStringLiteral("--since"), QStringLiteral("2999-01-01")} + keep)
            .out.count(QLatin1Char('\n')),
        1); // the heading alone
}

// A station's eight threads and another process write at once: no row is lost.
void HistoryCommandTest::historyWritersAtOnce()
{
    const QString db = file(QStringLiteral("busy.sqlite"));
    {
        update::History create(db);
        QVERIFY(create.isOpen());
    }
    constexpr int PerWriter = 40;
    const auto write = [db](const QString &serial) {
        update::HistoryWriter h(db);
        for (int i = 0; i < PerWriter; ++i) {
            update::History::Record r;
            r.uuid = update::newRowId();
            r.program = QStringLiteral("station");
            r.serial = serial;
            h.put(r);
            r.result = QStringLiteral("done");
            h.put(r);
        }
        return h.drain(60000);
    };
    const pid_t child = fork();
    if (child == 0)
        _exit(write(QStringLiteral("process")) ? 0 : 1);
    QVERIFY(child > 0);
    std::vector<std::thread> threads;
    std::atomic<int> recorded{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { recorded += write(QStringLiteral("thread-%1").arg(t)) ? 1 : 0; });
    for (std::thread &t : threads)
        t.join();
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    QCOMPARE(recorded.load(), 8);
    update::History h(db);
    const QList<update::History::Record> rows = h.rows();
    QCOMPARE(rows.size(), 9 * PerWriter);
    for (const update::History::Record &r : rows)
        QCOMPARE(r.result, QStringLiteral("done"));
}

void HistoryCommandTest::centralPasswordsMasked_data()
{
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QString>("shown");
    QTest::newRow("in a URI") << "postgresql://u:s3cr3t@h/db"
                              << "postgresql://u:****@h/db";
    QTest::newRow("a query item") << "postgresql://h/db?password=s3cr3t"
                                  << "postgresql://h/db?password=****";
    QTest::newRow("key=value") << "host=h password=s3cr3t user=u"
                               << "host=h password=**** user=u";
    QTest::newRow("quoted, with a blank") << "host=h password='s3 cr3t' user=u"
                                          << "host=h password=**** user=u";
    QTest::newRow("a blank escaped by a backslash") << "host=h password=abc\\ s3cr3t user=u"
                                                    << "host=h password=**** user=u";
}

// A password is never shown: not in the connection as shown, nor in what libpq says of a URI it
// cannot read.
void HistoryCommandTest::centralPasswordsMasked()
{
    QFETCH(QString, connection);
    QFETCH(QString, shown);
    QCOMPARE(update::maskedConnection(connection), shown);
    // A URI libpq cannot read, which its complaint quotes whole.
    QString options;
    const Outcome refused = update::centralDriverOptions(QStringLiteral("postgresql://u:s3cr3t@[::1/db"), options);
    QCOMPARE(int(refused.kind()), int(Outcome::Kind::Refused));
    QVERIFY2(!refused.message().isEmpty() && !refused.message().contains(QStringLiteral("s3cr3t")),
        qPrintable(refused.message()));
}

// A row that meets the history locked past SQLite's busy timeout waits and is tried again:
// it is recorded once the lock is let go, with no later copy of it to carry it.
void HistoryCommandTest::historyBusyRowTriedAgain()
{
    const QString db = file(QStringLiteral("locked.sqlite"));
    {
        update::History create(db);
        QVERIFY(create.isOpen());
    }
    update::History::Record r;
    r.uuid = update::newRowId();
    r.program = QStringLiteral("station");
    r.result = QStringLiteral("done");
    update::HistoryWriter writer(db);
    {
        HeldLock lock(db);
        QVERIFY(lock.held);
        writer.put(r);
        QThread::msleep(2600); // past the 2 s busy timeout, so the first write fails
    }
    QVERIFY(writer.drain(10000));
    QVERIFY2(writer.takeProblems().join('\n').contains(QStringLiteral("tried again")), "the wait was not said");
    const QList<update::History::Record> rows = update::History(db, update::History::Mode::Read).rows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].uuid, r.uuid);
}

namespace {

// Runs the statements in an SQLite database at `path`, as another program would make it.
bool makeDatabase(const QString &path, const QStringList &statements)
{
    QSqlDatabase c = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
    c.setDatabaseName(path);
    bool ok = c.open();
    for (const QString &sql : statements)
        ok = ok && QSqlQuery(c).exec(sql);
    c.close();
    c = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    return ok;
}

int rowsIn(const QString &path)
{
    update::History h(path, update::History::Mode::Read);
    return h.isOpen() ? int(h.rows().size()) : -1;
}

} // namespace

void HistoryCommandTest::historyFilters_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("shown"); // in the table's first row
    // The rows start at 23:30 and 00:30 in Tokyo (UTC+9), 14:30 and 15:30 UTC.
    QTest::newRow("a date: local midnight")
        << QStringList{"--since", "2026-12-01"} << 1 << QStringLiteral("2026-12-01 00:30:00");
    QTest::newRow("a local time") << QStringList{"--since", "2026-11-30T23:00"} << 2
                                  << QStringLiteral("2026-11-30 23:30:00");
    QTest::newRow("a time in UTC") << QStringList{"--since", "2026-11-30T15:00:00Z"} << 1 << QString();
    QTest::newRow("a time with its offset") << QStringList{"--since", "2026-12-01T00:00+09:00"} << 1 << QString();
    QTest::newRow("--utc: a date is UTC midnight") << QStringList{"--since", "2026-12-01", "--utc"} << 0 << QString();
    QTest::newRow("--utc: a time without a zone is UTC")
        << QStringList{"--since", "2026-11-30T15:00", "--utc"} << 1 << QStringLiteral("2026-11-30 15:30:00");
    QTest::newRow("--until a date: up to its end")
        << QStringList{"--until", "2026-11-30"} << 1 << QStringLiteral("2026-11-30 23:30:00  line-a       slot-1");
    QTest::newRow("--until a time: before it") << QStringList{"--until", "2026-12-01T00:30"} << 1 << QString();
    QTest::newRow("--sha256: a prefix, in either case") << QStringList{"--sha256", "AB12"} << 1 << QString();
    QTest::newRow("--file: the name, in any folder") << QStringList{"--file", "fw_main_v2.dfu"} << 1 << QString();
    QTest::newRow("--result") << QStringList{"--result", "failed"} << 1
                              << QStringLiteral("2026-12-01 00:30:00  line-b       slot-2");
    QTest::newRow("--label") << QStringList{"--label", "slot-2"} << 1 << QString();
    QTest::newRow("--host") << QStringList{"--host", "line-a"} << 1 << QString();
    QTest::newRow("--operator") << QStringList{"--operator", "Ben"} << 1 << QStringLiteral("2026-12-01 00:30:00");
    QTest::newRow("--lot") << QStringList{"--lot", "L-1"} << 1 << QStringLiteral("2026-11-30 23:30:00");
    QTest::newRow("terms together narrow") << QStringList{"--result", "done", "--label", "slot-2"} << 0 << QString();
    QTest::newRow("--sha256 that is not hex: refused") << QStringList{"--sha256", "xyz"} << -1 << QString();
    QTest::newRow("--result that no row has: refused") << QStringList{"--result", "maybe"} << -1 << QString();
}

// The support desk's questions of this computer's history: times across a time zone (without a
// zone a value is in the zone the table shows, and the table says which), and every other term;
// the table shows where each row happened.
void HistoryCommandTest::historyFilters()
{
    QFETCH(QStringList, args);
    QFETCH(int, rows);
    QFETCH(QString, shown);
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "JST-9");
    const QString db = file(QStringLiteral("zones.sqlite"));
    {
        update::History h(db);
        int i = 0;
        for (const char *started : {"2026-11-30T14:30:00Z", "2026-11-30T15:30:00Z"}) {
            update::History::Record r;
            r.program = QStringLiteral("station");
            r.started = QDateTime::fromString(QLatin1String(started), Qt::ISODate);
            r.host = i ? QStringLiteral("line-b") : QStringLiteral("line-a");
            r.label = QStringLiteral("slot-%1").arg(i + 1);
            r.file = i ? QStringLiteral("/srv/fw_main_v2.dfu.old") : QStringLiteral("/srv/lot 7/fw_main_v2.dfu");
            r.fileSha256 = (i ? QStringLiteral("cd34") : QStringLiteral("ab12")) + QString(60, QLatin1Char('0'));
            r.result = i ? QStringLiteral("failed") : QStringLiteral("done");
            r.operatorName = i ? QStringLiteral("Ben") : QStringLiteral("Ana");
            r.lot = QStringLiteral("L-%1").arg(i + 1);
            QCOMPARE(h.put(r).message(), QString());
            ++i;
        }
    }
    const Run csv =
        runCli(QStringList{QStringLiteral("history"), QStringLiteral("--csv"), QStringLiteral("--history"), db} + args);
    const Run table = runCli(QStringList{QStringLiteral("history"), QStringLiteral("--history"), db} + args);
    zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
    if (rows < 0) {
        QCOMPARE(csv.exit, 2);
        QVERIFY2(csv.err.contains(args.first()), qPrintable(csv.err));
        return;
    }
    QCOMPARE(csv.exit, 0);
    QCOMPARE(csvRows(csv.out).size(), rows + 1);
    const QStringList lines = table.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(
        lines.value(0).startsWith(args.contains("--utc") ? "STARTED (UTC)" : "STARTED (JST)"), qPrintable(table.out));
    QVERIFY2(lines.value(0).contains(QStringLiteral("HOST")) && lines.value(0).contains(QStringLiteral("LABEL")),
        qPrintable(table.out));
    if (!shown.isEmpty())
        QVERIFY2(lines.value(1).startsWith(shown), qPrintable(table.out));
}

// Each question of the support desk is answered by an index, as SQLite plans it: none reads
// every row, at any size of the history.
void HistoryCommandTest::historyQuestionsUseIndexes()
{
    const QString db = file(QStringLiteral("planned.sqlite"));
    update::History h(db);
    update::History::Record r;
    r.program = QStringLiteral("station");
    QCOMPARE(h.put(r).message(), QString());
    const QDateTime t(QDate(2026, 12, 1), QTime(8, 0), Qt::UTC);
    QList<std::pair<const char *, update::History::Filter>> questions;
    const auto ask = [&](const char *name, const std::function<void(update::History::Filter &)> &set) {
        update::History::Filter f;
        set(f);
        questions.append({name, f});
    };
    ask("serial, own or boot loader's", [](auto &f) { f.serial = QStringLiteral("SN-1"); });
    ask("since", [&](auto &f) { f.since = t; });
    ask("until", [&](auto &f) { f.until = t; });
    ask("host", [](auto &f) { f.host = QStringLiteral("line-a"); });
    ask("sha256 prefix", [](auto &f) { f.sha256 = QStringLiteral("ab12"); });
    ask("file name", [](auto &f) { f.fileName = QStringLiteral("fw.dfu"); });
    ask("result", [](auto &f) { f.result = QStringLiteral("failed"); });
    ask("label", [](auto &f) { f.label = QStringLiteral("slot-2"); });
    ask("operator", [](auto &f) { f.operatorName = QStringLiteral("Ana"); });
    ask("lot", [](auto &f) { f.lot = QStringLiteral("L-1"); });
    for (const auto &q : questions) {
        const QStringList plan = h.plan(q.second);
        QVERIFY2(!plan.isEmpty(), q.first);
        // A SCAN reads every row (in an index's order or not); a SEARCH only those the index finds.
        for (const QString &step : plan)
            QVERIFY2(!step.startsWith(QLatin1String("SCAN updates")),
                qPrintable(QStringLiteral("%1: %2").arg(q.first, plan.join(QStringLiteral("; ")))));
        QVERIFY2(plan.join(' ').contains(QLatin1String("SEARCH updates USING ")), qPrintable(plan.join('\n')));
    }
}

void HistoryCommandTest::historyPruned_data()
{
    // The command, with DB (the history), BEFORE (30 days ago), TOMORROW and FW (a firmware
    // file) put in when it runs.
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QByteArray>("centralConf"); // the user's central.conf; empty: none
    QTest::addColumn<bool>("board"); // a board is plugged in for the command
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("left"); // the rows left, by their names
    QTest::addColumn<QString>("said"); // on standard error
    QTest::addColumn<QString>("host"); // of the new row, where one is made
    const QStringList prune{"history", "--prune", "--before", "BEFORE", "--history", "DB"};
    QTest::newRow("--prune with a central history: only the rows it holds go")
        << (prune + QStringList{"--central", "postgresql://nobody@localhost/none"}) << QByteArray() << false << 0
        << QStringLiteral("unsent refused rewritten recent") << QString() << QString();
    QTest::newRow("--prune without one: every row before the date, said first")
        << prune << QByteArray() << false << 0 << QStringLiteral("recent")
        << QStringLiteral("No central history is set") << QString();
    QTest::newRow("keep-days of central.conf at the end of an update; station-name is the host")
        << QStringList{"update", "FW", "--history", "DB"}
        << QByteArray("# no central history here\nkeep-days = 30\nstation-name = Line 3 / Station 2\n") << true << 0
        << QStringLiteral("recent new") << QString() << QStringLiteral("Line 3 / Station 2");
    // A setting that cannot be read is said, and taken as not given: no row goes for it, and the
    // settings after it are still read.
    QTest::newRow("a keep-days of central.conf that cannot be read: said, every row kept")
        << QStringList{"update", "FW", "--history", "DB"} << QByteArray("keep-days = soon\nstation-name = Line 4\n")
        << true << 0 << QStringLiteral("held unsent refused rewritten recent new")
        << QStringLiteral("Central history: %CONFIG%/tolvex-dfu/central.conf: keep-days takes a whole number")
        << QStringLiteral("Line 4");
    QTest::newRow("--before in the future: refused, nothing deleted")
        << QStringList{"history", "--prune", "--before", "TOMORROW", "--history", "DB"} << QByteArray() << false << 2
        << QStringLiteral("held unsent refused rewritten recent") << QStringLiteral("in the future") << QString();
}

// Retention deletes only what another store keeps, unless none is set; whatever the central
// history lacks (never sent, refused, or changed since it was sent) stays.
void HistoryCommandTest::historyPruned()
{
    QFETCH(QStringList, command);
    QFETCH(QByteArray, centralConf);
    QFETCH(bool, board);
    QFETCH(int, exit);
    QFETCH(QString, left);
    QFETCH(QString, said);
    QFETCH(QString, host);
    const QString db = file(QStringLiteral("pruned.sqlite"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QHash<QString, QString> names; // uuid -> name
    {
        update::History h(db);
        for (const QString &name : QStringList{"held", "unsent", "refused", "rewritten", "recent"}) {
            update::History::Record r;
            r.uuid = update::newRowId();
            r.program = QStringLiteral("station");
            r.started = now.addDays(name == QLatin1String("recent") ? -1 : -60);
            r.result = QStringLiteral("done");
            QCOMPARE(h.put(r).message(), QString());
            names.insert(r.uuid, name);
        }
        QList<update::History::Unsent> sent;
        for (const update::History::Unsent &u : h.unsent(10)) {
            if (names.value(u.record.uuid) == QLatin1String("refused"))
                QCOMPARE(h.setAside(u, QStringLiteral("refused by the server")).message(), QString());
            else if (names.value(u.record.uuid) != QLatin1String("unsent"))
                sent << u;
        }
        QCOMPARE(h.markSent(sent).message(), QString());
        for (const update::History::Unsent &u : sent) {
            if (names.value(u.record.uuid) == QLatin1String("rewritten")) {
                update::History::Record r = u.record;
                r.message = QStringLiteral("written again since it was sent");
                QCOMPARE(h.put(r).message(), QString());
            }
        }
    }
    const QString config = file(QStringLiteral("config"));
    QVERIFY(QDir().mkpath(config + QStringLiteral("/tolvex-dfu")));
    const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    if (!centralConf.isEmpty())
        QVERIFY(writeFile(config + QStringLiteral("/tolvex-dfu/central.conf"), centralConf));
    std::unique_ptr<sim::Board> plugged;
    if (board)
        plugged = std::make_unique<sim::Board>(plugBoard(sim::HidAppDeviceSpec(), "V1.0"));
    for (QString &word : command) {
        if (word == QLatin1String("DB"))
            word = db;
        else if (word == QLatin1String("BEFORE"))
            word = now.addDays(-30).toString(Qt::ISODate);
        else if (word == QLatin1String("TOMORROW"))
            word = now.addDays(1).toString(Qt::ISODate);
        else if (word == QLatin1String("FW"))
            word = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"));
    }
    const Run r = runCli(command);
    configHome.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", configHome);
    QCOMPARE(r.exit, exit);
    QVERIFY2(r.err.contains(QString(said).replace(QStringLiteral("%CONFIG%"), config)), qPrintable(r.err));
    QStringList found;
    for (const update::History::Record &row : update::History(db, update::History::Mode::Read).rows()) {
        found << names.value(row.uuid, QStringLiteral("new"));
        if (!names.contains(row.uuid))
            QCOMPARE(row.host, host);
    }
    QCOMPARE(found.join(' '), left);
}

// An update of `board` with its history at `db`: the update is done whatever the history does,
// and its result says whether its row was recorded, and if not, why (`said`, on standard error
// too). The result is left in `r`.
void HistoryCommandTest::updateBeside(
    const sim::Board &board, const QString &db, bool recorded, const QString &said, Run &r)
{
    r = runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1")),
        QStringLiteral("--history"), db, QStringLiteral("--json")});
    QVERIFY2(r.exit == 0, qPrintable(r.err));
    QCOMPARE(board.app->versionText(), std::string("V1.1"));
    const QJsonObject result = jsonLines(r.out).last();
    QCOMPARE(result.value(QStringLiteral("recorded")).toBool(), recorded);
    QVERIFY2(r.err.contains(said), qPrintable(r.err));
    if (!recorded) {
        QVERIFY2(result.value(QStringLiteral("historyProblem")).toString().contains(said), qPrintable(r.out));
        QVERIFY2(r.err.contains(QStringLiteral("1 update row is not recorded")), qPrintable(r.err));
    }
}

QStringList HistoryCommandTest::setAside() const
{
    return QDir(dir->path()).entryList({QStringLiteral("history.sqlite.damaged-*")});
}

void HistoryCommandTest::historyThatCannotBeKept_data()
{
    QTest::addColumn<QString>("path"); // of the history; empty: history.sqlite in the test's folder
    QTest::addColumn<QByteArray>("text"); // what the file holds; empty: no such file
    QTest::addColumn<QStringList>("sql"); // another program's database, made by these statements
    QTest::addColumn<bool>("folder"); // a folder stands where the file would be
    QTest::addColumn<QString>("said"); // on standard error
    QTest::newRow("a CSV file") << QString() << QByteArray("started,serial\r\n2026-12-01,SN-1\r\n") << QStringList()
                                << false << QStringLiteral("not an SQLite database");
    QTest::newRow("a folder") << QString() << QByteArray() << QStringList() << true << QStringLiteral("is a folder");
    QTest::newRow("another program's database (user_version 7)")
        << QString() << QByteArray() << QStringList{"CREATE TABLE updates (x)", "PRAGMA user_version = 7"} << false
        << QStringLiteral("another program's database");
    QTest::newRow("another program's database (user_version 0, its own tables)")
        << QString() << QByteArray() << QStringList{"CREATE TABLE things (x)"} << false
        << QStringLiteral("another program's database");
    QTest::newRow("a folder that cannot be made")
        << QStringLiteral("/proc/tolvex-no-such-folder/history.sqlite") << QByteArray() << QStringList() << false
        << QStringLiteral("cannot be made");
}

// A history that cannot be written never fails an update, and what is not ours is left as it
// was: not recorded, said, nothing renamed.
void HistoryCommandTest::historyThatCannotBeKept()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, sql);
    QFETCH(bool, folder);
    QFETCH(QString, said);
    const QString db = path.isEmpty() ? file(QStringLiteral("history.sqlite")) : path;
    if (!text.isEmpty())
        QVERIFY(writeFile(db, text));
    if (!sql.isEmpty())
        QVERIFY(makeDatabase(db, sql));
    if (folder)
        QVERIFY(QDir().mkpath(db));
    const QByteArray bytes = QFileInfo(db).isFile() ? readFile(db) : QByteArray();
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    Run r;
    updateBeside(board, db, false, said, r);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(setAside().isEmpty(), qPrintable(setAside().join(' ')));
    QCOMPARE(QFileInfo(db).isFile() ? readFile(db) : QByteArray(), bytes);
    QCOMPARE(QFileInfo(db).isDir(), folder);
}

// Only SQLite's verdict "damaged" moves a file, with its -wal, so that nothing committed is lost;
// a new history holds the new row.
void HistoryCommandTest::damagedHistorySetAside()
{
    const QString db = file(QStringLiteral("history.sqlite"));
    {
        update::History h(db); // closed cleanly: its rows are in the file itself
        update::History::Record r;
        r.program = QStringLiteral("station");
        QCOMPARE(h.put(r).message(), QString());
    }
    QFile f(db);
    QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(4096) && f.write(QByteArray(3 * 4096, '\xA5')) == 3 * 4096);
    f.close();
    QVERIFY(writeFile(db + QStringLiteral("-wal"), "left by a writer"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("History: .* was damaged .*; it is kept as .*damaged-"));
    const QByteArray bytes = readFile(db);
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    Run r;
    updateBeside(board, db, true, QString(), r);
    if (QTest::currentTestFailed())
        return;
    const QStringList aside = setAside();
    QCOMPARE(aside.filter(QStringLiteral("-wal")).size(), 1);
    QCOMPARE(readFile(dir->filePath(aside.filter(QStringLiteral("-wal")).first())), QByteArray("left by a writer"));
    QCOMPARE(readFile(dir->filePath(aside.filter(QRegularExpression("damaged-[0-9T]+$")).first())), bytes);
    QCOMPARE(rowsIn(db), 1);
}

// Three rows left in the -wal by a writer that died before it closed the file: read and kept.
void HistoryCommandTest::killedWritersRowsKept()
{
    const QString db = file(QStringLiteral("history.sqlite"));
    const pid_t child = fork();
    if (child == 0) {
        auto *h = new update::History(db);
        for (int i = 0; i < 3; ++i) {
            update::History::Record r;
            r.uuid = update::newRowId();
            r.program = QStringLiteral("station");
            r.result = QStringLiteral("done");
            h->put(r);
        }
        _exit(0);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(QFileInfo::exists(db + QStringLiteral("-wal")));
    QCOMPARE(rowsIn(db), 3);
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    Run r;
    updateBeside(board, db, true, QString(), r);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(setAside().isEmpty(), qPrintable(setAside().join(' ')));
    QCOMPARE(rowsIn(db), 4);
}

// Locked by another program past the busy timeout: not recorded, nothing renamed, the rows kept.
void HistoryCommandTest::lockedHistoryNotRecorded()
{
    const QString db = file(QStringLiteral("history.sqlite"));
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    Run r;
    updateBeside(board, db, true, QString(), r);
    if (QTest::currentTestFailed())
        return;
    auto lock = std::make_unique<HeldLock>(db);
    QVERIFY(lock->held);
    updateBeside(board, db, false, QStringLiteral("database is locked"), r);
    lock.reset();
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(setAside().isEmpty(), qPrintable(setAside().join(' ')));
    QCOMPARE(rowsIn(db), 1);
}

QTEST_GUILESS_MAIN(HistoryCommandTest)
#include "tst_historycommand.moc"
