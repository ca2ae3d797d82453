// The update road of update/ and the DFU link of dfu/ on simulated boards, without the
// command line: a session's steps, refusals and results, and each setting of the link both
// ways.

#include "Bytes.h"
#include "ConfigFile.h"
#include "DfuFileFormat.h"
#include "DfuLink.h"
#include "Devices.h"
#include "History.h"
#include "HistoryWriter.h"
#include "Session.h"
#include "Station.h"
#include "SignedFile.h"
#include "SimHid.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <mutex>

namespace {

constexpr uint32_t Flash = 0x08000000;
const ImageNameList Names = splitConfigurationText(QStringLiteral("Tolvex Demo Board,fw_main_v2\n"));

QByteArray flashOf(const sim::Board &b, int size)
{
    QByteArray out(size, '\0');
    b.dfu->readMemory(1, Flash, reinterpret_cast<uint8_t *>(out.data()), size_t(size));
    return out;
}

// Polls the link's operation to its end: its last poll.
DfuLink::Poll pollToTheEnd(DfuLink &link)
{
    QElapsedTimer clock;
    clock.start();
    DfuLink::Poll p = link.poll();
    while (p.state == DfuLink::Poll::Running && clock.elapsed() < 20000) {
        QThread::msleep(5);
        p = link.poll();
    }
    return p;
}

void runToTheEnd(update::Session &s)
{
    s.start();
    QElapsedTimer clock;
    clock.start();
    while (!s.over() && clock.elapsed() < 20000) {
        s.advance();
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
}

// The board in DFU mode at port 5, as update::dfuDevices() finds it.
update::Device inDfuMode(const sim::Board &b)
{
    sim::World::instance().unplug(b.app);
    sim::World::instance().plug(b.dfu, 5);
    const QList<update::Device> present = update::dfuDevices();
    return present.value(0);
}

// Every statement SQLite runs in this process, on every connection (Qt's driver uses the same
// library): what the history asks of the file, as SQLite saw it.
std::mutex tracedMutex;
QStringList traced;

int traceStatement(unsigned, void *, void *statement, void *)
{
    const char *sql = sqlite3_sql(static_cast<sqlite3_stmt *>(statement));
    std::lock_guard<std::mutex> lock(tracedMutex);
    traced << QString::fromUtf8(sql ? sql : "");
    return 0;
}

int traceConnection(sqlite3 *db, const char **, const struct sqlite3_api_routines *)
{
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, traceStatement, nullptr);
    return SQLITE_OK;
}

QStringList takeTraced()
{
    std::lock_guard<std::mutex> lock(tracedMutex);
    QStringList out;
    out.swap(traced);
    return out;
}

// A statement that reads every page of the file.
bool readsWhole(const QString &sql)
{
    return sql.contains(QLatin1String("quick_check"), Qt::CaseInsensitive)
           || sql.contains(QLatin1String("integrity_check"), Qt::CaseInsensitive)
           || sql.contains(QLatin1String("count(*) FROM updates"), Qt::CaseInsensitive);
}

struct StationRun;

} // namespace

class UpdateSessionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(dir.isValid()); }
    void cleanup()
    {
        hidTransport.close();
        sim::World::instance().unplugAll();
    }
    void road_data();
    void road();
    void rules_data();
    void rules();
    void otherUsbIds_data();
    void otherUsbIds();
    void backupName_data();
    void backupName();
    void historyOfTheLastRelease_data();
    void historyOfTheLastRelease();
    void historyCheckedWhereNobodyWaits_data();
    void historyCheckedWhereNobodyWaits();
    void worldKeepsItsTimetable();
    void stationPulledBeforeDfuMode();
    void stationLateRestart();
    void stationReseated();
    void stationDrained();
    void stationScannedLabel_data();
    void stationScannedLabel();
    void stationLotAcrossRestart();

private:
    StationRun stationRun();
    QString dfuFile(const QByteArray &imageName, const QByteArray &data, quint16 productId = 0x2A17);
    QTemporaryDir dir;
    int files = 0;
};

QString UpdateSessionTest::dfuFile(const QByteArray &imageName, const QByteArray &data, quint16 productId)
{
    dfulib::Target t;
    t.alternate = 1;
    t.name = imageName.toStdString();
    t.elements.emplace_back(Flash, std::vector<uint8_t>(data.begin(), data.end()));
    std::vector<uint8_t> bytes;
    dfulib::buildFile(0x1209, productId, 0x0200, {t}, bytes);
    const QString path = dir.filePath(QStringLiteral("f%1.dfu").arg(++files));
    writeFile(path, QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())));
    return path;
}

void UpdateSessionTest::road_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<QString>("bootLoader"); // the name its boot loader reports
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("written");
    QTest::addColumn<bool>("backInApplication");

    using R = update::Session::Result;
    QTest::newRow("from application mode, there and back")
        << true << QString() << QByteArray("fw_main_v2") << false << int(R::Done) << QString() << true << true;
    QTest::newRow("in DFU mode, back to the application")
        << false << QString() << QByteArray("fw_main_v2") << false << int(R::Done) << QString() << true << true;
    // Config.ini names products as their boot loader does: a board sent there for nothing
    // goes back to its application unwritten.
    QTest::newRow("boot loader not in Config.ini")
        << true << QStringLiteral("Tolvex Loader") << QByteArray("fw_main_v2") << false << int(R::Refused)
        << QStringLiteral("permits no image for \"Tolvex Loader\"") << false << true;
    QTest::newRow("image name not permitted, in DFU mode")
        << false << QString() << QByteArray("otter9_app") << false << int(R::Refused)
        << QStringLiteral("Config.ini permits \"fw_main_v2\" for \"Tolvex Demo Board\"") << false << false;
    QTest::newRow("dry run in DFU mode compares")
        << false << QString() << QByteArray("fw_main_v2") << true << int(R::Done)
        << QStringLiteral("would erase and write") << false << false;
}

void UpdateSessionTest::road()
{
    QFETCH(bool, fromApplication);
    QFETCH(QString, bootLoader);
    QFETCH(QByteArray, imageName);
    QFETCH(bool, dryRun);
    QFETCH(int, result);
    QFETCH(QString, message);
    QFETCH(bool, written);
    QFETCH(bool, backInApplication);

    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, bootLoader.toStdString(), 5);
    const QByteArray before = flashOf(board, 40000);
    const update::Device device = fromApplication ? update::appDevices().value(0) : inDfuMode(board);
    QCOMPARE(device.location, QStringLiteral("1-5"));
    update::Session::Settings settings;
    settings.file = readDfuFile(dfuFile(imageName, firmware("V1.1")));
    settings.names = Names;
    settings.dryRun = dryRun;
    settings.arrivalTimeoutMs = 5000;
    update::Session session(device, settings);
    runToTheEnd(session);

    QVERIFY(session.over());
    QCOMPARE(int(session.result()), result);
    QVERIFY2(session.message().contains(message), qPrintable(session.message()));
    QCOMPARE(flashOf(board, 40000) == firmware("V1.1"), written);
    if (!written)
        QCOMPARE(flashOf(board, 40000), before);
    // The simulated world brings a restarted board back when the bus is looked at.
    QTRY_COMPARE_WITH_TIMEOUT(update::appDevices().size(), backInApplication ? 1 : 0, 5000);
    if (written) {
        QCOMPARE(session.oldVersion(), fromApplication ? QStringLiteral("V1.0") : QStringLiteral("?"));
        QCOMPARE(session.newVersion(), QStringLiteral("V1.1"));
        QCOMPARE(session.details().imageName, QStringLiteral("fw_main_v2"));
        QVERIFY(session.details().sectorsTouched > session.details().sectorsKept);
        QVERIFY(session.details().bytesVerified >= 40000);
    }
}

void UpdateSessionTest::rules_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<QString>("boardVersion");
    QTest::addColumn<int>("fileRelease");
    QTest::addColumn<QString>("bootSerialOfTheBoard"); // as the history knows it; empty: unknown
    QTest::addColumn<bool>("silentInApplication");
    QTest::addColumn<bool>("verify"); // of the file against the board, which holds V1.0
    QTest::addColumn<int>("restartMs"); // the board's restart; longer than the wait: it never comes back
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("written");

    using R = update::Session::Result;
    QTest::newRow("a file of the board's own release is written")
        << true << "V1.1" << 0x0101 << QString() << false << false << 50 << int(R::Done) << QString() << true;
    QTest::newRow("no rollback: a file older than the board's firmware")
        << true << "V2.0" << 0x0101 << QString() << false << false << 50 << int(R::Refused)
        << "release 1.01 is older than the board's firmware V2.0" << false;
    QTest::newRow("the boot serial this board always showed: the same board")
        << true << "V1.0" << 0xFFFF << "TVX-0001" << false << false << 50 << int(R::Done) << QString() << true;
    QTest::newRow("another boot serial than this board's: another board, untouched")
        << true << "V1.0" << 0xFFFF << "LOADER-0002" << false << false << 50 << int(R::Replaced)
        << "another board came back at 1-5 (its boot loader reports serial TVX-0001, where TVX-0001's always "
           "reported LOADER-0002)"
        << false;
    QTest::newRow("written, but silent back in its application: not done")
        << false << "V1.0" << 0xFFFF << QString() << true << false << 50 << int(R::Failed)
        << "written and verified, but back in its application it does not answer" << true;
    QTest::newRow("verify: a difference is said first, though the board stays away")
        << false << "V1.0" << 0xFFFF << QString() << false << true << 60000 << int(R::Differs) << "differs at 0x"
        << false;
    QTest::newRow("verify: the board stays away after an identical compare")
        << false << "V1.1" << 0xFFFF << QString() << false << true << 60000 << int(R::Missing)
        << "compared, but it did not come back" << false;
}

// The rules of the road that decide a board's result, each way.
void UpdateSessionTest::rules()
{
    QFETCH(bool, fromApplication);
    QFETCH(QString, boardVersion);
    QFETCH(int, fileRelease);
    QFETCH(QString, bootSerialOfTheBoard);
    QFETCH(bool, silentInApplication);
    QFETCH(bool, verify);
    QFETCH(int, restartMs);
    QFETCH(int, result);
    QFETCH(QString, message);
    QFETCH(bool, written);

    const sim::Board board =
        plugBoard(sim::HidAppDeviceSpec(), boardVersion.toStdString(), restartMs, std::string(), 5);
    if (verify && boardVersion == QLatin1String("V1.1")) // it holds the file
        QVERIFY(
            board.dfu->writeMemory(1, Flash, reinterpret_cast<const uint8_t *>(firmware("V1.1").constData()), 40000));
    const QByteArray before = flashOf(board, 40000);
    const update::Device device = fromApplication ? update::appDevices().value(0) : inDfuMode(board);
    if (silentInApplication)
        board.app->setFaults(faultOf(&sim::HidFaults::noAnswer, 1000));
    update::Session::Settings settings;
    settings.file = readDfuFile(dfuFile("fw_main_v2", firmware("V1.1")));
    settings.names = Names;
    settings.fileRelease = quint16(fileRelease);
    settings.verify = verify;
    settings.arrivalTimeoutMs = restartMs > 5000 ? 1500 : 5000;
    settings.bootSerialOf = [&](const QString &serial) {
        return serial == QLatin1String("TVX-0001") ? bootSerialOfTheBoard : QString();
    };
    update::Session session(device, settings);
    runToTheEnd(session);

    QVERIFY(session.over());
    QVERIFY2(session.message().contains(message), qPrintable(session.message()));
    QCOMPARE(int(session.result()), result);
    QCOMPARE(flashOf(board, 40000), written ? firmware("V1.1") : before);
    if (restartMs > 5000)
        QVERIFY2(session.message().contains(QStringLiteral("did not come back")), qPrintable(session.message()));
}

void UpdateSessionTest::otherUsbIds_data()
{
    QTest::addColumn<bool>("warn");
    QTest::newRow("refused (tolvex-dfu)") << false;
    QTest::newRow("written with a warning (the window, --force)") << true;
}

void UpdateSessionTest::otherUsbIds()
{
    QFETCH(bool, warn);
    const sim::Board board = plugBoard();
    const update::Device d = inDfuMode(board);
    DfuLink::Settings settings;
    settings.otherUsbIds = warn ? DfuLink::Settings::OtherUsbIds::Warn : DfuLink::Settings::OtherUsbIds::Refuse;
    DfuLink link(settings);
    QVERIFY(link.open(d.path, d.busAddress, d.product).connected());
    const DfuLink::Launch l = link.launchDownload(
        *readDfuFile(dfuFile("fw_main_v2", firmware("V1.1"), 0x2A99)), QStringLiteral("fw_main_v2"));
    const QString mismatch = QStringLiteral("made for USB ids 1209:2a99, the device is 1209:2a17");
    if (!warn) {
        QCOMPARE(l.outcome.kind(), Outcome::Kind::Refused);
        QCOMPARE(int(l.reason), int(DfuLink::Launch::OtherUsbIds));
        QVERIFY2(l.outcome.message().contains(mismatch), qPrintable(l.outcome.message()));
        QCOMPARE(board.dfu->erasedSectorCount(), 0u);
        return;
    }
    QVERIFY2(l.launched(), qPrintable(l.outcome.message()));
    QVERIFY2(l.note.contains(mismatch) && l.note.contains(QStringLiteral("written all the same")), qPrintable(l.note));
    QCOMPARE(int(pollToTheEnd(link).state), int(DfuLink::Poll::Done));
    QCOMPARE(flashOf(board, 40000), firmware("V1.1"));
}

void UpdateSessionTest::backupName_data()
{
    QTest::addColumn<bool>("afterMemory");
    QTest::addColumn<QString>("permitted");
    QTest::addColumn<bool>("restorable"); // an update takes the backup back
    QTest::newRow("after its memory (the window)") << true << QStringLiteral("fw_main_v2") << false;
    QTest::newRow("as Config.ini permits (tolvex-dfu)") << false << QStringLiteral("fw_main_v2") << true;
    QTest::newRow("nothing permitted: after its memory, said") << false << QString() << false;
}

void UpdateSessionTest::backupName()
{
    QFETCH(bool, afterMemory);
    QFETCH(QString, permitted);
    QFETCH(bool, restorable);
    const sim::Board board = plugBoard();
    const update::Device d = inDfuMode(board);
    DfuLink::Settings settings;
    settings.backupName =
        afterMemory ? DfuLink::Settings::BackupName::Memory : DfuLink::Settings::BackupName::Permitted;
    DfuLink link(settings);
    QVERIFY(link.open(d.path, d.busAddress, d.product).connected());
    const DfuLink::Launch l = link.launchUpload(permitted);
    QVERIFY2(l.launched(), qPrintable(l.outcome.message()));
    QCOMPARE(l.note.contains(QStringLiteral("updates will refuse it")), !afterMemory && permitted.isEmpty());
    QCOMPARE(link.imageName(), restorable ? permitted : link.memoryName());
    QCOMPARE(int(pollToTheEnd(link).state), int(DfuLink::Poll::Done));
    const QString backup = dir.filePath(QStringLiteral("backup.dfu"));
    const Outcome written = link.writeBackup(backup);
    QVERIFY2(written, qPrintable(written.message()));
    // Written once: the image went with the file.
    QCOMPARE(int(link.writeBackup(dir.filePath(QStringLiteral("again.dfu"))).kind()), int(Outcome::Kind::Refused));
    QCOMPARE(checkDfuFile(*readDfuFile(backup), Names).outcome.isOk(), restorable);
}

void UpdateSessionTest::historyOfTheLastRelease_data()
{
    QTest::addColumn<int>("schema");
    QTest::newRow("schema 1, as the release before 0.0.9 wrote it") << 1;
    QTest::newRow("schema 2, a file that release 0.0.9 wrote") << 2;
    QTest::newRow("schema 3, before rows were sent on") << 3;
}

// Histories of earlier releases: read as they are by a reader (nothing changed), then brought
// up to date by a writer in one step, every row kept and given an identifier of its own. Every
// row of theirs is still to be sent to a central history, and a row changed later, even by an
// older program that knows nothing of sending, is to be sent again.
void UpdateSessionTest::historyOfTheLastRelease()
{
    QFETCH(int, schema);
    const QString path = dir.filePath(QStringLiteral("old-%1.sqlite").arg(schema));
    const auto pragma = [&path](const char *name) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("look"));
        db.setDatabaseName(path);
        qint64 value = -1;
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("PRAGMA ") + QLatin1String(name)) && q.next())
                value = q.value(0).toLongLong();
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("look"));
        return value;
    };
    if (schema != 2) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(
            QStringLiteral(
                "CREATE TABLE updates (id INTEGER PRIMARY KEY AUTOINCREMENT, started TEXT NOT NULL, ended TEXT,"
                " program TEXT NOT NULL, program_version TEXT, host TEXT, product TEXT, serial TEXT, location TEXT,"
                " version_before TEXT, version_after TEXT, file TEXT, file_sha256 TEXT, image_name TEXT,"
                " sectors_written INTEGER, sectors_kept INTEGER, bytes_verified INTEGER, result TEXT NOT NULL,"
                " message TEXT, seconds REAL%1)")
                .arg(schema == 3 ? QStringLiteral(", file_release TEXT, boot_serial TEXT, uuid TEXT") : QString())));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO updates (started, program, serial, result, seconds) VALUES "
                                      "('2026-11-30T10:00:00.000Z', 'tolvex-dfu', 'SN-0001', 'done', 7.5)")));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO updates (started, program, serial, result, seconds) VALUES "
                                      "('2026-11-30T10:00:01.000Z', 'tolvex-dfu', 'SN-0002', 'done', 0.518)")));
        if (schema == 3) {
            QVERIFY(q.exec(QStringLiteral("UPDATE updates SET uuid = 'u-' || id, boot_serial = serial")));
            QVERIFY(q.exec(QStringLiteral("PRAGMA application_id = %1").arg(update::History::ApplicationId)));
        }
        QVERIFY(q.exec(QStringLiteral("PRAGMA user_version = %1").arg(schema)));
        q.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("old"));
    } else {
        QVERIFY(QFile::copy(QStringLiteral(TOLVEX_HISTORY_DATA "/history-v2.sqlite"), path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    }
    {
        update::History reader(path, update::History::Mode::Read);
        QVERIFY2(reader.isOpen(), qPrintable(reader.problem()));
        const QList<update::History::Record> rows = reader.rows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].serial, QStringLiteral("SN-0002"));
        QCOMPARE(rows[1].bootSerial, schema == 1 ? QString() : QStringLiteral("SN-0002"));
        QCOMPARE(rows[1].seconds, 0.518);
    }
    QCOMPARE(pragma("user_version"), qint64(schema));
    update::History history(path);
    QVERIFY2(history.isOpen(), qPrintable(history.problem()));
    QCOMPARE(pragma("user_version"), qint64(update::History::SchemaVersion));
    QCOMPARE(pragma("application_id"), qint64(update::History::ApplicationId));
    update::History::Record r;
    r.uuid = update::newRowId();
    r.program = QStringLiteral("tolvex-dfu");
    r.fileRelease = QStringLiteral("1.00");
    QCOMPARE(history.put(r).message(), QString());
    r.result = QStringLiteral("done");
    QCOMPARE(history.put(r).message(), QString()); // the same row, completed
    const QList<update::History::Record> rows = history.rows(QString(), QDateTime());
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0].serial, QStringLiteral("SN-0001"));
    QCOMPARE(rows[1].fileRelease, schema == 2 ? QStringLiteral("1.00") : QString());
    QCOMPARE(rows[2].result, QStringLiteral("done"));
    QCOMPARE(rows[2].fileRelease, QStringLiteral("1.00"));
    QVERIFY(!rows[0].uuid.isEmpty() && rows[0].uuid != rows[1].uuid);
    QCOMPARE(rows[2].uuid, r.uuid);

    QList<update::History::Unsent> unsent = history.unsent(100);
    QCOMPARE(unsent.size(), 3);
    QCOMPARE(unsent[0].record.serial, QStringLiteral("SN-0001"));
    QCOMPARE(unsent[2].record.result, QStringLiteral("done")); // as it is now, not as first written
    QCOMPARE(history.markSent(unsent).message(), QString());
    QCOMPARE(history.unsentCount(), 0);
    {
        // An older program writes the row again, as its upsert does.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("older"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("UPDATE updates SET message = 'written again' WHERE serial = 'SN-0002'")));
        // ... and adds a row with no identifier.
        QVERIFY(q.exec(QStringLiteral("INSERT INTO updates (started, program, serial, result) VALUES "
                                      "('2026-12-01T09:00:00.000Z', 'tolvex-dfu', 'SN-0009', 'done')")));
        q.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("older"));
    }
    unsent = history.unsent(100);
    QCOMPARE(unsent.size(), 2);
    QCOMPARE(unsent[0].record.message, QStringLiteral("written again"));
    QCOMPARE(unsent[1].record.serial, QStringLiteral("SN-0009"));
    QVERIFY(!unsent[1].record.uuid.isEmpty());
    QCOMPARE(history.markSent({unsent[1]}).message(), QString());
    unsent.removeLast();
    // Written again here before its copy was marked sent: that copy's mark does not count.
    r.message = QStringLiteral("once more");
    QCOMPARE(history.put(r).message(), QString());
    const QList<update::History::Unsent> before = unsent;
    unsent = history.unsent(100);
    QCOMPARE(unsent.size(), 2);
    QCOMPARE(history.markSent({before[0], {unsent[1].record, unsent[1].revision - 1}}).message(), QString());
    QCOMPARE(history.unsentCount(), 1);
    QCOMPARE(history.unsent(100).value(0).record.message, QStringLiteral("once more"));
}

void UpdateSessionTest::historyCheckedWhereNobodyWaits_data()
{
    QTest::addColumn<bool>("damaged");
    QTest::newRow("sound: checked once a day, remembered in the file") << false;
    // A page of old rows that a new row never reads: found by the check, not on the way to a board.
    QTest::newRow("damaged where writing does not read: set aside by the check, rows kept") << true;
}

// Opening a history and writing a row read no more of the file at ten million rows than at one:
// SQLite's own trace shows no whole-file statement on that path; the whole-file check runs when
// asked (the history thread asks while idle), once a day.
void UpdateSessionTest::historyCheckedWhereNobodyWaits()
{
    QFETCH(bool, damaged);
    static const bool tracing = sqlite3_auto_extension(reinterpret_cast<void (*)()>(traceConnection)) == SQLITE_OK;
    QVERIFY(tracing);
    const QString path = dir.filePath(QStringLiteral("checked-%1.sqlite").arg(damaged));
    const auto row = [](int i) {
        update::History::Record r;
        r.uuid = update::newRowId();
        r.program = QStringLiteral("station");
        r.serial = QStringLiteral("SN-%1").arg(i, 5, 10, QLatin1Char('0'));
        r.started = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).addSecs(30 * i);
        r.result = QStringLiteral("done");
        r.message = QString(200, QLatin1Char('m'));
        return r;
    };
    qint64 page = 0, pageSize = 0;
    {
        update::History h(path);
        for (int i = 0; i < 300; ++i)
            QCOMPARE(h.put(row(i)).message(), QString());
    }
    if (damaged) {
        // The first leaf of the rows' table: the oldest rows, which no insert reads again.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("pages"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("SELECT min(pageno) FROM dbstat WHERE name = 'updates' AND pagetype = 'leaf'")));
        QVERIFY(q.next());
        page = q.value(0).toLongLong();
        QVERIFY(q.exec(QStringLiteral("PRAGMA page_size")) && q.next());
        pageSize = q.value(0).toLongLong();
        q.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("pages"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek((page - 1) * pageSize + 8));
        QCOMPARE(f.write(QByteArray(int(pageSize) - 8, '\xA5')), pageSize - 8);
    }
    const QByteArray bytes = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    takeTraced();
    update::History h(path);
    QVERIFY2(h.isOpen(), qPrintable(h.problem()));
    QCOMPARE(h.put(row(1000)).message(), QString());
    const QStringList opening = takeTraced();
    QVERIFY2(!opening.isEmpty(), "SQLite's trace saw nothing");
    for (const QString &sql : opening)
        QVERIFY2(!readsWhole(sql), qPrintable(sql));

    if (damaged)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("History: .* was damaged .*; it is kept as .*damaged-"));
    QCOMPARE(h.checkIfDue(24 * 3600), !damaged);
    // The trace does see a whole-file statement when one runs.
    const QStringList checking = takeTraced();
    QVERIFY(std::any_of(checking.begin(), checking.end(), readsWhole));
    if (damaged) {
        // The file went aside, its old rows in it as they were; a new one is open, and takes the
        // next row.
        const QStringList aside =
            QDir(dir.path()).entryList({QFileInfo(path).fileName() + QStringLiteral(".damaged-*")}, QDir::Files);
        QCOMPARE(aside.filter(QRegularExpression("damaged-[0-9T]+$")).size(), 1);
        QFile f(dir.filePath(aside.filter(QRegularExpression("damaged-[0-9T]+$")).first()));
        QVERIFY(f.open(QIODevice::ReadOnly) && f.size() >= bytes.size() && f.seek((page - 1) * pageSize));
        QCOMPARE(f.read(pageSize), bytes.mid(int((page - 1) * pageSize), int(pageSize)));
        QVERIFY(h.isOpen());
        QCOMPARE(h.put(row(1001)).message(), QString());
        QCOMPARE(h.rows().size(), 1);
        return;
    }
    // Remembered in the file: neither this connection nor another runs it again within the day.
    QVERIFY(!h.checkIfDue(24 * 3600));
    update::History other(path);
    QVERIFY(!other.checkIfDue(24 * 3600));
    QVERIFY(other.checkIfDue(0));
}

// The simulated world's timetable: whatever fell due between two looks happens in the order of
// its times, on its port; a line's hands are faster than a program's looks.
void UpdateSessionTest::worldKeepsItsTimetable()
{
    sim::World &world = sim::World::instance();
    const auto board = [] { return sim::makeBoard(sim::HidAppDeviceSpec(), sim::DfuDeviceSpec::twoAlternates()); };
    const sim::Board a = board(), b = board(), c = board();
    world.plug(b.app, 2);
    world.plugLater(a.app, 10, 1, false); // port 1: put in, then pulled
    world.unplugPortLater(2, 20); // port 2: pulled, then another board put in
    world.unplugPortLater(1, 30);
    world.plugLater(c.app, 40, 2, false);
    QThread::msleep(100); // no look meanwhile
    const std::vector<sim::PluggedDevice> present = world.devices();
    world.unplugAll();
    QCOMPARE(int(present.size()), 1);
    QCOMPARE(static_cast<const void *>(present[0].model.get()), static_cast<const void *>(c.app.get()));
    QCOMPARE(int(present[0].ports[0]), 2);
}

namespace {

// One run of update::Station on simulated boards that a hand plugs and pulls on a timetable;
// each rule's test sets up its world and its hooks, and reads what the run left.
struct StationRun
{
    update::Station::Settings settings;
    QList<sim::Board> boards;
    int drainAfter = 1; // ends after which the station takes no more boards; 0: the test drains
    std::function<void(update::Station &)> begin; // before the station starts
    std::function<void(update::Station &)> ended; // after each end, once it is counted
    std::function<void()> arrived;
    QList<bool> again; // each end: had that board's record ended before?
};

// Runs the station until it is over (or 8 s, when a rule is broken) and returns its tally.
update::Station::Tally runStation(StationRun &run)
{
    update::HistoryWriter writer(run.settings.historyPath);
    update::Station station(run.settings, writer);
    QEventLoop loop;
    station.over = [&] { loop.quit(); };
    station.ended = [&](const update::Session &, const update::History::Record &, bool was) {
        run.again << was;
        if (run.ended)
            run.ended(station);
        if (run.drainAfter && run.again.size() >= run.drainAfter)
            station.drain();
    };
    station.arrived = [&](const update::Session &, const update::Device &) {
        if (run.arrived)
            run.arrived();
    };
    if (run.begin)
        run.begin(station);
    station.start();
    QTimer::singleShot(8000, &loop, &QEventLoop::quit);
    loop.exec();
    return station.tally();
}

QList<update::History::Record> stationRows(const StationRun &run)
{
    return update::History(run.settings.historyPath, update::History::Mode::Read).rows();
}

QStringList resultsOf(const QList<update::History::Record> &rows)
{
    QStringList out;
    for (const update::History::Record &r : rows)
        out << r.result;
    return out;
}

sim::HidAppDeviceSpec boardWithSerial(const std::string &serial)
{
    sim::HidAppDeviceSpec app;
    app.serial = serial;
    return app;
}

} // namespace

StationRun UpdateSessionTest::stationRun()
{
    StationRun run;
    run.settings.road.file = readDfuFile(dfuFile("fw_main_v2", firmware("V1.1")));
    run.settings.road.names = Names;
    run.settings.road.arrivalTimeoutMs = 10000;
    run.settings.historyPath = dir.filePath(QStringLiteral("station-%1.sqlite").arg(++files));
    run.settings.lookMs = 10;
    return run;
}

// Away 3 s on its way to DFU mode, pulled meanwhile and another board put in its place: the
// port is not written blind, and the other board is a board of its own.
void UpdateSessionTest::stationPulledBeforeDfuMode()
{
    sim::World &world = sim::World::instance();
    StationRun run = stationRun();
    run.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 3000, std::string(), 5);
    world.unplugPortLater(5, 300);
    run.boards << sim::makeBoard(boardWithSerial("TVX-0002"), sim::DfuDeviceSpec::twoAlternates(), 50);
    run.boards[1].app->setVersionText("V1.0");
    world.plugLater(run.boards[1].app, 400, 5, false);
    run.drainAfter = 2;
    runStation(run);
    const QList<update::History::Record> rows = stationRows(run);
    QCOMPARE(resultsOf(rows), (QStringList{"pulled", "done"}));
    QVERIFY2(rows[0].message.contains("pulled before it reached DFU mode; nothing was written"),
        qPrintable(rows[0].message));
    QCOMPARE(rows[1].serial, QStringLiteral("TVX-0002"));
    QCOMPARE(run.boards[1].app->versionText(), std::string("V1.1"));
}

// Slow on its way to DFU mode, there 1.8 s later, past the restart wait: given up once, then
// taken again under the same record; one board, one record, counted once as done.
void UpdateSessionTest::stationLateRestart()
{
    sim::World &world = sim::World::instance();
    StationRun run = stationRun();
    run.settings.road.arrivalTimeoutMs = 1000;
    run.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 5);
    run.arrived = [&] {
        if (!run.again.isEmpty())
            return;
        world.unplugPortLater(5, 20);
        world.plugLater(run.boards[0].dfu, 1800, 5, false);
    };
    run.drainAfter = 2;
    const update::Station::Tally t = runStation(run);
    QCOMPARE(resultsOf(stationRows(run)), QStringList{"done"});
    QCOMPARE(run.again, (QList<bool>{false, true}));
    QCOMPARE(t.done, 1);
    QCOMPARE(t.failed, 0);
}

// Pulled during the write and re-seated 0.3 s later, as a hand does: retried, and the board is
// counted once, not at its first pass.
void UpdateSessionTest::stationReseated()
{
    StationRun run = stationRun();
    run.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 5);
    sim::DfuFaults pull;
    pull.disconnectAtBlock = 4;
    pull.once = true;
    run.boards[0].dfu->setFaults(pull);
    run.ended = [&](update::Station &) {
        if (run.again.size() == 1)
            sim::World::instance().plugLater(run.boards[0].app, 300, 5, false);
    };
    run.drainAfter = 2;
    const update::Station::Tally t = runStation(run);
    const QList<update::History::Record> rows = stationRows(run);
    QCOMPARE(resultsOf(rows), (QStringList{"pulled", "done"}));
    QVERIFY2(rows[0].message.contains("pulled during the write: it may be half-written"), qPrintable(rows[0].message));
    QCOMPARE(t.boards, 1);
    QCOMPARE(t.firstPass, 0);
    QCOMPARE(run.boards[0].app->versionText(), std::string("V1.1"));
}

// Drained with two boards running: they finish, and a third plugged in afterwards is left alone.
void UpdateSessionTest::stationDrained()
{
    StationRun run = stationRun();
    for (uint8_t port : {5, 6}) {
        run.boards << plugBoard(
            port == 5 ? sim::HidAppDeviceSpec() : boardWithSerial("TVX-0002"), "V1.0", 50, std::string(), port);
        run.boards.last().dfu->setTiming(sim::Timing::Realistic);
    }
    run.boards << sim::makeBoard(sim::HidAppDeviceSpec(), sim::DfuDeviceSpec::twoAlternates(), 50);
    run.boards.last().app->setVersionText("V1.0");
    sim::World::instance().plugLater(run.boards.last().app, 600, 7, false);
    run.drainAfter = 0;
    run.begin = [](update::Station &s) { QTimer::singleShot(300, [&s] { s.drain(); }); };
    const update::Station::Tally t = runStation(run);
    QCOMPARE(resultsOf(stationRows(run)), (QStringList{"done", "done"}));
    QCOMPARE(run.boards[2].app->versionText(), std::string("V1.0"));
    QCOMPARE(t.inProgress, 0);
}

void UpdateSessionTest::stationScannedLabel_data()
{
    QTest::addColumn<QString>("serial"); // the board's
    QTest::addColumn<bool>("required");
    QTest::addColumn<QString>("label"); // scanned before it arrives; null: none
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("recorded"); // the row's serial
    QTest::newRow("a scanned label that is the board's serial") << "TVX-0001" << false << "TVX-0001"
                                                                << "done" << QString() << "TVX-0001";
    QTest::newRow("a scanned label that is not the board's serial")
        << "TVX-0001" << false << " TVX-0999 "
        << "refused"
        << "label TVX-0999 does not match the board's serial TVX-0001; nothing was changed"
        << "TVX-0001";
    QTest::newRow("no label scanned where one is required") << "TVX-0001" << true << QString() << "refused"
                                                            << "no label was scanned for it"
                                                            << "TVX-0001";
    QTest::newRow("a board without a serial is known by its label") << QString("") << true << "LBL-7"
                                                                    << "done" << QString() << "LBL-7";
}

// A label scanned for the next board: it must be the board's serial, or name a board without
// one; a refused board is not touched.
void UpdateSessionTest::stationScannedLabel()
{
    QFETCH(QString, serial);
    QFETCH(bool, required);
    QFETCH(QString, label);
    QFETCH(QString, result);
    QFETCH(QString, message);
    QFETCH(QString, recorded);
    StationRun run = stationRun();
    run.settings.scan = required ? update::Station::Scan::Required : update::Station::Scan::Optional;
    run.boards << plugBoard(boardWithSerial(serial.toStdString()), "V1.0", 50, std::string(), 5);
    if (!label.isNull())
        run.begin = [&](update::Station &s) { s.scanned(label); };
    const QByteArray before = flashOf(run.boards[0], 40000);
    runStation(run);
    const QList<update::History::Record> rows = stationRows(run);
    QCOMPARE(resultsOf(rows), QStringList{result});
    QVERIFY2(rows[0].message.contains(message), qPrintable(rows[0].message));
    QCOMPARE(rows[0].serial, recorded);
    if (result == QLatin1String("done")) {
        QCOMPARE(rows[0].scannedLabel, label);
        return;
    }
    QCOMPARE(flashOf(run.boards[0], 40000), before);
    QCOMPARE(run.boards[0].app->requests().size(), size_t(0));
}

// A lot counted across a restart of the station: the second run reads where the first left the
// lot, and the board plugged in again is counted with the first.
void UpdateSessionTest::stationLotAcrossRestart()
{
    StationRun run = stationRun();
    run.settings.lot = QStringLiteral("L-0042");
    run.settings.operatorName = QStringLiteral("Ana");
    run.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 5);
    runStation(run);
    QCOMPARE(resultsOf(stationRows(run)), QStringList{"done"});

    sim::World::instance().unplug(run.boards[0].app);
    sim::World::instance().plugLater(run.boards[0].app, 300, 5, false);
    run.again.clear();
    update::Station::Tally first;
    // Read at the start, before any board.
    run.begin = [&](update::Station &s) { QTimer::singleShot(0, [&] { first = s.tally(); }); };
    const update::Station::Tally t = runStation(run);
    const QList<update::History::Record> rows = stationRows(run);
    QCOMPARE(resultsOf(rows), (QStringList{"done", "up to date"}));
    QCOMPARE(first.done, 1);
    QCOMPARE(t.done, 1);
    QCOMPARE(t.upToDate, 1);
    QCOMPARE(t.boards, 1);
    QCOMPARE(t.firstPass, 1);
    for (const update::History::Record &r : rows) {
        QCOMPARE(r.lot, QStringLiteral("L-0042"));
        QCOMPARE(r.operatorName, QStringLiteral("Ana"));
    }
}

QTEST_GUILESS_MAIN(UpdateSessionTest)
#include "tst_updatesession.moc"
