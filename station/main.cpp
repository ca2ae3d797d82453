// tolvex-dfu-station: the station screen for line operators, over the line engineer's profile.
// tolvex-dfu-station-sim: the same over simulated boards, with the "Simulated devices" window.

#include "Central.h"
#include "DisplayText.h"
#include "StationWindow.h"

#ifdef TOLVEX_SIMULATED
#include "DemoBoards.h"
#include "SimDevicesWindow.h"
#include "World.h"

#include <QDir>
#include <QElapsedTimer>
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>
#include <csignal>

namespace {

std::atomic<bool> stopAsked{false};

void onSignal(int)
{
    stopAsked = true;
}

void messages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    qt_message_output(type, context, display::text(text));
}

// The profile's operator or lot: fixed, or asked for (typed, or scanned into the field).
bool given(const QString &policy, const QString &question, QString &value)
{
    if (policy != QLatin1String("ask")) {
        value = policy;
        return true;
    }
    bool ok = false;
    value =
        QInputDialog::getText(nullptr, QObject::tr("Tolvex DFU station"), question, QLineEdit::Normal, QString(), &ok)
            .trimmed();
    return ok && !value.isEmpty();
}

#ifdef TOLVEX_SIMULATED
// The pictures of the docs, taken by the program itself: a board in each state on the demo's
// eight ports, in English, in German and in high contrast.
int takePictures(StationWindow::Setup setup, const QString &folder)
{
    using S = StationTile::State;
    std::vector<sim::Board> boards;
    const auto board = [&](const char *serial, sim::Timing timing, bool otherLoader = false) {
        sim::HidAppDeviceSpec app;
        app.product = demo::StandardProduct;
        app.serial = serial;
        sim::DfuDeviceSpec loader = sim::DfuDeviceSpec::twoAlternates();
        loader.product = otherLoader ? "Tolvex Loader" : demo::StandardProduct;
        loader.serial = serial;
        loader.timing = timing;
        sim::Board b = sim::makeBoard(app, loader, 100);
        b.app->setVersionText("V1.0");
        boards.push_back(b);
        return b;
    };
    const QMap<QString, S> wanted{{QStringLiteral("1-1"), S::Done}, {QStringLiteral("1-2"), S::Updating},
        {QStringLiteral("1-3"), S::Refused}, {QStringLiteral("1-4"), S::Failed}, {QStringLiteral("1-5"), S::Pulled},
        {QStringLiteral("1-6"), S::Waiting}, {QStringLiteral("1-7"), S::UpToDate}};
    QDir().mkpath(folder);
    int taken = 0;
    for (const QString &language : {QString(), QStringLiteral("de")}) {
        for (bool contrast : {false, true}) {
            if (!language.isEmpty() && contrast)
                continue;
            sim::World::instance().unplugAll();
            boards.clear();
            StationWindow::loadLanguage(language.isEmpty() ? QStringLiteral("en") : language);
            setup.profile.highContrast = contrast;
            // A history of each picture's own: its counters are its boards', and its rows go nowhere.
            setup.history = update::HistorySettings();
            setup.settings.historyPath = QDir(folder).filePath(QStringLiteral("pictures-history-%1.sqlite").arg(taken));
            StationWindow window(setup);
            window.resize(1280, 800);
            window.show();
            sim::World &world = sim::World::instance();
            world.plug(board("TVX-1001", sim::Timing::Instant).app, 1);
            world.plug(board("TVX-1002", sim::Timing::Realistic).app, 2);
            world.plug(board("TVX-1003", sim::Timing::Instant, true).app, 3);
            // One whose write fails, one that drops off the bus during it, each at the third block.
            const auto faulty = [&](const char *serial, int sim::DfuFaults::*fault, uint8_t port) {
                sim::DfuFaults faults;
                faults.*fault = 3;
                faults.once = true;
                const sim::Board b = board(serial, sim::Timing::Instant);
                b.dfu->setFaults(faults);
                world.plug(b.app, port);
            };
            faulty("TVX-1004", &sim::DfuFaults::errorAtBlock, 4);
            faulty("TVX-1005", &sim::DfuFaults::disconnectAtBlock, 5);
            sim::Board current = board("TVX-1007", sim::Timing::Instant);
            world.plug(current.app, 7);
            QElapsedTimer clock;
            clock.start();
            // Until each tile shows what it is to show (the seventh: once it is done, it is
            // plugged in again, and then up to date).
            bool replugged = false;
            while (clock.elapsed() < 60000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                if (!replugged && window.tile(QStringLiteral("1-7"))->state() == S::Done) {
                    world.unplug(current.app);
                    world.plugLater(current.app, 300, 7, false);
                    replugged = true;
                }
                bool all = true;
                for (auto it = wanted.begin(); it != wanted.end(); ++it)
                    all = all && window.tile(it.key())->state() == it.value();
                if (all
                    && window.tile(QStringLiteral("1-2"))
                           ->findChild<QWidget *>(QStringLiteral("progress"))
                           ->isVisible())
                    break;
            }
            const QString name = contrast             ? QStringLiteral("station-high-contrast.png")
                                 : language.isEmpty() ? QStringLiteral("station-screen.png")
                                                      : QStringLiteral("station-screen-%1.png").arg(language);
            if (!window.grab().save(QDir(folder).filePath(name)))
                return 1;
            std::printf("%s\n", qPrintable(QDir(folder).filePath(name)));
            ++taken;
            window.station().stop();
            sim::World::instance().unplugAll();
        }
    }
    return taken == 3 ? 0 : 1;
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(messages);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvex-dfu-station"));
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("The station screen for line operators."));
    options.addHelpOption();
    const QCommandLineOption profileOption(
        QStringLiteral("profile"), QStringLiteral("The station's profile."), QStringLiteral("FILE"));
    const QCommandLineOption windowed(QStringLiteral("windowed"), QStringLiteral("Not full screen."));
    options.addOption(profileOption);
    options.addOption(windowed);
#ifdef TOLVEX_SIMULATED
    const QCommandLineOption pictures(QStringLiteral("pictures"),
        QStringLiteral("Take the docs' pictures of the screen into DIR, and end."), QStringLiteral("DIR"));
    options.addOption(pictures);
#endif
    options.process(application);
    // A signal finishes the running boards, as closing the window does.
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        std::signal(s, onSignal);

#ifdef TOLVEX_SIMULATED
    std::unique_ptr<SimDevicesWindow> simulatedWindow;
    if (!options.isSet(pictures)) {
        simulatedWindow = std::make_unique<SimDevicesWindow>();
        simulatedWindow->setAttribute(Qt::WA_QuitOnClose, false); // the station's window ends the program
        simulatedWindow->show();
    }
#endif
    const QString systemProfile = QStringLiteral("/etc/tolvex-dfu/station.conf");
    const QString path = options.isSet(profileOption)       ? options.value(profileOption)
                         : QFileInfo::exists(systemProfile) ? systemProfile
                                                            : QString();
    StationWindow::Setup setup;
    QString problem;
    // The system's language until the profile names one.
    StationWindow::loadLanguage(QString());
    if (path.isEmpty()) {
        problem = QObject::tr("This station has no profile yet. The line engineer writes one (see \"tolvex-dfu "
                              "station --help\" and the production-line guide) and saves it as %1, owned by root, "
                              "or starts the screen with --profile FILE.")
                      .arg(systemProfile);
    } else if (const Outcome ready = update::stationFromProfile(path, setup.profile, setup.settings, setup.firmware);
               !ready) {
        problem = ready.message();
    } else {
        if (!setup.profile.language.isEmpty() && !StationWindow::loadLanguage(setup.profile.language))
            qWarning("Station: no translation for %s; the screen is in English", qPrintable(setup.profile.language));
        if (!given(setup.profile.operatorName, QObject::tr("Operator (type or scan):"), setup.settings.operatorName)
            || !given(setup.profile.lot, QObject::tr("Lot or work order (type or scan):"), setup.settings.lot))
            return 2;
        if (!setup.settings.historyPath.isEmpty()) {
            const Outcome read = update::historySettings(setup.profile.central, setup.history);
            if (!read)
                qWarning("%s", qPrintable(read.within(QStringLiteral("Central history")).message()));
        }
    }
    if (!problem.isEmpty()) {
        // No board is touched; what to do is said where the operator looks.
        QLabel first(problem);
        first.setObjectName(QStringLiteral("firstRun"));
        first.setWordWrap(true);
        first.setMargin(40);
        QFont f = first.font();
        f.setPixelSize(24);
        first.setFont(f);
        first.resize(900, 400);
        first.show();
        qWarning("Station: %s", qPrintable(problem));
        application.exec();
        return 3;
    }
#ifdef TOLVEX_SIMULATED
    if (options.isSet(pictures))
        return takePictures(setup, options.value(pictures));
#endif
    StationWindow window(setup);
    if (options.isSet(windowed)) {
        window.resize(1200, 800);
        window.show();
    } else {
        window.showFullScreen();
    }
    QTimer signalWatch;
    QObject::connect(&signalWatch, &QTimer::timeout, &window, [&window] {
        if (stopAsked.exchange(false))
            window.close();
    });
    signalWatch.start(100);
    return application.exec();
}
