#include "DemoBoards.h"

namespace demo {

sim::Board makeBoard(bool otterNine, sim::Timing timing, int restartDelayMs)
{
    sim::HidAppDeviceSpec app = otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec();
    sim::DfuDeviceSpec loader = sim::DfuDeviceSpec::twoAlternates();
    app.product = loader.product = otterNine ? OtterNineProduct : StandardProduct;
    if (otterNine) {
        loader.productId = 0x2A19;
        loader.serial = app.serial;
    }
    loader.timing = timing;
    sim::Board board = sim::makeBoard(app, loader, restartDelayMs);
    board.app->setVersionText("V1.0");
    return board;
}

} // namespace demo
