// The main window: the form's widget tree and properties, the controller's start-up
// state, progress-bar colours, the slot table, and loading Config.ini.

#include "MainWindow.h"
#include "MainWindowForm.h"
#include "TestSupport.h"

#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QTest>

namespace {

const char CyanFormStyle[] = "QProgressBar {\n    border: 2px solid grey;\n    border-radius: 5px;\n    text-align: "
                             "center;\n}\n\nQProgressBar::chunk {\n\tbackground-color: rgb(0, 255, 255);\n    width: "
                             "20px;\n/*    margin: 2px;*/\n}";

QString colourStyle(const char *rgb)
{
    return QStringLiteral("QProgressBar {border: 2px solid grey;border-radius: 5px;text-align: center;} "
                          "QProgressBar::chunk {background-color: rgb(%1);width: 20px;}")
        .arg(QLatin1String(rgb));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void objectTree_data();
    void objectTree();
    void layoutCells();
    void layoutSpacingAndMargins();
    void widgetProperties();
    void formStateBeforeController();
    void startupState();
    void progressBarColours();
    void slotTable();
    void uploadSlotOnlyByName();
    void longTextsAreElidedNotWidened();
    void configurationListAndDebugOutput();
    void undecryptableConfigurationStillPolls();
    void missingConfigurationEndsApplication(); // runs the event loop: keep last

private:
    WorkingFolder *folder = nullptr;
};

void TestMainWindow::init()
{
    folder = new WorkingFolder;
    QVERIFY(folder->writeConfig("Alpha,One\nBeta,Two\n"));
}

void TestMainWindow::cleanup()
{
    delete folder;
    folder = nullptr;
}

void TestMainWindow::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    const char *rows[][3] = {
        {"centralWidget", "QWidget", "MainWindow"},
        {"gridLayout", "QGridLayout", "centralWidget"},
        {"groupBox_AppMode", "QGroupBox", "centralWidget"},
        {"gridLayout_3", "QGridLayout", "groupBox_AppMode"},
        {"label", "QLabel", "groupBox_AppMode"},
        {"lbl_AppDeviceName", "ElidedLabel", "groupBox_AppMode"},
        {"pb_GoToDfuMode", "QPushButton", "groupBox_AppMode"},
        {"labfirwareVer", "QLabel", "groupBox_AppMode"},
        {"groupBox_DfuMode", "QGroupBox", "centralWidget"},
        {"gridLayout_2", "QGridLayout", "groupBox_DfuMode"},
        {"label_3", "QLabel", "groupBox_DfuMode"},
        {"lbl_DfuDeviceName", "ElidedLabel", "groupBox_DfuMode"},
        {"labDFUfileName", "ElidedLabel", "groupBox_DfuMode"},
        {"pb_SelectDfuFile", "QPushButton", "groupBox_DfuMode"},
        {"pb_DownloadDfu", "QPushButton", "groupBox_DfuMode"},
        {"pb_GoToAppMode", "QPushButton", "groupBox_DfuMode"},
        {"frame", "QFrame", "centralWidget"},
        {"verticalLayout", "QVBoxLayout", "frame"},
        {"lbl_Status", "QLabel", "frame"},
        {"progressBar", "QProgressBar", "frame"},
        {"widget", "QWidget", "frame"},
        {"horizontalLayout", "QHBoxLayout", "widget"},
        {"label_2", "QLabel", "widget"},
        {"lbl_operationTime", "QLabel", "widget"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1])
                              << QString::fromLatin1(row[2]);
}

void TestMainWindow::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    MainWindow window;
    const QList<QObject *> found = window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QObject *object = found.first();
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    if (className.endsWith(QLatin1String("Label")))
        QVERIFY(object->inherits("QLabel"));
    QVERIFY(object->parent());
    QCOMPARE(object->parent()->objectName(), parentName);
    if (auto *layout = qobject_cast<QLayout *>(object))
        QCOMPARE(layout->parentWidget()->layout(), layout); // it is that widget's own layout
}

void TestMainWindow::layoutCells()
{
    QMainWindow window;
    MainWindowForm form;
    form.setupUi(&window);

    auto cellOf = [](QGridLayout *grid, QLayoutItem *item, QWidget *widget) {
        const int index = widget ? grid->indexOf(widget) : grid->indexOf(item);
        QList<int> cell(4, -1);
        if (index >= 0)
            grid->getItemPosition(index, &cell[0], &cell[1], &cell[2], &cell[3]);
        return cell;
    };
    struct Row
    {
        QGridLayout *grid;
        QWidget *widget;
        QLayoutItem *item;
        QList<int> cell;
    };
    const QList<Row> rows = {
        {form.gridLayout, form.groupBox_AppMode, nullptr, {0, 0, 1, 1}},
        {form.gridLayout, form.groupBox_DfuMode, nullptr, {0, 1, 1, 1}},
        {form.gridLayout, form.frame, nullptr, {1, 0, 1, 2}},
        {form.gridLayout_3, form.label, nullptr, {3, 1, 1, 1}},
        {form.gridLayout_3, form.lbl_AppDeviceName, nullptr, {3, 2, 1, 1}},
        {form.gridLayout_3, form.pb_GoToDfuMode, nullptr, {4, 1, 1, 2}},
        {form.gridLayout_3, nullptr, form.verticalSpacer, {5, 1, 1, 2}},
        {form.gridLayout_3, nullptr, form.verticalSpacer_2, {0, 2, 1, 1}},
        {form.gridLayout_3, nullptr, form.horizontalSpacer, {3, 0, 1, 1}},
        {form.gridLayout_3, nullptr, form.horizontalSpacer_2, {3, 3, 1, 1}},
        {form.gridLayout_3, form.labfirwareVer, nullptr, {2, 1, 1, 2}},
        {form.gridLayout_2, nullptr, form.verticalSpacer_3, {0, 2, 1, 1}},
        {form.gridLayout_2, form.label_3, nullptr, {1, 1, 1, 1}},
        {form.gridLayout_2, form.lbl_DfuDeviceName, nullptr, {1, 2, 1, 2}},
        {form.gridLayout_2, form.labDFUfileName, nullptr, {2, 1, 1, 3}},
        {form.gridLayout_2, nullptr, form.horizontalSpacer_3, {3, 0, 1, 1}},
        {form.gridLayout_2, form.pb_SelectDfuFile, nullptr, {3, 1, 1, 3}},
        {form.gridLayout_2, nullptr, form.horizontalSpacer_4, {3, 4, 1, 1}},
        {form.gridLayout_2, form.pb_DownloadDfu, nullptr, {5, 1, 1, 3}},
        {form.gridLayout_2, form.pb_GoToAppMode, nullptr, {7, 1, 1, 3}},
        {form.gridLayout_2, nullptr, form.verticalSpacer_4, {8, 1, 1, 1}},
    };
    for (const Row &row : rows)
        QCOMPARE(cellOf(row.grid, row.item, row.widget), row.cell);
    QCOMPARE(form.gridLayout->count(), 3);
    QCOMPARE(form.gridLayout_3->count(), 8);
    QCOMPARE(form.gridLayout_2->count(), 10);

    // Items are added in the listed order.
    QCOMPARE(form.gridLayout_3->itemAt(0)->widget(), form.label);
    QCOMPARE(form.gridLayout_3->itemAt(7)->widget(), form.labfirwareVer);
    QCOMPARE(form.gridLayout_2->itemAt(0)->spacerItem(), form.verticalSpacer_3);
    QCOMPARE(form.gridLayout_2->itemAt(9)->spacerItem(), form.verticalSpacer_4);

    QCOMPARE(form.verticalLayout->count(), 3);
    QCOMPARE(form.verticalLayout->itemAt(0)->widget(), form.lbl_Status);
    QCOMPARE(form.verticalLayout->itemAt(1)->widget(), form.progressBar);
    QCOMPARE(form.verticalLayout->itemAt(2)->widget(), form.widget);
    QCOMPARE(form.horizontalLayout->count(), 3);
    QCOMPARE(form.horizontalLayout->itemAt(0)->widget(), form.label_2);
    QCOMPARE(form.horizontalLayout->itemAt(1)->widget(), form.lbl_operationTime);
    QCOMPARE(form.horizontalLayout->itemAt(2)->spacerItem(), form.horizontalSpacer_5);

    for (QSpacerItem *s : {form.verticalSpacer, form.verticalSpacer_2, form.verticalSpacer_3, form.verticalSpacer_4}) {
        QCOMPARE(s->sizeHint(), QSize(20, 40));
        QCOMPARE(s->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(s->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    }
    for (QSpacerItem *s : {form.horizontalSpacer, form.horizontalSpacer_2, form.horizontalSpacer_3,
                           form.horizontalSpacer_4, form.horizontalSpacer_5}) {
        QCOMPARE(s->sizeHint(), s == form.horizontalSpacer_5 ? QSize(431, 20) : QSize(0, 20));
        QCOMPARE(s->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(s->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    for (int i = 0; i < form.gridLayout_3->count(); ++i)
        QCOMPARE(form.gridLayout_3->itemAt(i)->alignment(), Qt::Alignment());
}

void TestMainWindow::layoutSpacingAndMargins()
{
    MainWindow window;
    for (const char *name : {"gridLayout", "gridLayout_3", "gridLayout_2", "verticalLayout", "horizontalLayout"}) {
        auto *layout = window.findChild<QLayout *>(QString::fromLatin1(name));
        QVERIFY2(layout, name);
        QCOMPARE(layout->spacing(), 6);
        const int m = qstrcmp(name, "horizontalLayout") == 0 ? 0 : 11;
        QCOMPARE(layout->contentsMargins(), QMargins(m, m, m, m));
    }
}

void TestMainWindow::widgetProperties()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(611, 306));
    const QList<QSize> iconSizes = window.windowIcon().availableSizes();
    for (int s : {16, 32, 48, 64, 128, 256})
        QVERIFY2(iconSizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
    QVERIFY(!window.menuWidget());
    QCOMPARE(window.centralWidget(), child(window, "centralWidget"));

    for (const char *box : {"groupBox_AppMode", "groupBox_DfuMode"}) {
        auto *group = child<QGroupBox>(window, box);
        QCOMPARE(group->font().weight(), QFont::Bold);
        QCOMPARE(group->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
        // Every child of a group box is of normal weight, not the inherited bold.
        for (QWidget *w : group->findChildren<QWidget *>()) {
            QCOMPARE(w->font().weight(), QFont::Normal);
            QVERIFY(w->testAttribute(Qt::WA_SetFont));
        }
    }
    QCOMPARE(child<QLabel>(window, "lbl_Status")->font().weight(), QFont::Bold);
    for (const char *name : {"label_2", "lbl_operationTime"}) {
        QVERIFY(!child(window, name)->testAttribute(Qt::WA_SetFont));
        QCOMPARE(child(window, name)->font(), window.font());
    }

    QCOMPARE(child<QLabel>(window, "label")->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    QCOMPARE(child<QLabel>(window, "lbl_AppDeviceName")->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    QCOMPARE(child<QLabel>(window, "labfirwareVer")->alignment(), Qt::AlignLeft | Qt::AlignBottom);
    QCOMPARE(child<QLabel>(window, "labDFUfileName")->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    QCOMPARE(child<QLabel>(window, "lbl_Status")->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    QCOMPARE(child(window, "lbl_AppDeviceName")->minimumSize(), QSize(100, 0));
    QCOMPARE(child(window, "lbl_DfuDeviceName")->minimumSize(), QSize(100, 0));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (QPushButton *b : window.findChildren<QPushButton *>()) {
        QCOMPARE(b->minimumSize(), QSize(0, 30));
        QVERIFY(b->height() >= 30);
    }
    QVERIFY(child(window, "lbl_AppDeviceName")->width() >= 100);
    QVERIFY(child(window, "lbl_DfuDeviceName")->width() >= 100);
    auto *frame = child<QFrame>(window, "frame");
    QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
    QCOMPARE(frame->frameShadow(), QFrame::Raised);
    auto *bar = child<QProgressBar>(window, "progressBar");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
}

void TestMainWindow::formStateBeforeController()
{
    QMainWindow window;
    MainWindowForm form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(form.lbl_Status->text(), QStringLiteral("TextLabel"));
    QCOMPARE(form.progressBar->value(), 100);
    QCOMPARE(form.progressBar->styleSheet(), QString::fromLatin1(CyanFormStyle));
    QCOMPARE(form.labfirwareVer->text(), QString());
    QCOMPARE(form.lbl_AppDeviceName->text(), QStringLiteral("N/A"));
    QCOMPARE(form.lbl_DfuDeviceName->text(), QStringLiteral("N/A"));
    QCOMPARE(form.labDFUfileName->text(), QStringLiteral("File Selected : None"));
    QCOMPARE(form.groupBox_AppMode->title(), QStringLiteral("Application Mode"));
    QCOMPARE(form.groupBox_DfuMode->title(), QStringLiteral("DFU Mode"));
    QCOMPARE(form.label->text(), QStringLiteral("Connected device:"));
    QCOMPARE(form.label_3->text(), QStringLiteral("Connected device:"));
    QCOMPARE(form.pb_GoToDfuMode->text(), QStringLiteral("Go to DFU mode"));
    QCOMPARE(form.pb_SelectDfuFile->text(), QStringLiteral("Select DFU File"));
    QCOMPARE(form.pb_DownloadDfu->text(), QStringLiteral("Download DFU to device"));
    QCOMPARE(form.pb_GoToAppMode->text(), QStringLiteral("Go to application mode"));
    QCOMPARE(form.label_2->text(), QStringLiteral("Operation time:"));
    QCOMPARE(form.lbl_operationTime->text(), QStringLiteral("0s"));

    // A window that already has a name keeps it.
    QMainWindow named;
    named.setObjectName(QStringLiteral("Other"));
    MainWindowForm second;
    second.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("Other"));
}

void TestMainWindow::startupState()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Tolvex DFU Tool - 0.0.9"));
    QVERIFY(!child(window, "groupBox_AppMode")->isEnabled());
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(child<QLabel>(window, "lbl_AppDeviceName")->text(), QStringLiteral("N/A"));
    QCOMPARE(child<QLabel>(window, "lbl_DfuDeviceName")->text(), QStringLiteral("N/A"));
    QCOMPARE(child<QLabel>(window, "labfirwareVer")->text(), QString());
    QCOMPARE(child<QLabel>(window, "lbl_Status")->text(), QStringLiteral("No operation"));
    auto *bar = child<QProgressBar>(window, "progressBar");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->styleSheet(), QString::fromLatin1(CyanFormStyle));
    QVERIFY(!child(window, "pb_DownloadDfu")->isEnabled());
    for (const QTimer *timer : {&window.hidRefreshTimerState(), &window.dfuRefreshTimerState()}) {
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 500);
        QVERIFY(!timer->isSingleShot());
    }
}

void TestMainWindow::progressBarColours()
{
    MainWindow window;
    auto *bar = child<QProgressBar>(window, "progressBar");
    bar->setValue(42);
    window.setProgressBarColour(2);
    QCOMPARE(bar->styleSheet(), colourStyle("0, 255, 255"));
    window.setProgressBarColour(0);
    QCOMPARE(bar->styleSheet(), colourStyle("255, 0, 0"));
    QCOMPARE(bar->value(), 42);
    window.setProgressBarColour(3);
    QCOMPARE(bar->styleSheet(), colourStyle("255, 0, 0"));
    window.setProgressBarColour(1);
    QCOMPARE(bar->styleSheet(), colourStyle("0, 255, 0"));
    window.setProgressBarColour(-1);
    QCOMPARE(bar->styleSheet(), colourStyle("0, 255, 0"));
}

void TestMainWindow::slotTable()
{
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QCOMPARE(QByteArray(mo.className()), QByteArray("MainWindow"));
    QCOMPARE(mo.superClass(), &QMainWindow::staticMetaObject);
    const QList<QByteArray> expected = {"on_pb_GoToDfuMode_clicked()", "on_pb_DownloadDfu_clicked()",
                                        "on_pb_UploadDfu_clicked()",   "on_pb_SelectDfuFile_clicked()",
                                        "on_pb_GoToAppMode_clicked()", "refreshHidDevList()",
                                        "refreshDfuDevList()"};
    QCOMPARE(mo.methodCount() - mo.methodOffset(), int(expected.size()));
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), expected[i]);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
    }
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
    QCOMPARE(mo.enumeratorCount(), mo.enumeratorOffset());
    QCOMPARE(mo.constructorCount(), 0);
}

void TestMainWindow::uploadSlotOnlyByName()
{
    MainWindow window;
    QVERIFY(!window.findChild<QObject *>(QStringLiteral("pb_UploadDfu")));
    // Invoked by name, it asks where to save; cancelling changes nothing.
    ModalAnswerer cancel{QString()};
    QVERIFY(QMetaObject::invokeMethod(&window, "on_pb_UploadDfu_clicked"));
    QVERIFY(cancel.box.seen);
    QCOMPARE(cancel.box.className, QStringLiteral("QFileDialog"));
    QCOMPARE(cancel.box.title, QStringLiteral("Open Document"));
    QVERIFY(cancel.box.saving);
    QCOMPARE(cancel.box.nameFilters, QStringList{"DFU files(*.dfu)"});
    QCOMPARE(cancel.box.directory, QDir::currentPath());
    QCOMPARE(child<QLabel>(window, "lbl_Status")->text(), QStringLiteral("No operation"));
}

void TestMainWindow::longTextsAreElidedNotWidened()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size = window.size();
    // Device strings, version texts and file names are shown as they are, never as markup.
    for (const char *name : {"lbl_AppDeviceName", "labfirwareVer", "lbl_DfuDeviceName", "labDFUfileName"})
        QCOMPARE(child<QLabel>(window, name)->textFormat(), Qt::PlainText);

    const QString longName = QStringLiteral("Tolvex Demo Board Mk2 Extended"); // 30 characters
    for (const char *name : {"lbl_AppDeviceName", "lbl_DfuDeviceName"}) {
        auto *label = child<QLabel>(window, name);
        label->setText(longName);
        QCoreApplication::processEvents();
        window.grab(); // paints the label
        QCOMPARE(label->text(), longName);
        QCOMPARE(window.size(), size); // the window did not grow for the name
        QVERIFY(qAbs(child(window, "groupBox_AppMode")->width() - child(window, "groupBox_DfuMode")->width()) <= 1);
        // The name took the room of the spacer beside it: at most the spacer's hint and the
        // group's margin remain on its right.
        QWidget *group = label->parentWidget();
        QVERIFY2(group->width() - label->geometry().right() <= 11 + 6 + 2,
                 qPrintable(QStringLiteral("%1 of %2").arg(label->geometry().right()).arg(group->width())));
        const bool fits = label->fontMetrics().horizontalAdvance(longName) <= label->contentsRect().width();
        QCOMPARE(label->toolTip(), fits ? QString() : longName);
        label->setText(QStringLiteral("Short"));
        window.grab();
        QCOMPARE(label->toolTip(), QString());
        // A device's name that looks like markup is shown as its characters, in the tip too.
        const QString markup = QStringLiteral("<h1>Tolvex</h1> Demo Board Mk2 Extended Edition Long");
        label->setText(markup);
        window.grab();
        QCOMPARE(label->toolTip(), QStringLiteral("<qt>") + markup.toHtmlEscaped() + QStringLiteral("</qt>"));
    }
    // The picture in docs/: both groups as a user sees them with such a name.
    if (qEnvironmentVariableIsSet("TOLVEX_SHOT_DIR")) {
        for (const char *name : {"groupBox_AppMode", "groupBox_DfuMode"})
            child(window, name)->setEnabled(true);
        for (const char *name : {"lbl_AppDeviceName", "lbl_DfuDeviceName"})
            child<QLabel>(window, name)->setText(longName);
        child<QLabel>(window, "labfirwareVer")->setText(QStringLiteral("Current Firmware Version : V1.0"));
        QCoreApplication::processEvents();
        window.grab().save(qEnvironmentVariable("TOLVEX_SHOT_DIR") + QLatin1String("/long-product-name.png"));
    }
}

void TestMainWindow::configurationListAndDebugOutput()
{
    QVERIFY(folder->writeConfig("Alpha,One\nBeta, Two\r\n\nlast"));
    QTest::ignoreMessage(QtDebugMsg, "Decryted  File = \"Alpha,One\\nBeta, Two\\r\\n\\nlast\"");
    QTest::ignoreMessage(QtDebugMsg, "((\"Alpha\", \"One\"), (\"Beta\", \" Two\\r\"), (\"\"))");
    MainWindow window;
    const ImageNameList expected = {{"Alpha", "One"}, {"Beta", " Two\r"}, {""}};
    QCOMPARE(window.imageNames(), expected);
}

void TestMainWindow::undecryptableConfigurationStillPolls()
{
    QFile file(folder->file(QStringLiteral("Config.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Alpha,One\n"); // plain text, not a cipher text
    file.close();
    QTest::ignoreMessage(QtWarningMsg, "Invalid version or not a cyphertext.");
    QTest::ignoreMessage(QtDebugMsg, "Decryted  File = \"\"");
    QTest::ignoreMessage(QtDebugMsg, "()");
    MainWindow window;
    QVERIFY(window.imageNames().isEmpty());
    QVERIFY(window.hidRefreshTimerState().isActive());
    QVERIFY(window.dfuRefreshTimerState().isActive());
}

void TestMainWindow::missingConfigurationEndsApplication()
{
    QVERIFY(QFile::remove(folder->file(QStringLiteral("Config.ini"))));
    ModalAnswerer answerer(QStringLiteral("OK"));
    MainWindow window;
    QVERIFY(answerer.box.seen);
    QCOMPARE(answerer.box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(answerer.box.title, QStringLiteral("Opening File"));
    QCOMPARE(answerer.box.text, QStringLiteral("Unable to open Configuration file"));
    QCOMPARE(answerer.box.icon, QMessageBox::Critical);
    QCOMPARE(answerer.box.buttons, QStringList{QStringLiteral("OK")});
    QVERIFY(!window.hidRefreshTimerState().isActive());
    QVERIFY(!window.dfuRefreshTimerState().isActive());

    // The quit asked for during construction must end the loop as soon as it runs.
    window.show();
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(guard.isActive());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
