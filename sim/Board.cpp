#include "Board.h"

#include "World.h"

namespace sim {

Board makeBoard(const HidAppDeviceSpec &appSetup, const DfuDeviceSpec &dfuSetup, int restartDelayMs)
{
    Board board;
    board.dfu = std::make_shared<DfuDeviceModel>(dfuSetup);
    board.app = std::make_shared<HidAppDeviceModel>(appSetup, board.dfu);
    // Weak links: the two models must not keep each other alive.
    std::weak_ptr<DfuDeviceModel> dfu = board.dfu;
    std::weak_ptr<HidAppDeviceModel> app = board.app;
    // A restarting board comes back on the port it left, as a real one does.
    board.app->setOnEnterDfu([dfu, app, restartDelayMs] {
        const auto d = dfu.lock();
        const auto a = app.lock();
        if (d && a)
            World::instance().plugLater(d, restartDelayMs, World::instance().lastPortOf(a.get()));
    });
    board.dfu->setOnLeave([app, dfu, restartDelayMs] {
        const auto a = app.lock();
        const auto d = dfu.lock();
        if (a && d)
            World::instance().plugLater(a, restartDelayMs, World::instance().lastPortOf(d.get()));
    });
    return board;
}

} // namespace sim
