#include "SimDevicesWindow.h"

#include "DemoBoards.h"
#include "World.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

const char *const FamilyTitles[2] = {"Tolvex Demo Board (16- and 64-byte reports)", "OtterNINE Demo (8-byte reports)"};

QPushButton *button(const char *text, const char *name, QWidget *parent)
{
    auto *b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    return b;
}

} // namespace

SimDevicesWindow::SimDevicesWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Simulated devices"));
    setObjectName(QStringLiteral("SimDevicesWindow"));
    auto *layout = new QVBoxLayout(this);

    for (int i = 0; i < 2; ++i) {
        boards[i] = demo::makeBoard(i == 1);
        auto *group = new QGroupBox(QString::fromLatin1(FamilyTitles[i]), this);
        auto *row = new QHBoxLayout(group);
        states[i] = new QLabel(group);
        states[i]->setObjectName(QStringLiteral("state%1").arg(i));
        states[i]->setMinimumWidth(260);
        QPushButton *plugButton = button("Plug in", i ? "plug1" : "plug0", group);
        QPushButton *unplugButton = button("Unplug", i ? "unplug1" : "unplug0", group);
        connect(plugButton, &QPushButton::clicked, this, [this, i] { plug(i); });
        connect(unplugButton, &QPushButton::clicked, this, [this, i] { unplug(i); });
        row->addWidget(states[i], 1);
        row->addWidget(plugButton);
        row->addWidget(unplugButton);
        layout->addWidget(group);
    }

    auto *timing = new QGroupBox(QStringLiteral("Timing of the DFU-mode devices"), this);
    auto *timingRow = new QHBoxLayout(timing);
    auto *instant = new QRadioButton(QStringLiteral("Instant"), timing);
    realistic = new QRadioButton(QStringLiteral("Realistic (erase 250 ms per 16 KiB sector)"), timing);
    realistic->setObjectName(QStringLiteral("realistic"));
    realistic->setChecked(true);
    connect(realistic, &QRadioButton::toggled, this, &SimDevicesWindow::setRealisticTiming);
    timingRow->addWidget(instant);
    timingRow->addWidget(realistic);
    layout->addWidget(timing);

    auto *faults = new QGroupBox(QStringLiteral("Faults (for both products, each fires once)"), this);
    auto *faultRows = new QVBoxLayout(faults);
    auto *faultButtons = new QHBoxLayout;
    QPushButton *erase = button("Fail the next erase", "failErase", faults);
    QPushButton *drop = button("Disconnect during the next upgrade", "disconnectUpgrade", faults);
    QPushButton *silent = button("Never answer the next HID command", "noAnswer", faults);
    connect(erase, &QPushButton::clicked, this, &SimDevicesWindow::failNextErase);
    connect(drop, &QPushButton::clicked, this, &SimDevicesWindow::disconnectDuringNextUpgrade);
    connect(silent, &QPushButton::clicked, this, &SimDevicesWindow::neverAnswerNextCommand);
    faultButtons->addWidget(erase);
    faultButtons->addWidget(drop);
    faultButtons->addWidget(silent);
    faultRows->addLayout(faultButtons);
    armed = new QLabel(faults);
    armed->setObjectName(QStringLiteral("armed"));
    faultRows->addWidget(armed);
    layout->addWidget(faults);

    plug(0);
    connect(&refresh, &QTimer::timeout, this, &SimDevicesWindow::showStates);
    refresh.start(250);
    showStates();
}

SimDevicesWindow::~SimDevicesWindow()
{
    for (const sim::Board &b : boards) {
        sim::World::instance().unplug(b.app);
        sim::World::instance().unplug(b.dfu);
    }
}

void SimDevicesWindow::plug(int index)
{
    sim::World &world = sim::World::instance();
    const sim::Board &b = boards[index];
    // One product is one device: it is plugged in once, in application mode.
    if (world.presence(b.app) == sim::World::Presence::Absent && world.presence(b.dfu) == sim::World::Presence::Absent)
        world.plug(b.app);
    showStates();
}

void SimDevicesWindow::unplug(int index)
{
    sim::World::instance().unplug(boards[index].app);
    sim::World::instance().unplug(boards[index].dfu);
    showStates();
}

void SimDevicesWindow::setRealisticTiming(bool on)
{
    for (const sim::Board &b : boards)
        b.dfu->setTiming(on ? sim::Timing::Realistic : sim::Timing::Instant);
}

void SimDevicesWindow::armDfuFault(int sim::DfuFaults::*fault)
{
    for (const sim::Board &b : boards) {
        sim::DfuFaults f = b.dfu->armedFaults();
        f.*fault = 1;
        f.once = true;
        b.dfu->setFaults(f);
    }
    showStates();
}

void SimDevicesWindow::failNextErase()
{
    armDfuFault(&sim::DfuFaults::eraseErrorAt);
}

void SimDevicesWindow::disconnectDuringNextUpgrade()
{
    armDfuFault(&sim::DfuFaults::disconnectAtBlock);
}

void SimDevicesWindow::neverAnswerNextCommand()
{
    for (const sim::Board &b : boards) {
        sim::HidFaults f = b.app->pendingFaults();
        f.noAnswer = 1;
        b.app->setFaults(f);
    }
    showStates();
}

QString SimDevicesWindow::stateOf(int index) const
{
    sim::World &world = sim::World::instance();
    const sim::Board &b = boards[index];
    if (world.presence(b.app) == sim::World::Presence::Present)
        return QStringLiteral("Application mode, firmware %1").arg(QString::fromStdString(b.app->versionText()));
    if (world.presence(b.dfu) == sim::World::Presence::Present)
        return QStringLiteral("DFU mode");
    if (world.presence(b.app) == sim::World::Presence::Arriving || world.presence(b.dfu) == sim::World::Presence::Arriving)
        return QStringLiteral("Restarting...");
    return QStringLiteral("Unplugged");
}

void SimDevicesWindow::showStates()
{
    for (int i = 0; i < 2; ++i)
        states[i]->setText(stateOf(i));
    bool erase = false, drop = false, silent = false;
    for (const sim::Board &b : boards) {
        const sim::DfuFaults dfu = b.dfu->armedFaults();
        erase = erase || dfu.eraseErrorAt;
        drop = drop || dfu.disconnectAtBlock;
        silent = silent || b.app->pendingFaults().noAnswer;
    }
    QStringList pending;
    if (erase)
        pending << QStringLiteral("next erase fails");
    if (drop)
        pending << QStringLiteral("disconnect in the next upgrade");
    if (silent)
        pending << QStringLiteral("next HID command unanswered");
    armed->setText(QStringLiteral("Armed: ") + (pending.isEmpty() ? QStringLiteral("none") : pending.join(QStringLiteral(", "))));
}
