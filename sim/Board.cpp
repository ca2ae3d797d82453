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
    board.app->setOnEnterDfu([dfu, restartDelayMs] {
        if (auto d = dfu.lock())
            World::instance().plugLater(d, restartDelayMs);
    });
    board.dfu->setOnLeave([app, restartDelayMs] {
        if (auto a = app.lock())
            World::instance().plugLater(a, restartDelayMs);
    });
    return board;
}

} // namespace sim
