// tolvex-dfu-station: the station screen for line operators, over the line engineer's profile.
// tolvex-dfu-station-sim: the same over simulated boards, with the "Simulated devices" window.

#include "DisplayText.h"
#include "StationWindow.h"

#ifdef TOLVEX_SIMULATED
#include "SimDevicesWindow.h"
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QTimer>

#include <atomic>
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
    options.process(application);
    // A signal finishes the running boards, as closing the window does.
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        std::signal(s, onSignal);

#ifdef TOLVEX_SIMULATED
    SimDevicesWindow simulated;
    simulated.setAttribute(Qt::WA_QuitOnClose, false); // the station's window ends the program
    simulated.show();
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
    } else if (update::loadStationProfile(path, setup.profile, problem)
               && update::stationSettings(setup.profile, setup.settings, setup.firmware, problem)) {
        if (!setup.profile.language.isEmpty() && !StationWindow::loadLanguage(setup.profile.language))
            qWarning("Station: no translation for %s; the screen is in English", qPrintable(setup.profile.language));
        if (!given(setup.profile.operatorName, QObject::tr("Operator (type or scan):"), setup.settings.operatorName)
            || !given(setup.profile.lot, QObject::tr("Lot or work order (type or scan):"), setup.settings.lot))
            return 2;
        problem.clear();
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
