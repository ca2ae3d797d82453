// Splitting decrypted Config.ini text into the image-name list.

#include "ConfigFile.h"

#include <QTest>

class TestConfigFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void split_data();
    void split();
    void debugNotation_data();
    void debugNotation();
};

void TestConfigFile::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ImageNameList>("expected");
    using L = ImageNameList;
    QTest::newRow("two lines") << QStringLiteral("Alpha,One\nBeta,Two\n")
                               << L{{"Alpha", "One"}, {"Beta", "Two"}};
    QTest::newRow("last line without feed dropped") << QStringLiteral("Alpha,One\nBeta,Two") << L{{"Alpha", "One"}};
    QTest::newRow("one line without feed") << QStringLiteral("Alpha,One") << L{};
    QTest::newRow("empty text") << QString() << L{};
    QTest::newRow("empty line in the middle") << QStringLiteral("Alpha,One\n\nBeta,Two\n")
                                              << L{{"Alpha", "One"}, {""}, {"Beta", "Two"}};
    QTest::newRow("CR-LF and a space kept") << QStringLiteral("Alpha, One\r\n") << L{{"Alpha", " One\r"}};
    QTest::newRow("empty and extra fields kept") << QStringLiteral(",x,,y\n") << L{{"", "x", "", "y"}};
    QTest::newRow("no comma") << QStringLiteral("Lonely\n") << L{{"Lonely"}};
}

void TestConfigFile::split()
{
    QFETCH(QString, text);
    QFETCH(ImageNameList, expected);
    QCOMPARE(splitConfigurationText(text), expected);
}

void TestConfigFile::debugNotation_data()
{
    QTest::addColumn<ImageNameList>("list");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << ImageNameList{} << QStringLiteral("()");
    QTest::newRow("two items") << ImageNameList{{"Alpha", "One"}, {"Beta", "Two"}}
                               << QStringLiteral("((\"Alpha\", \"One\"), (\"Beta\", \"Two\"))");
    QTest::newRow("carriage return shown") << ImageNameList{{"A", "B\r"}} << QStringLiteral("((\"A\", \"B\\r\"))");
}

void TestConfigFile::debugNotation()
{
    QFETCH(ImageNameList, list);
    QFETCH(QString, expected);
    QCOMPARE(imageNameListDebugText(list), expected);
}

QTEST_APPLESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
