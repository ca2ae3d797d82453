// The staff's tolvex-config command: files it makes are read back by the window, and
// bad input gives clear messages and non-zero exit codes without touching the input.

#include "Bytes.h"
#include "MainWindow.h"
#include "TestSupport.h"
#include "ToolRun.h"

#include <QCryptographicHash>
#include <QTest>

namespace {

Run runTool(const QStringList &args)
{
    return runProgram(QStringLiteral(TOLVEX_CONFIG_BIN), args);
}

} // namespace

class TestTolvexConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTripEveryMode_data();
    void roundTripEveryMode();
    void windowReadsEncryptedFile();
    void checkReportsAndWarns_data();
    void checkReportsAndWarns();
    void badInput_data();
    void badInput();
    void neverOverwritesInput();
};

void TestTolvexConfig::roundTripEveryMode_data()
{
    QTest::addColumn<QString>("compress");
    QTest::addColumn<QString>("integrity");
    QTest::addColumn<int>("flags");
    const char *compress[] = {"auto", "always", "never"};
    const char *integrity[] = {"none", "checksum", "hash"};
    const int integrityFlag[] = {0, 2, 4};
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 3; ++i)
            QTest::newRow(qPrintable(QStringLiteral("%1/%2").arg(compress[c], integrity[i])))
                << QString::fromLatin1(compress[c]) << QString::fromLatin1(integrity[i])
                << ((c == 1 ? 1 : 0) | integrityFlag[i]);
}

void TestTolvexConfig::roundTripEveryMode()
{
    QFETCH(QString, compress);
    QFETCH(QString, integrity);
    QFETCH(int, flags);
    WorkingFolder folder;
    // Any bytes, not only text: every byte value, twice.
    QByteArray input;
    for (int i = 0; i < 512; ++i)
        input.append(char(i % 256));
    QVERIFY(writeFile(folder.file("in.bin"), input));
    const Run enc = runTool({"encrypt", folder.file("in.bin"), folder.file("Config.ini"), "--compress", compress,
                             "--integrity", integrity});
    QCOMPARE(enc.exitCode, 0);
    const QByteArray cipherText = readFile(folder.file("Config.ini"));
    QCOMPARE(int(quint8(cipherText.at(1))) & 0x06, flags & 0x06);
    if (compress != QLatin1String("auto"))
        QCOMPARE(int(quint8(cipherText.at(1))) & 0x01, flags & 0x01);
    const Run dec = runTool({"decrypt", folder.file("Config.ini"), folder.file("out.bin")});
    QCOMPARE(dec.exitCode, 0);
    QCOMPARE(readFile(folder.file("out.bin")), input);
}

void TestTolvexConfig::windowReadsEncryptedFile()
{
    WorkingFolder folder;
    QVERIFY(writeFile(folder.file("products.txt"), "Corvantis Widget,fw_main_v2\nOtterNINE Pad,otter9\n"));
    QCOMPARE(runTool({"encrypt", folder.file("products.txt"), folder.file("Config.ini")}).exitCode, 0);
    MainWindow window;
    const ImageNameList expected = {{"Corvantis Widget", "fw_main_v2"}, {"OtterNINE Pad", "otter9"}};
    QCOMPARE(window.imageNames(), expected);
    QVERIFY(window.hidRefreshTimerState().isActive());
}

void TestTolvexConfig::checkReportsAndWarns_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outputHas");
    QTest::addColumn<QStringList>("warningsHave");
    QTest::newRow("clean") << QByteArray("Alpha,One\nBeta,Two\n") << 0
                           << QStringList{"2 product line(s)", "1: \"Alpha\", \"One\"", "2: \"Beta\", \"Two\""}
                           << QStringList{};
    QTest::newRow("no final line feed") << QByteArray("Alpha,One\nBeta,Two") << 1 << QStringList{"1 product line(s)"}
                                        << QStringList{"last line has no line feed"};
    QTest::newRow("CR-LF") << QByteArray("Alpha,One\r\n") << 1 << QStringList{"\"One\\r\""}
                           << QStringList{"CR-LF"};
    QTest::newRow("no comma") << QByteArray("Alpha\n") << 1 << QStringList{"1: \"Alpha\""}
                              << QStringList{"line 1 has no comma"};
    QTest::newRow("listed twice") << QByteArray("Alpha,One\nAlpha,Two\n") << 1 << QStringList{}
                                  << QStringList{"line 2 lists product \"Alpha\" again"};
    QTest::newRow("empty") << QByteArray() << 1 << QStringList{"0 product line(s)"}
                           << QStringList{"decrypts to no text"};
}

void TestTolvexConfig::checkReportsAndWarns()
{
    QFETCH(QByteArray, plain);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outputHas);
    QFETCH(QStringList, warningsHave);
    WorkingFolder folder;
    QVERIFY(folder.writeConfig(plain));
    const Run r = runTool({"check", folder.file("Config.ini")});
    QCOMPARE(r.exitCode, exitCode);
    for (const QString &s : outputHas)
        QVERIFY2(r.out.contains(s), qPrintable(r.out));
    for (const QString &s : warningsHave)
        QVERIFY2(r.err.contains(QStringLiteral("warning: ")) && r.err.contains(s), qPrintable(r.err));
    if (warningsHave.isEmpty())
        QCOMPARE(r.err, QString());
}

void TestTolvexConfig::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("inputBytes");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList{} << QByteArray() << 2 << "no command given";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << QByteArray() << 2 << "unknown command";
    QTest::newRow("--version, as the other tools have") << QStringList{"--version"} << QByteArray() << 0 << "";
    QTest::newRow("bad compress") << QStringList{"encrypt", "IN", "OUT", "--compress", "maybe"} << QByteArray("x")
                                  << 2 << "unknown --compress value 'maybe'";
    QTest::newRow("missing value") << QStringList{"encrypt", "IN", "OUT", "--integrity"} << QByteArray("x") << 2
                                   << "--integrity needs a value";
    QTest::newRow("missing input") << QStringList{"encrypt", "absent.txt", "OUT"} << QByteArray() << 3
                                   << "cannot read";
    QTest::newRow("decrypt plain text") << QStringList{"decrypt", "IN", "OUT"} << QByteArray("Alpha,One\n") << 3
                                        << "does not decrypt";
    QTest::newRow("decrypt too short") << QStringList{"decrypt", "IN", "OUT"} << QByteArray("\x03\x02") << 3
                                       << "too short";
    QTest::newRow("check damaged") << QStringList{"check", "IN"} << QByteArray("\x03\x02\x10\x20\x30\x40") << 3
                                   << "integrity check failed";
    ConfigCipher cipher(ConfigurationKey);
    cipher.setCompressionMode(ConfigCipher::CompressAlways);
    QTest::newRow("decrypt a text past 64 MiB")
        << QStringList{"decrypt", "IN", "OUT"} << cipher.encryptBytes(QByteArray(65 * 1024 * 1024, ',')) << 3
        << "compressed text is damaged";
}

void TestTolvexConfig::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, inputBytes);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    WorkingFolder folder;
    QVERIFY(writeFile(folder.file("IN"), inputBytes));
    for (QString &a : args) {
        if (a == QLatin1String("IN") || a == QLatin1String("OUT") || a == QLatin1String("absent.txt"))
            a = folder.file(a);
    }
    const Run r = runTool(args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    if (exitCode == 0)
        QCOMPARE(r.out, QStringLiteral("tolvex-config " TOLVEX_VERSION "\n"));
    QVERIFY(!QFile::exists(folder.file("OUT")));
}

void TestTolvexConfig::neverOverwritesInput()
{
    WorkingFolder folder;
    QVERIFY(writeFile(folder.file("in.txt"), "Alpha,One\n"));
    for (const QString &command : {QStringLiteral("encrypt"), QStringLiteral("decrypt")}) {
        const Run r = runTool({command, folder.file("in.txt"), folder.path() + "/./in.txt"});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.contains("refusing to overwrite the input"));
        QCOMPARE(readFile(folder.file("in.txt")), QByteArray("Alpha,One\n"));
    }
}

QTEST_MAIN(TestTolvexConfig)
#include "tst_tolvexconfig.moc"
