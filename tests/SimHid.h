#pragma once

// Simulated application-mode devices for the tests: a board plugged in application mode,
// and its requests as the tests compare them.

#include "Board.h"
#include "Bytes.h"
#include "HidTransport.h"
#include "World.h"

#include <QByteArray>
#include <QList>

// Firmware for the simulated boards: its version text where their application reads it, and
// code around it.
inline QByteArray firmware(const char *version)
{
    QByteArray image = pattern(40000, 9);
    QByteArray text(9, '\0');
    text.replace(0, int(qstrlen(version)), version);
    image.replace(int(sim::HidAppDeviceModel::VersionTextAddress - 0x08000000u), 9, text);
    return image;
}

// A board whose boot loader reports "Tolvex Demo Board", or `bootLoaderProduct` where it is
// given: real boards often name themselves otherwise in DFU mode than in their application.
inline sim::Board plugBoard(const sim::HidAppDeviceSpec &app = sim::HidAppDeviceSpec(),
                            const std::string &version = "V1.0", int restartDelayMs = 50,
                            const std::string &bootLoaderProduct = std::string(), uint8_t port = 0)
{
    sim::DfuDeviceSpec dfu = sim::DfuDeviceSpec::twoAlternates();
    if (!bootLoaderProduct.empty())
        dfu.product = bootLoaderProduct;
    sim::Board board = sim::makeBoard(app, dfu, restartDelayMs);
    board.app->setVersionText(version);
    sim::World::instance().plug(board.app, port);
    return board;
}

inline QList<QByteArray> requestsOf(const sim::Board &board)
{
    QList<QByteArray> out;
    for (const std::vector<uint8_t> &r : board.app->requests())
        out.append(QByteArray(reinterpret_cast<const char *>(r.data()), int(r.size())));
    return out;
}

// Faults with one count set.
inline sim::HidFaults faultOf(int sim::HidFaults::*field, int count)
{
    sim::HidFaults faults;
    faults.*field = count;
    return faults;
}
