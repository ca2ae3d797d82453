#pragma once

#include "Board.h"

#include <QTimer>
#include <QWidget>

class QLabel;
class QRadioButton;

// The demo's own top-level window "Simulated devices": plugs and unplugs one product of
// each device family, switches the devices' timing, and arms the simulator's faults.
class SimDevicesWindow : public QWidget
{
    Q_OBJECT

public:
    explicit SimDevicesWindow(QWidget *parent = nullptr);
    ~SimDevicesWindow() override;

    // 0: the standard product, 1: the OtterNINE one.
    const sim::Board &board(int index) const { return boards[index]; }
    void plug(int index);
    void unplug(int index);
    void setRealisticTiming(bool realistic);
    void failNextErase();
    void disconnectDuringNextUpgrade();
    void neverAnswerNextCommand();

private:
    // Arms one fault of both products' boot loaders, to fire once at the next chance.
    void armDfuFault(int sim::DfuFaults::*fault);
    void showStates();
    QString stateOf(int index) const;

    sim::Board boards[2];
    QLabel *states[2] = {};
    QLabel *armed = nullptr;
    QRadioButton *realistic = nullptr;
    QTimer refresh;
};
