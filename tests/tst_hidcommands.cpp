// The application-mode link on simulated devices: the bytes of every command's request,
// the lengths written and read, the sequence rule with its resends, and the transport's
// enumeration, drain and failure paths.

#include "DfuEntryCommandSet.h"
#include "HidCommandSet.h"
#include "SimHid.h"

#include <QDate>
#include <QTest>
#include <QTimer>

#include <functional>

using Command = std::function<HidAnswer(HidCommandSet &)>;
Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(sim::HidFaults)

namespace {

QByteArray frame(const char *hex, int size)
{
    QByteArray bytes = QByteArray::fromHex(hex);
    bytes.resize(size, '\0');
    return bytes;
}

bool onBus(const std::shared_ptr<sim::UsbDeviceModel> &model)
{
    for (const sim::PluggedDevice &d : sim::World::instance().devices()) {
        if (d.model == model)
            return true;
    }
    return false;
}

bool openFirst()
{
    const QList<QStringList> found = hidTransport.enumerate(QStringLiteral("Corvantis"));
    return !found.isEmpty() && hidTransport.open(found.first().at(2));
}

} // namespace

class HidCommandsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void requestBytes_data();
    void requestBytes();
    void sequenceWrapsAfterFF();
    void wrongEchoIsSentSixTimes();
    void failureStatusIsNotRetried();
    void nothingOpenSendsNothing();
    void oversizedPayloadsAreRefused();
    void shortFrameTakesTheAnswerAsItComes();
    void staleReportsAreDrained();
    void transportFailures_data();
    void transportFailures();
    void dfuEntry_data();
    void dfuEntry();
    void enumerationByExactManufacturer();
    void openFailureIsReported();
    void versionText();
};

void HidCommandsTest::cleanup()
{
    hidTransport.close();
    sim::World::instance().unplugAll();
}

void HidCommandsTest::requestBytes_data()
{
    QTest::addColumn<bool>("otterNine");
    QTest::addColumn<int>("start");
    QTest::addColumn<Command>("command");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("answerLength");

    const std::array<quint8, 2> two{0xAB, 0xCD};
    std::array<quint8, 32> block{};
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = quint8(0xC0 + i);
    const quint8 three[3] = {1, 2, 3};

    QTest::newRow("10 at 0x40") << false << 0x40 << Command([](HidCommandSet &c) { return c.command10(); })
                                << frame("a14110efa55a", 16) << 16;
    QTest::newRow("66 in 8 bytes") << false << 0x10 << Command([](HidCommandSet &c) { return c.command66(); })
                                   << frame("04116699a55a", 8) << 8;
    QTest::newRow("20 reads 64") << false << 1 << Command([](HidCommandSet &c) { return c.command20({7, 8, 9}); })
                                 << frame("a10220df070809", 16) << 64;
    QTest::newRow("21 writes 64") << false << 2
                                  << Command([three](HidCommandSet &c) { return c.command21(0x1234, three, 3); })
                                  << frame("a30321de341203010203", 64) << 16;
    QTest::newRow("22") << false << 3 << Command([](HidCommandSet &c) { return c.command22(); })
                        << frame("a10422dd5aa5", 16) << 16;
    QTest::newRow("23 2015-06-30") << false << 4 << Command([](HidCommandSet &c) {
        return c.command23(QDate(2015, 6, 30), QTime(13, 45, 59));
    }) << frame("a10523dcde460d2d3b", 16) << 16;
    QTest::newRow("60 nine bytes") << false << 5 << Command([](HidCommandSet &c) {
        return c.command60({1, 2, 3, 4, 5, 6, 7, 8, 9});
    }) << frame("a106609f010203040506070809", 16) << 64;
    QTest::newRow("61 int") << false << 6 << Command([](HidCommandSet &c) { return c.command61(0x01020304); })
                            << frame("a107619e04030201", 16) << 16;
    QTest::newRow("62 byte") << false << 7 << Command([](HidCommandSet &c) { return c.command62(0x5C); })
                             << frame("a108629d5c", 16) << 16;
    QTest::newRow("71 reads 64") << false << 8 << Command([](HidCommandSet &c) { return c.command71(1); })
                                 << frame("a109718e01", 16) << 64;
    QTest::newRow("81 int then bytes") << false << 9
                                       << Command([two](HidCommandSet &c) { return c.command81(two, 0x11223344); })
                                       << frame("a10a817e44332211abcd", 16) << 16;
    QTest::newRow("85 reads 64") << false << 10 << Command([two](HidCommandSet &c) { return c.command85(two); })
                                 << frame("a10b857aabcd", 16) << 64;
    QTest::newRow("86 no payload") << false << 11 << Command([](HidCommandSet &c) { return c.command86(); })
                                   << frame("a10c8679", 16) << 64;
    QTest::newRow("8A int") << false << 12 << Command([](HidCommandSet &c) { return c.command8A(0xFFFFFFFE); })
                            << frame("a10d8a75feffffff", 16) << 16;
    QTest::newRow("90") << false << 13 << Command([](HidCommandSet &c) { return c.command90(); })
                        << frame("a10e906f55", 16) << 16;
    QTest::newRow("91") << false << 14 << Command([](HidCommandSet &c) { return c.command91(); })
                        << frame("a10f916eaa", 16) << 16;
    QTest::newRow("92 reads 64") << false << 15 << Command([](HidCommandSet &c) { return c.command92(3); })
                                 << frame("a110926d03", 16) << 64;
    QTest::newRow("93 writes 64") << false << 16
                                  << Command([block](HidCommandSet &c) { return c.command93(0x07, block, 32); })
                                  << frame("a311936c07c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf",
                                           64)
                                  << 16;
    QTest::newRow("93 first 2 of the block") << false << 16
                                             << Command([block](HidCommandSet &c) { return c.command93(1, block, 2); })
                                             << frame("a311936c01c0c1", 64) << 16;
    QTest::newRow("96 -1.2345 as 16 bits") << false << 17
                                           << Command([](HidCommandSet &c) { return c.command96(-1.2345); })
                                           << frame("a11296692efb", 16) << 16;
    QTest::newRow("99 2.5") << false << 18 << Command([](HidCommandSet &c) { return c.command99(2.5); })
                            << frame("a1139966c4090000", 16) << 16;
    QTest::newRow("99 -1.2345") << false << 19 << Command([](HidCommandSet &c) { return c.command99(-1.2345); })
                                << frame("a11499662efbffff", 16) << 16;
    QTest::newRow("99 saturates") << false << 19 << Command([](HidCommandSet &c) { return c.command99(1e300); })
                                  << frame("a1149966ffffff7f", 16) << 16;
    QTest::newRow("9D true") << false << 20 << Command([](HidCommandSet &c) { return c.command9D(true); })
                             << frame("a1159d6201", 16) << 16;
    QTest::newRow("9D false") << false << 20 << Command([](HidCommandSet &c) { return c.command9D(false); })
                              << frame("a1159d6200", 16) << 16;
    QTest::newRow("A0") << false << 21 << Command([two](HidCommandSet &c) { return c.commandA0(two); })
                        << frame("a116a05fabcd", 16) << 16;
    QTest::newRow("E0") << false << 0x7F << Command([](HidCommandSet &c) { return c.commandE0(); })
                        << frame("a180e01faa", 16) << 16;
    QTest::newRow("short E0") << true << 0x30 << Command([](HidCommandSet &c) { return c.shortCommandE0(); })
                              << frame("0431e01faa", 8) << 8;
    QTest::newRow("66 to OtterNINE") << true << 0x31 << Command([](HidCommandSet &c) { return c.command66(); })
                                     << frame("04326699a55a", 8) << 8;
}

void HidCommandsTest::requestBytes()
{
    QFETCH(bool, otterNine);
    QFETCH(int, start);
    QFETCH(Command, command);
    QFETCH(QByteArray, request);
    QFETCH(int, answerLength);

    const sim::Board board = plugBoard(otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec());
    QVERIFY(openFirst());
    HidCommandSet set{quint8(start)};
    const HidAnswer answer = command(set);

    QCOMPARE(requestsOf(board), QList<QByteArray>{request});
    QCOMPARE(set.currentSequence(), quint8(start + 1));
    const std::vector<size_t> reads = board.app->readSizes();
    QVERIFY(!reads.empty());
    for (size_t size : reads)
        QCOMPARE(int(size), answerLength);
    QCOMPARE(int(answer[1]), (start + 1) & 0xFF);
    QCOMPARE(int(answer[2]), 0);
}

void HidCommandsTest::sequenceWrapsAfterFF()
{
    const sim::Board board = plugBoard();
    QVERIFY(openFirst());
    HidCommandSet set(0xFE);
    set.command94();
    set.command95();
    set.command97();
    const QList<QByteArray> sent = requestsOf(board);
    QCOMPARE(sent.size(), 3);
    QCOMPARE(quint8(sent[0][1]), quint8(0xFF));
    QCOMPARE(quint8(sent[1][1]), quint8(0x00));
    QCOMPARE(quint8(sent[2][1]), quint8(0x01));
}

void HidCommandsTest::wrongEchoIsSentSixTimes()
{
    const sim::Board board = plugBoard();
    QVERIFY(openFirst());
    board.app->setFaults(faultOf(&sim::HidFaults::wrongEcho, 100));
    HidCommandSet set(0x40);
    const HidAnswer answer = set.command10();
    QCOMPARE(int(answer[2]), 0xF2);
    const QList<QByteArray> sent = requestsOf(board);
    QCOMPARE(sent.size(), 6);
    for (const QByteArray &r : sent)
        QCOMPARE(r, frame("a14110efa55a", 16));
    QVERIFY(hidTransport.isOpen());

    // Echoed on the fourth send: three resends, then the answer as the device gave it.
    board.app->clearRequests();
    board.app->setFaults(faultOf(&sim::HidFaults::wrongEcho, 3));
    QCOMPARE(int(set.command10()[2]), 0);
    QCOMPARE(requestsOf(board).size(), 4);
}

void HidCommandsTest::failureStatusIsNotRetried()
{
    const sim::Board board = plugBoard();
    QVERIFY(openFirst());
    board.app->setFaults(faultOf(&sim::HidFaults::failStatus, 1));
    HidCommandSet set(9);
    const HidAnswer answer = set.command10();
    QCOMPARE(int(answer[1]), 10);
    QCOMPARE(int(answer[2]), 0x01);
    QCOMPARE(requestsOf(board).size(), 1);
}

void HidCommandsTest::nothingOpenSendsNothing()
{
    const sim::Board board = plugBoard();
    HidCommandSet set(0);
    HidAnswer expected{};
    expected[2] = 0xF2;
    QCOMPARE(set.command10(), expected);
    QCOMPARE(set.shortCommandE0(), expected);
    QVERIFY(board.app->requests().empty());
}

void HidCommandsTest::oversizedPayloadsAreRefused()
{
    const sim::Board board = plugBoard();
    QVERIFY(openFirst());
    HidCommandSet set(0);
    const QByteArray bytes(58, 'x');
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("0x21 refused")));
    QCOMPARE(int(set.command21(1, reinterpret_cast<const quint8 *>(bytes.data()), 58)[2]), 0xF2);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("0x10 refused")));
    QCOMPARE(int(set.sendCommand(0x10, reinterpret_cast<const quint8 *>(bytes.data()), 13)[2]), 0xF2);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("0xE0 refused")));
    QCOMPARE(int(set.sendShortCommand(0xE0, reinterpret_cast<const quint8 *>(bytes.data()), 5)[2]), 0xF2);
    QVERIFY(board.app->requests().empty());
    // The largest that fit go out whole.
    QCOMPARE(int(set.command21(1, reinterpret_cast<const quint8 *>(bytes.data()), 57)[2]), 0);
    QCOMPARE(requestsOf(board).last().mid(4, 3), QByteArray::fromHex("010039"));
    QCOMPARE(requestsOf(board).last().mid(7), bytes.left(57));
}

void HidCommandsTest::shortFrameTakesTheAnswerAsItComes()
{
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec::otterNine());
    QVERIFY(openFirst());
    board.app->setFaults(faultOf(&sim::HidFaults::wrongEcho, 100));
    HidCommandSet set(0x20);
    const HidAnswer answer = set.shortCommandE0();
    QCOMPARE(requestsOf(board).size(), 1);
    QVERIFY(answer[1] != 0x21);
    QCOMPARE(int(answer[2]), 0);
}

void HidCommandsTest::staleReportsAreDrained()
{
    const sim::Board board = plugBoard();
    QVERIFY(openFirst());
    // A late answer to an earlier request, then some noise: neither is taken as the answer.
    board.app->pushInputReport({0xA2, 0x41, 0x07});
    board.app->pushInputReport({0xA2, 0x00, 0x09});
    HidCommandSet set(0x40);
    const HidAnswer answer = set.command10();
    QCOMPARE(int(answer[1]), 0x41);
    QCOMPARE(int(answer[2]), 0);
    QCOMPARE(requestsOf(board).size(), 1);

    // A stale report longer than the answer leaves none of its bytes in it.
    board.app->pushInputReport(std::vector<uint8_t>(16, 0xEE));
    board.app->setScriptedAnswers({{0xA2, 0x42, 0x00}});
    const HidAnswer shortAnswer = set.command10();
    QCOMPARE(int(shortAnswer[2]), 0);
    QVERIFY(std::all_of(shortAnswer.begin() + 3, shortAnswer.end(), [](quint8 b) { return b == 0; }));
}

void HidCommandsTest::transportFailures_data()
{
    QTest::addColumn<sim::HidFaults>("faults");
    QTest::addColumn<bool>("shortFrame");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("sent"); // requests that went out
    QTest::addColumn<bool>("waited"); // the whole answer timeout, events processed meanwhile
    sim::HidFaults silent, unreadable, unplugged, unwritable;
    silent.noAnswer = 1;
    unreadable.readErrors = 1;
    unplugged.unplugOnRequest = true;
    unwritable.writeErrorAt = 1;
    QTest::newRow("never answers") << silent << false << QStringLiteral("no answer within") << 1 << true;
    QTest::newRow("read error") << unreadable << false << QStringLiteral("read error") << 1 << false;
    QTest::newRow("unplugged mid-exchange") << unplugged << false << QStringLiteral("read error") << 1 << false;
    QTest::newRow("write fails") << unwritable << false << QStringLiteral("write failed") << 0 << false;
    // The 8-byte form has no echo to judge, but no answer is still no success.
    QTest::newRow("8-byte, never answers") << silent << true << QStringLiteral("no answer within") << 1 << true;
    QTest::newRow("8-byte, read error") << unreadable << true << QStringLiteral("read error") << 1 << false;
    QTest::newRow("8-byte, write fails") << unwritable << true << QStringLiteral("write failed") << 0 << false;
}

void HidCommandsTest::transportFailures()
{
    QFETCH(sim::HidFaults, faults);
    QFETCH(bool, shortFrame);
    QFETCH(QString, warning);
    QFETCH(int, sent);
    QFETCH(bool, waited);
    const sim::Board board = plugBoard(shortFrame ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec());
    QVERIFY(openFirst());
    board.app->setFaults(faults);

    // The wait processes events: a timer keeps firing while the exchange is outstanding.
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    HidCommandSet set(0);
    const auto send = [&] { return shortFrame ? set.shortCommandE0() : set.command10(); };
    const HidAnswer answer = send();
    QCOMPARE(int(answer[2]), 0xF2);
    QVERIFY(!hidTransport.isOpen());
    QCOMPARE(requestsOf(board).size(), sent);
    if (waited)
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    // Closed: nothing more goes out.
    QCOMPARE(int(send()[2]), 0xF2);
    QCOMPARE(requestsOf(board).size(), sent);
}

void HidCommandsTest::dfuEntry_data()
{
    QTest::addColumn<bool>("otterNine");
    QTest::addColumn<sim::HidFaults>("faults");
    QTest::addColumn<QString>("warning"); // as a pattern; empty: none
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<bool>("entered");
    QTest::addColumn<bool>("stillOpen"); // the transport, after a refusal
    sim::HidFaults none, refused, silent, secondUnwritten;
    refused.failStatus = 1;
    silent.noAnswer = 1;
    secondUnwritten.writeErrorAt = 2;
    const QString written = QStringLiteral("write failed");
    QTest::newRow("standard") << false << none << QString()
                              << QList<QByteArray>{frame("a101e01faa", 16), frame("a102e11e55", 16)} << true << false;
    QTest::newRow("standard refused") << false << refused << QString() << QList<QByteArray>{frame("a101e01faa", 16)}
                                      << false << true;
    QTest::newRow("standard, second write fails")
        << false << secondUnwritten << written << QList<QByteArray>{frame("a101e01faa", 16)} << false << false;
    QTest::newRow("OtterNINE") << true << none << QString()
                               << QList<QByteArray>{frame("0401e01faa", 8), frame("0402e11e55", 8)} << true << false;
    QTest::newRow("OtterNINE refused") << true << refused << QString() << QList<QByteArray>{frame("0401e01faa", 8)}
                                       << false << true;
    QTest::newRow("OtterNINE never answers") << true << silent << QStringLiteral("no answer within")
                                             << QList<QByteArray>{frame("0401e01faa", 8)} << false << false;
    QTest::newRow("OtterNINE, second write fails")
        << true << secondUnwritten << written << QList<QByteArray>{frame("0401e01faa", 8)} << false << false;
}

void HidCommandsTest::dfuEntry()
{
    QFETCH(bool, otterNine);
    QFETCH(sim::HidFaults, faults);
    QFETCH(QString, warning);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(bool, entered);
    QFETCH(bool, stillOpen);
    const sim::Board board = plugBoard(otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec());
    QVERIFY(openFirst());
    board.app->setFaults(faults);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

    DfuEntryCommandSet entry(0);
    QCOMPARE(otterNine ? entry.enterDfuModeShort() : entry.enterDfuMode(), entered);
    QCOMPARE(requestsOf(board), requests);
    // Accepted: the transport is closed after the second write, the device has left and its
    // boot loader arrives a little later.
    const bool stayed = !entered;
    QCOMPARE(hidTransport.isOpen(), stillOpen);
    QCOMPARE(board.app->connected(), stayed);
    if (stayed)
        return;
    QVERIFY(hidTransport.enumerate(QStringLiteral("Corvantis")).isEmpty());
    QTRY_VERIFY(onBus(board.dfu));
}

void HidCommandsTest::enumerationByExactManufacturer()
{
    QVERIFY(hidTransport.enumerate(QStringLiteral("Corvantis")).isEmpty());
    sim::HidAppDeviceSpec lower;
    lower.manufacturer = "corvantis";
    sim::HidAppDeviceSpec none;
    none.manufacturer.clear();
    sim::HidAppDeviceSpec second;
    second.product = "Tolvex Second Board";
    const sim::Board a = plugBoard();
    const sim::Board b = plugBoard(lower);
    const sim::Board c = plugBoard(none);
    const sim::Board d = plugBoard(second);
    // A DFU-mode device is no HID device.
    const sim::Board e = sim::makeBoard(sim::HidAppDeviceSpec(), sim::DfuDeviceSpec::twoAlternates());
    sim::World::instance().plug(e.dfu);

    const QList<QStringList> found = hidTransport.enumerate(QStringLiteral("Corvantis"));
    QCOMPARE(found.size(), 2);
    QCOMPARE(found[0].mid(0, 2), (QStringList{"Corvantis", "Tolvex Demo Board"}));
    QCOMPARE(found[1].mid(0, 2), (QStringList{"Corvantis", "Tolvex Second Board"}));
    QVERIFY(found[0].at(2) != found[1].at(2));
    QVERIFY(hidTransport.open(found[1].at(2)));
    HidCommandSet set(0);
    set.command22();
    QCOMPARE(requestsOf(d).size(), 1);
    QVERIFY(a.app->requests().empty());
    hidTransport.close();
    hidTransport.close();
    QVERIFY(!hidTransport.isOpen());
}

void HidCommandsTest::openFailureIsReported()
{
    const sim::Board board = plugBoard();
    board.app->setOpenDenied(true);
    const QString path = hidTransport.enumerate(QStringLiteral("Corvantis")).value(0).value(2);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Permission denied.*udev rules")));
    QVERIFY(!hidTransport.open(path));
    // Once per device: the list tries again every half second.
    QVERIFY(!hidTransport.open(path));
    QVERIFY(!hidTransport.isOpen());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No such file")));
    QVERIFY(!hidTransport.open(QStringLiteral("/dev/none")));
}

void HidCommandsTest::versionText()
{
    HidAnswer answer{};
    const quint8 bytes[] = {0x56, 0x31, 0x00, 0x2E, 0x32, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(bytes), std::end(bytes), answer.begin() + 3);
    answer[12] = 'X'; // past the nine bytes of text
    QCOMPARE(versionTextFromAnswer(answer), QStringLiteral("V1.2"));
    answer.fill(0);
    QCOMPARE(versionTextFromAnswer(answer), QString());
    for (int i = 3; i < 12; ++i)
        answer[size_t(i)] = quint8('0' + i);
    QCOMPARE(versionTextFromAnswer(answer), QStringLiteral("3456789:;"));
}

QTEST_GUILESS_MAIN(HidCommandsTest)
#include "tst_hidcommands.moc"
