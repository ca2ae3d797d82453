// The firmware team's tolvex-dfu-file command: packing gives the same bytes as another
// program's writer, info tells sound files from damaged ones, and the Intel HEX reader
// checks every record.

#include "Bytes.h"
#include "IntelHex.h"
#include "OverlapFile.h"
#include "ToolRun.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

Run runTool(const QStringList &args)
{
    return runProgram(QStringLiteral(TOLVEX_DFU_FILE_BIN), args);
}

QString testData(const char *name)
{
    return QStringLiteral(TOLVEX_TESTDATA_DIR "/") + QLatin1String(name);
}

} // namespace

class DfuFileToolTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void packMatchesTheOtherWriter();
    void infoOfSoundAndDamagedFiles();
    void packFromIntelHex();
    void packRefusals_data();
    void packRefusals();
    void intelHexRecords_data();
    void intelHexRecords();

private:
    QTemporaryDir dir;
};

void DfuFileToolTest::packMatchesTheOtherWriter()
{
    const QString out = dir.filePath(QStringLiteral("two.dfu"));
    const Run r = runTool({"pack", out, "--release", "0x0200", "--target", "0", "Option Bytes",
                           "0x1FFFC000:" + testData("opt.bin"), "--target", "1", "fw_main_v2",
                           "0x08000000:" + testData("f1.bin"), "0x08004000:" + testData("f2.bin")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(out), readFile(testData("two-targets.dfu")));
}

void DfuFileToolTest::infoOfSoundAndDamagedFiles()
{
    Run r = runTool({"info", testData("two-targets.dfu")});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("Target 1: alternate 1, name \"fw_main_v2\", 2 element(s), 1064 bytes\n"
                            "  Element 0: address 0x08000000, 1000 bytes\n"
                            "  Element 1: address 0x08004000, 64 bytes\n"
                            "Suffix: device 0x0200, product 0x2A17, vendor 0x1209, DFU 0x011A\n"
                            "Signature: not signed\n"
                            "CRC: 0x18F85D8E ok\n"),
             qPrintable(r.out));

    QByteArray bytes = readFile(testData("two-targets.dfu"));
    bytes[100] = char(bytes[100] ^ 0x01);
    const QString damaged = dir.filePath(QStringLiteral("damaged.dfu"));
    QVERIFY(writeFile(damaged, bytes));
    r = runTool({"info", damaged});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("CRC: stored 0x18F85D8E, computed") && r.out.contains("DAMAGED"), qPrintable(r.out));

    const QString cut = dir.filePath(QStringLiteral("cut.dfu"));
    QVERIFY(writeFile(cut, readFile(testData("two-targets.dfu")).left(900)));
    r = runTool({"info", cut});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("Not a valid .dfu file"), qPrintable(r.out));
    QCOMPARE(runTool({"info", dir.filePath(QStringLiteral("none.dfu"))}).exitCode, 3);

    // The minisign program's signature, against its key; then with its trusted comment changed.
    const QString signedFile = QStringLiteral(TOLVEX_SIGNED_DIR "/signed.dfu");
    const QString key = QStringLiteral(TOLVEX_SIGNED_DIR "/maker.pub");
    r = runTool({"info", signedFile, "--pubkey", key});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("Signature: key 2945C8051142B921, trusted comment \"Tolvex test firmware, prehashed\"\n"
                            "  verifies against the key given\n"),
             qPrintable(r.out));
    const QString copy = dir.filePath(QStringLiteral("copy.dfu"));
    QVERIFY(writeFile(copy, readFile(signedFile)));
    QVERIFY(writeFile(copy + ".minisig", readFile(signedFile + ".minisig").replace("prehashed", "changed!!")));
    r = runTool({"info", copy, "--pubkey", key});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("DOES NOT VERIFY: the trusted comment was changed after signing"), qPrintable(r.out));
    QCOMPARE(runTool({"--version"}).out, QStringLiteral("tolvex-dfu-file " TOLVEX_VERSION "\n"));

    // Another writer's overlapping elements: shown whole, and what is wrong said.
    const QString overlapping = dir.filePath(QStringLiteral("overlap.dfu"));
    QVERIFY(writeFile(overlapping, overlappingDfuFile(0x08000000)));
    r = runTool({"info", overlapping});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("  Element 1: address 0x08000800, 2048 bytes\n"
                            "  Elements 0 and 1 overlap at 0x08000800: the tools refuse to write this image\n"),
             qPrintable(r.out));
}

void DfuFileToolTest::packFromIntelHex()
{
    // Two runs with a gap, one in segment and one in linear addressing, records out of order.
    const QString hexFile = dir.filePath(QStringLiteral("fw.hex"));
    QVERIFY(writeFile(hexFile, ":020000040800F2\n"
                               ":04001000DDEEFF0022\n"
                               ":0400000001020304F2\n"
                               ":0400040005060708DE\n"
                               ":020000021000EC\n"
                               ":02000000AABB99\n"
                               ":00000001FF\n"));
    const QString out = dir.filePath(QStringLiteral("hex.dfu"));
    Run r = runTool({"pack", out, "--damage-crc", "--target", "1", "fw", hexFile});
    QCOMPARE(r.exitCode, 0);
    r = runTool({"info", out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.contains("Target 0: alternate 1, name \"fw\", 3 element(s), 14 bytes\n"
                            "  Element 0: address 0x00010000, 2 bytes\n"
                            "  Element 1: address 0x08000000, 8 bytes\n"
                            "  Element 2: address 0x08000010, 4 bytes\n"),
             qPrintable(r.out));
    // No --release: the file declares none, so no board's firmware makes it "older".
    QVERIFY2(r.out.contains("Suffix: device 0xFFFF,"), qPrintable(r.out));
}

void DfuFileToolTest::packRefusals_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString bin = testData("f2.bin");
    QTest::newRow("element first") << QStringList{"0x0:" + bin, "--target", "0", "a"} << 2 << "before any --target";
    QTest::newRow("no target") << QStringList{"--vid", "0x1209"} << 2 << "at least one --target";
    QTest::newRow("bad vid") << QStringList{"--vid", "0x12345", "--target", "0", "a"} << 2 << "16-bit number";
    QTest::newRow("alternate 256") << QStringList{"--target", "256", "a"} << 2 << "alternate (0 to 255)";
    QTest::newRow("long name") << QStringList{"--target", "0", QString(255, 'n')} << 2 << "longer than 254";
    QTest::newRow("no address") << QStringList{"--target", "0", "a", bin} << 3 << "neither ADDRESS:FILE";
    QTest::newRow("past 4 GiB") << QStringList{"--target", "0", "a", "0xFFFFFFF0:" + bin} << 3
                                << "past the 32-bit address space";
    QTest::newRow("missing file") << QStringList{"--target", "0", "a", "0x0:/nonexistent.bin"} << 3 << "cannot read";
}

void DfuFileToolTest::packRefusals()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString out = dir.filePath(QStringLiteral("refused.dfu"));
    const Run r = runTool(QStringList{"pack", out} + args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(!QFile::exists(out));
}

void DfuFileToolTest::intelHexRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    QTest::newRow("sound, CR LF and blanks") << QByteArray(" :0400000001020304F2\r\n\n:00000001FF\r\n") << QString();
    QTest::newRow("checksum") << QByteArray(":0400000001020304F3\n:00000001FF\n") << "line 1: checksum mismatch";
    QTest::newRow("no colon") << QByteArray("0400000001020304F2\n") << "line 1: a record must start with ':'";
    QTest::newRow("odd digits") << QByteArray(":0400000001020304F\n") << "even count";
    QTest::newRow("not hex") << QByteArray(":04000000010203G4F2\n") << "not a hex digit";
    QTest::newRow("length byte") << QByteArray(":0500000001020304F1\n") << "length byte";
    QTest::newRow("cut short") << QByteArray(":0400000001020304F2\n") << "no end-of-file record";
    QTest::newRow("overlap") << QByteArray(":0400000001020304F2\n:020002001122C9\n:00000001FF\n")
                             << "data overlap at address 0x00000002";
    QTest::newRow("unknown type") << QByteArray(":00000006FA\n:00000001FF\n") << "line 1: unknown record type";
    QTest::newRow("address record size") << QByteArray(":0100000408F3\n:00000001FF\n") << "carries 2 bytes";
    QTest::newRow("past 4 GiB") << QByteArray(":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n")
                                << "beyond the 32-bit address space";
    QTest::newRow("after the end") << QByteArray(":00000001FF\nrubbish\n") << QString();
}

void DfuFileToolTest::intelHexRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    std::vector<hex::Segment> segments;
    std::string why;
    const bool ok = hex::parse(text.constData(), size_t(text.size()), segments, why);
    QCOMPARE(ok, error.isEmpty());
    if (!ok) {
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
        QVERIFY(segments.empty());
    }
}

QTEST_GUILESS_MAIN(DfuFileToolTest)
#include "tst_dfufiletool.moc"
